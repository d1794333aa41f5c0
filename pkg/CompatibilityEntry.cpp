#include "CompatibilityEntry.h"

CompatibilityEntry::CompatibilityEntry(const std::string& threeCharPart, const std::string& fourCharPart)
    : threeCharPart_(threeCharPart), fourCharPart_(fourCharPart)
{
}
