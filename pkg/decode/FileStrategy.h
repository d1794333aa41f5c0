#pragma once

#include <memory>

namespace vex::pkg
{
class ItemFile;
class ProcessingStrategy;

// How a file item's stored bytes are decoded into the file to install: zlib sub-chunks when the item is
// compressed (the compression wins over a cipher byte), else the item's cipher (Blowfish, DES), else plain
// blocks. The installer and the package tool both decode through this one choice, so that what the tool
// checks is what the instrument writes.
std::unique_ptr<ProcessingStrategy> StrategyFor(const ItemFile& item);
// Plain blocks: scripts, system images and files stored as they are.
std::unique_ptr<ProcessingStrategy> PlainStrategy();

}  // namespace vex::pkg
