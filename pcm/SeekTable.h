#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace pcm
{
// Positions of the root's children (the info and seek chunks excepted), in file order.
class SeekTable
{
public:
    static constexpr int32_t kAppendFailed = INT32_MAX;

    explicit SeekTable(int32_t growthStep = 16);

    // Returns the new entry's index, or kAppendFailed when the table cannot grow.
    int32_t append(int32_t position);
    void clear();

    int32_t count() const { return count_; }
    int32_t capacity() const { return capacity_; }
    int32_t at(int32_t index) const { return entries_[index]; }

private:
    int32_t capacity_ = 0;
    int32_t count_ = 0;
    int32_t growthStep_ = 0;
    std::unique_ptr<int32_t[]> entries_;
};

}  // namespace pcm
