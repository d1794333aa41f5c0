#pragma once

namespace vex::base
{
// Owns a file descriptor: closed when the owner goes; -1 owns nothing. Moving hands the descriptor over,
// copying is not possible.
class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release();
    // Closes the descriptor now; false when close reports an error (a delayed write error, for instance).
    bool close();

private:
    int fd_ = -1;
};

}  // namespace vex::base
