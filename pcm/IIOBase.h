#pragma once

namespace pcm
{
// Shared root of the reading and writing halves of a data chunk.
class IIOBase
{
public:
    virtual ~IIOBase() = default;
    virtual bool isFailed() const = 0;
};

}  // namespace pcm
