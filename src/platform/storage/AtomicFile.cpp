#include "platform/storage/AtomicFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <system_error>

namespace zimlo {

namespace {

[[noreturn]] void fail(const char* what, const std::filesystem::path& file, int error) {
    throw std::filesystem::filesystem_error(what, file,
                                            std::error_code(error, std::generic_category()));
}

// Opens a fresh temporary file next to `file`; the name is unique within this process and
// O_EXCL guards against other processes.
int openTemporary(const std::filesystem::path& file, std::filesystem::path& temporary) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = "." + file.filename().string() + ".tmp-" + std::to_string(getpid()) +
                           "-" + std::to_string(counter++);
        temporary = file.parent_path() / name;
        int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        if (errno != EEXIST) fail("cannot create temporary file", temporary, errno);
    }
    fail("cannot create temporary file", temporary, EEXIST);
}

}  // namespace

void writeFileAtomically(const std::filesystem::path& file, std::string_view contents) {
    std::filesystem::path temporary;
    int fd = openTemporary(file, temporary);
    auto abandon = [&](const char* what, int error) {
        ::close(fd);
        ::unlink(temporary.c_str());
        fail(what, file, error);
    };
    const char* data = contents.data();
    size_t left = contents.size();
    while (left > 0) {
        ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            abandon("cannot write file", errno);
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
    if (::fsync(fd) != 0) abandon("cannot flush file", errno);
    if (::close(fd) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        fail("cannot write file", file, error);
    }
    if (::rename(temporary.c_str(), file.c_str()) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        fail("cannot replace file", file, error);
    }
    // Make the rename itself durable; the new contents are already complete either way.
    std::filesystem::path parent = file.parent_path().empty() ? "." : file.parent_path();
    int dirFd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

}  // namespace zimlo
