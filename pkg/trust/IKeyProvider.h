#pragma once

namespace vex::pkg
{
// Where the file ciphers get their key. Providers live for the whole process and are never deleted
// through this interface, hence the protected destructor.
class IKeyProvider
{
public:
    // The key bytes, or null when there is no key.
    virtual const unsigned char* key() = 0;
    virtual int keyLength() = 0;

protected:
    ~IKeyProvider() = default;
};

}  // namespace vex::pkg
