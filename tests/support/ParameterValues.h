#pragma once

#include <ostream>
#include <string>

namespace test_support
{
// The three values a read of the parameter block hands over (package path, log name, flags), compared and
// printed as one. Tests start them with values of their own, so that a failed read shows it left them alone.
struct ParameterValues
{
    std::string pkg;
    std::string log;
    int flags = 0;

    bool operator==(const ParameterValues& other) const
    {
        return pkg == other.pkg && log == other.log && flags == other.flags;
    }
};

inline std::ostream& operator<<(std::ostream& out, const ParameterValues& values)
{
    return out << "{pkg \"" << values.pkg << "\", log \"" << values.log << "\", flags " << values.flags
               << "}";
}
}  // namespace test_support
