#pragma once

#include <cstdint>
#include <memory>
#include <string>

class DataInfo;
class InstallProgressNotifierInterface;
class ItemFile;
class ProcessingStrategy;

// Decodes an item's stored bytes the way the installer does, but into an MD5 digest instead of a file.
class ItemDecoder
{
public:
    enum Result
    {
        kOk = 0,
        kNoData,       // the item has no usable window onto the package
        kDecodeError,  // the stored bytes cannot be decoded
    };

    // The installer's strategy for a file's encoding: zlib sub-chunks, a cipher, or plain blocks.
    static std::unique_ptr<ProcessingStrategy> StrategyFor(const ItemFile& file);
    // The plain strategy of scripts and system images.
    static std::unique_ptr<ProcessingStrategy> PlainStrategy();

    // Decodes the whole window; `produced` counts the decoded bytes and `hexDigest` is their MD5.
    static Result Digest(const DataInfo& data, ProcessingStrategy& strategy,
                         InstallProgressNotifierInterface* progress, int64_t& produced,
                         std::string& hexDigest);

    // The recorded digest as lower-case hexadecimal.
    static std::string Hex(const uint8_t* digest, size_t length);
};
