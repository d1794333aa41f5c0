#pragma once

namespace pcm
{
// Common root of the sound-data class family, so that any of its objects can be deleted through one base.
class CObjectBase
{
public:
    CObjectBase() = default;
    virtual ~CObjectBase() = default;

    CObjectBase(const CObjectBase&) = delete;
    CObjectBase& operator=(const CObjectBase&) = delete;
};

}  // namespace pcm
