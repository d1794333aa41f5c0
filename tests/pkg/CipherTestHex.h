#pragma once

#include <ostream>
#include <string>
#include <vector>

inline std::vector<unsigned char> FromHex(const std::string& hex)
{
    std::vector<unsigned char> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
    {
        bytes.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

inline std::string ToHex(const unsigned char* bytes, size_t length)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (size_t i = 0; i < length; ++i)
    {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 0xF];
    }
    return hex;
}

// A published known-answer triple.
struct CipherVector
{
    const char* key;
    const char* plain;
    const char* cipher;
};

inline void PrintTo(const CipherVector& v, std::ostream* os)
{
    *os << v.key << " " << v.plain;
}
