#pragma once

#include <string>

namespace vex::pkg
{
// One compatibility entry of the package header: a 7-character text split into a 4-character part
// (characters 0 to 3) and a 3-character part (characters 4 to 6). The installer carries them without
// interpreting them.
class CompatibilityEntry
{
public:
    CompatibilityEntry(const std::string& threeCharPart, const std::string& fourCharPart);
    virtual ~CompatibilityEntry() = default;

    const std::string& threeCharPart() const { return threeCharPart_; }
    const std::string& fourCharPart() const { return fourCharPart_; }
    // The entry as it is stored: the 4-character part followed by the 3-character part.
    std::string text() const { return fourCharPart_ + threeCharPart_; }

private:
    std::string threeCharPart_;
    std::string fourCharPart_;
};

}  // namespace vex::pkg
