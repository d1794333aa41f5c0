#include "tools/vex-pkg/ProgressBar.h"

#include <unistd.h>
#include <algorithm>

namespace vex::tools
{
namespace
{
void HumanBytes(char* out, size_t size, double bytes)
{
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024.0 && unit < 4)
    {
        bytes /= 1024.0;
        ++unit;
    }
    std::snprintf(out, size, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
}
}  // namespace

ProgressBar::ProgressBar(bool enabled, std::FILE* stream)
    : enabled_(enabled && IsTerminal(stream)), stream_(stream), start_(std::chrono::steady_clock::now())
{
}

ProgressBar::~ProgressBar()
{
    Finish();
}

bool ProgressBar::IsTerminal(std::FILE* stream)
{
    return stream != nullptr && ::isatty(::fileno(stream)) == 1;
}

void ProgressBar::BytesToProcess(long long total)
{
    total_ = std::max(0LL, total);
    done_ = 0;
    start_ = std::chrono::steady_clock::now();
}

void ProgressBar::BytesProcessed(long long n)
{
    done_ += std::max(0LL, n);
    Draw(false);
}

void ProgressBar::Draw(bool force)
{
    if (!enabled_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && drawn_ && now - lastDraw_ < std::chrono::milliseconds(100))
        return;
    lastDraw_ = now;
    drawn_ = true;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const long long done = total_ > 0 ? std::min(done_, total_) : done_;
    const double fraction = total_ > 0 ? static_cast<double>(done) / static_cast<double>(total_) : 0.0;
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
    const int width = 30;
    char bar[width + 1];
    const int filled = static_cast<int>(fraction * width);
    for (int i = 0; i < width; ++i) bar[i] = i < filled ? '#' : '.';
    bar[width] = '\0';
    char doneText[32], totalText[32], rateText[32], left[32] = "--:--";
    HumanBytes(doneText, sizeof doneText, static_cast<double>(done));
    HumanBytes(totalText, sizeof totalText, static_cast<double>(total_));
    HumanBytes(rateText, sizeof rateText, rate);
    if (rate > 0 && total_ > done)
    {
        const long long remaining = static_cast<long long>(static_cast<double>(total_ - done) / rate);
        std::snprintf(left, sizeof left, "%lld:%02lld", remaining / 60, remaining % 60);
    }
    std::fprintf(stream_, "\r[%s] %3d%% %s / %s, %s/s, %s left \033[K", bar, static_cast<int>(fraction * 100),
                 doneText, totalText, rateText, left);
    std::fflush(stream_);
}

void ProgressBar::Finish()
{
    if (enabled_ && drawn_)
    {
        std::fprintf(stream_, "\r\033[K");
        std::fflush(stream_);
        drawn_ = false;
    }
}

}  // namespace vex::tools
