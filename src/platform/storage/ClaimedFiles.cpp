#include "platform/storage/ClaimedFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace zimlo {

namespace {
constexpr int kMostSuffixes = 1000;
}  // namespace

ClaimedFiles claimFiles(const std::filesystem::path& directory,
                        const std::vector<std::string>& bases, const std::string& extension) {
    for (int attempt = 1; attempt <= kMostSuffixes; ++attempt) {
        const std::string suffix = attempt == 1 ? "" : "_" + std::to_string(attempt);
        ClaimedFiles result;
        bool taken = false;
        int failure = 0;
        for (const auto& base : bases) {
            std::string name = base;
            name += suffix;
            name += extension;
            auto path = directory / name;
            int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd < 0) {
                if (errno == EEXIST)
                    taken = true;
                else
                    failure = errno;
                break;
            }
            ::close(fd);
            result.paths.push_back(std::move(path));
        }
        if (!taken && !failure) {
            result.claimed = true;
            return result;
        }
        // Ours, still empty: given back before trying the next suffix.
        for (const auto& path : result.paths) ::unlink(path.c_str());
        if (failure) break;
    }
    ClaimedFiles plain;
    for (const auto& base : bases) plain.paths.push_back(directory / (base + extension));
    return plain;
}

}  // namespace zimlo
