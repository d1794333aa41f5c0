#pragma once

#include "log/Log.h"

namespace vex::install
{
// The closing line of an item (or of a step such as a script's run), written exactly once when its work
// ends: `done` while the pass's error code is still 0 (every pass's kNoError), `failed` once anything set
// it. The opening line is written before the scope starts, so an item its condition skips writes neither.
// Every return then closes the item the same way: no failure path can forget its line or write it twice.
template <typename Code>
class ItemScope
{
public:
    explicit ItemScope(const Code& errorCode, const char* done = "Done.", const char* failed = "Failed !")
        : errorCode_(errorCode), done_(done), failed_(failed)
    {
    }
    ~ItemScope() { Close(); }
    ItemScope(const ItemScope&) = delete;
    ItemScope& operator=(const ItemScope&) = delete;

    // Writes the closing line now, from the code as it stands; nothing is written again afterwards.
    void Close()
    {
        if (closed_)
            return;
        closed_ = true;
        log::Line(errorCode_ == Code{} ? done_ : failed_);
    }

private:
    const Code& errorCode_;
    const char* done_;
    const char* failed_;
    bool closed_ = false;
};

}  // namespace vex::install
