#include "pcm/SeekTable.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace pcm
{
SeekTable::SeekTable(int32_t growthStep) : growthStep_(growthStep)
{
    if (growthStep_ > 0)
    {
        entries_.reset(new (std::nothrow) int32_t[growthStep_]);
        capacity_ = entries_ ? growthStep_ : 0;
    }
}

int32_t SeekTable::append(int32_t position)
{
    if (count_ == capacity_)
    {
        if (growthStep_ <= 0 || capacity_ == INT32_MAX)
            return kAppendFailed;
        // Grow by at least the step but also in proportion to the table, so that loading a table of many
        // entries from a file stays linear instead of copying the whole table every few entries.
        const int64_t wanted = static_cast<int64_t>(capacity_) + std::max(growthStep_, capacity_);
        const int32_t grown = static_cast<int32_t>(std::min<int64_t>(wanted, INT32_MAX));
        std::unique_ptr<int32_t[]> bigger(new (std::nothrow) int32_t[grown]);
        if (!bigger)
            return kAppendFailed;
        if (count_ > 0)
            std::memcpy(bigger.get(), entries_.get(), sizeof(int32_t) * static_cast<size_t>(count_));
        entries_ = std::move(bigger);
        capacity_ = grown;
    }
    entries_[count_] = position;
    return count_++;
}

void SeekTable::clear()
{
    count_ = 0;
}

}  // namespace pcm
