#include "pkg/items/CompatibilityEntry.h"

namespace vex::pkg
{
CompatibilityEntry::CompatibilityEntry(const std::string& threeCharPart, const std::string& fourCharPart)
    : threeCharPart_(threeCharPart), fourCharPart_(fourCharPart)
{
}

}  // namespace vex::pkg
