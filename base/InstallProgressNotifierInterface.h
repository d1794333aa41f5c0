#pragma once

namespace vex::base
{
// How the installation engine reports its work. It knows nothing of Qt, so that every layer (the package
// container included) can report through it; the program's implementation turns each call into a queued
// signal towards the window. The byte counts are qint64 in Qt's terms.
class InstallProgressNotifierInterface
{
public:
    virtual ~InstallProgressNotifierInterface() = default;

    // n more bytes of work are done (an increment, not a total).
    virtual void BytesProcessed(long long n) = 0;
    // A status line, UTF-8.
    virtual void StatusMessage(const char* text) = 0;
    // An error text, UTF-8; may hold newlines.
    virtual void ErrorMessage(const char* text) = 0;
    // The whole amount of work, sent once per run.
    virtual void BytesToProcess(long long total) = 0;
};

}  // namespace vex::base
