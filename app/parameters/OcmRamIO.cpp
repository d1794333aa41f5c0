#include "app/parameters/OcmRamIO.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace vex::app
{
void OcmRamIO::MappingDeleter::operator()(void* start) const
{
    ::munmap(start, kBlockSize);
}

OcmRamIO::OcmRamIO(std::string devicePath) : devicePath_(std::move(devicePath)) {}

OcmRamIO::~OcmRamIO()
{
    Close();
}

unsigned char* OcmRamIO::Open()
{
    Close();
    // Synchronous writes, so that clearing the header reaches the memory before the installation starts.
    fd_ = base::UniqueFd(::open(devicePath_.c_str(), O_RDWR | O_DSYNC));
    if (!fd_.valid())
    {
        return nullptr;
    }
    // The device itself reports no size, but a regular file standing in for it (on a bench without the
    // board) must really hold the block: touching a mapped page past its end kills the process with SIGBUS.
    struct stat info = {};
    if (::fstat(fd_.get(), &info) != 0 ||
        (S_ISREG(info.st_mode) && info.st_size < kOcmRamAddress + static_cast<off_t>(kBlockSize)))
    {
        Close();
        return nullptr;
    }
    void* start = ::mmap(nullptr, kBlockSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd_.get(), kOcmRamAddress);
    if (start == MAP_FAILED)
    {
        Close();
        return nullptr;
    }
    mapping_.reset(start);
    return static_cast<unsigned char*>(start);
}

void OcmRamIO::Close()
{
    // Unmapped here rather than left to the end of the process, so that opening again does not pile up
    // mappings of the same memory.
    mapping_.reset();
    fd_.close();
}

}  // namespace vex::app
