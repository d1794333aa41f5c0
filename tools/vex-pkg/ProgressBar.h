#pragma once

#include "base/InstallProgressNotifierInterface.h"

#include <chrono>
#include <cstdio>

namespace vex::tools
{
// A one-line progress bar for long runs (bytes done, rate, time left), redrawn at most ten times a second on
// standard error. It draws only when standard error is a terminal: piped or redirected output stays clean.
class ProgressBar : public base::InstallProgressNotifierInterface
{
public:
    // `enabled` false draws nothing whatever the terminal; `stream` is where the bar goes.
    explicit ProgressBar(bool enabled, std::FILE* stream = stderr);
    ~ProgressBar() override;
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // True when `stream` is a terminal.
    static bool IsTerminal(std::FILE* stream);

    void BytesToProcess(long long total) override;
    void BytesProcessed(long long n) override;
    void StatusMessage(const char*) override {}
    void ErrorMessage(const char*) override {}
    // Clears the line, so that what follows starts on a clean one.
    void Finish();

private:
    void Draw(bool force);

    bool enabled_;
    std::FILE* stream_;
    long long total_ = 0;
    long long done_ = 0;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace vex::tools
