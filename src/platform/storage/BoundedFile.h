#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "platform/runtime/Result.h"
#include "platform/storage/FileError.h"

namespace zimlo {

// An open file descriptor, closed when it goes.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset();

  private:
    int fd_ = -1;
};

// Opens `file` for reading only when it is a regular file. The open itself never waits: a FIFO
// without a writer, a device or a socket is refused (EINVAL), so is a directory (EISDIR).
// `noFollow` also refuses a symbolic link as the last component (ELOOP).
Result<UniqueFd, FileError> openRegularFile(const std::filesystem::path& file,
                                            bool noFollow = false);

// The whole of a regular file of at most `maximumBytes` (EFBIG beyond, also when it grows past
// that while being read), opened as above. ENOENT tells a missing file apart.
Result<std::string, FileError> readRegularFile(const std::filesystem::path& file,
                                               std::size_t maximumBytes);

}  // namespace zimlo
