#include "platform/speech/ModelInstaller.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string_view>
#include <vector>

#include "platform/log/Log.h"
#include "platform/media/MonotonicClock.h"

namespace zimlo::speech {

namespace fs = std::filesystem;

namespace {

using Kind = ModelInstallError::Kind;

std::string inQuotes(const fs::path& path) { return "'" + path.string() + "'"; }

Failure<ModelInstallError> failure(Kind kind, const fs::path& path, std::string message) {
    return fail(ModelInstallError{kind, path, std::move(message)});
}

// A new empty folder beside `destination`, on the same file system so that moving it into place
// is one rename. Hidden, so that nothing looking for models takes it for one.
ModelInstallResult<fs::path> makeSiblingFolder(const fs::path& destination,
                                               const std::string& purpose) {
    std::string pattern = (destination.parent_path() /
                           ("." + destination.filename().string() + "." + purpose + "-XXXXXX"))
                              .string();
    if (!::mkdtemp(pattern.data())) {
        return failure(Kind::writeFailed, destination.parent_path(),
                       "cannot create a folder in " + inQuotes(destination.parent_path()) + ": " +
                           std::strerror(errno));
    }
    return fs::path(pattern);
}

// Removes a folder of ours unless it has been handed on.
class FolderGuard {
  public:
    explicit FolderGuard(fs::path path) : path_(std::move(path)) {}
    ~FolderGuard() {
        std::error_code ignored;
        if (!path_.empty()) fs::remove_all(path_, ignored);
    }
    FolderGuard(const FolderGuard&) = delete;
    FolderGuard& operator=(const FolderGuard&) = delete;
    const fs::path& path() const { return path_; }
    void release() { path_.clear(); }

  private:
    fs::path path_;
};

// What a folder lacks to be a model, judged on the folder or the one inside it that comes
// closest.
std::string missingParts(const fs::path& folder) {
    std::vector<fs::path> candidates{folder};
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_directory(ec)) candidates.push_back(it->path());
    }
    ModelPaths best;
    int bestCount = -1;
    for (const auto& candidate : candidates) {
        ModelPaths parts = scanModelDirectory(candidate);
        int count =
            !parts.acousticModel.empty() + !parts.dictionary.empty() + !parts.languageModel.empty();
        if (count > bestCount) {
            best = parts;
            bestCount = count;
        }
    }
    std::vector<std::string> missing;
    if (best.acousticModel.empty()) missing.push_back("an acoustic-model folder with an mdef file");
    if (best.dictionary.empty()) missing.push_back("a dictionary (.dic or .dict)");
    if (best.languageModel.empty()) missing.push_back("a language model (.lm.bin, .lm or .lm.DMP)");
    std::string text;
    for (size_t i = 0; i < missing.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == missing.size() ? " and " : ", ") + missing[i];
    }
    return text;
}

void countFiles(const fs::path& folder, ModelInstallation& installation) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec)) {
            ++installation.files;
            installation.bytes += it->file_size(ec);
        }
    }
}

fs::path moved(const fs::path& path, const fs::path& from, const fs::path& to) {
    const fs::path relative = path.lexically_relative(from);
    return relative == "." ? to : to / relative;
}

// The library's first complaint in its log ("ERROR: \"file.c\", line 224: text"), without
// the source position.
std::string firstLibraryError(const std::string& log) {
    static const std::regex line(R"(^(?:ERROR|FATAL|FATAL_ERROR): "[^"]*", line \d+: (.*)$)");
    std::istringstream in(log);
    for (std::string text; std::getline(in, text);) {
        std::smatch match;
        if (std::regex_match(text, match, line)) return match[1];
    }
    return {};
}

// PocketSphinx takes a dictionary cut short without a word of complaint (its last entry may even
// parse, with phones missing); a dictionary file ends with a line break.
bool endsWithLineBreak(const fs::path& file) {
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    if (!in || in.tellg() <= 0) return false;
    in.seekg(-1, std::ios::end);
    return in.get() == '\n';
}

// Messages name the model as the user gave it, not our staging folder.
std::string inSource(std::string text, const fs::path& staging, const fs::path& source) {
    const std::string from = staging.string();
    for (size_t at; (at = text.find(from)) != std::string::npos;)
        text.replace(at, from.size(), source.string());
    return text;
}

// Bytes in the model's files: the acoustic-model folder's, the dictionary and the language model.
std::uint64_t modelBytes(const ModelPaths& paths) {
    std::uint64_t bytes = 0;
    std::error_code ec;
    for (fs::directory_iterator it(paths.acousticModel, ec), end; !ec && it != end;
         it.increment(ec)) {
        if (it->is_regular_file(ec)) bytes += it->file_size(ec);
    }
    for (const fs::path& file : {paths.dictionary, paths.languageModel}) {
        const std::uintmax_t size = fs::file_size(file, ec);
        if (!ec) bytes += size;
    }
    return bytes;
}

// The address space this process holds now (mappings of libraries and threads included), which
// a forked child starts with.
std::optional<std::uint64_t> addressSpaceInUse() {
    std::ifstream in("/proc/self/statm");
    std::uint64_t pages = 0;
    if (!(in >> pages)) return std::nullopt;
    return pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

}  // namespace

std::uint64_t trialLoadMemoryAllowance(std::uint64_t modelBytes) {
    return (std::uint64_t{1} << 30) + 4 * modelBytes;
}

namespace {

// What the trial load may use, worked out before the child exists (after fork it only applies
// them).
struct TrialLimits {
    std::uint64_t memoryAllowance = 0;
    std::optional<rlimit> memory;
    rlimit processorTime{};
};

TrialLimits trialLimits(const ModelPaths& paths, std::chrono::seconds timeout) {
    TrialLimits limits;
    limits.memoryAllowance = trialLoadMemoryAllowance(modelBytes(paths));
    if (auto inUse = addressSpaceInUse()) {
        rlimit current{};
        if (::getrlimit(RLIMIT_AS, &current) == 0) {
            const rlim_t wanted = static_cast<rlim_t>(*inUse + limits.memoryAllowance);
            if (current.rlim_cur == RLIM_INFINITY || wanted < current.rlim_cur)
                limits.memory = rlimit{wanted, current.rlim_max};
        }
    }
    // Processor time as a second bound, in case the wall-clock one cannot act.
    const rlim_t seconds = static_cast<rlim_t>(timeout.count()) + 2;
    limits.processorTime = rlimit{seconds, seconds + 1};
    return limits;
}

// The child: loads the model within the limits, its log and verdict on `logFd`, and ends.
[[noreturn]] void loadInChild(const ModelPaths& paths, const TrialLimits& limits, int logFd) {
    if (limits.memory) ::setrlimit(RLIMIT_AS, &*limits.memory);
    ::setrlimit(RLIMIT_CPU, &limits.processorTime);
    // The library writes some failures (a refused allocation) straight to standard error.
    ::dup2(logFd, STDERR_FILENO);
    std::FILE* log = ::fdopen(logFd, "w");
    auto decoder = loadDecoder(paths, log, /*readWholeFiles=*/true);
    if (!decoder.ok() && log)
        std::fprintf(log, "\nzimlo: %d %s\n", static_cast<int>(decoder.error().kind),
                     decoder.error().message.c_str());
    if (log) std::fflush(log);
    ::_exit(decoder.ok() ? 0 : 1);
}

struct TrialLog {
    std::string text;
    bool timedOut = false;
};

// Reads the child's log as it comes (a full pipe would stall the child) until the child closes
// it or the time is up. Keeps its beginning (the first complaint) and its end (how it ended): a
// damaged model can make the library write a warning for each of millions of entries.
TrialLog readTrialLog(int fd, std::chrono::seconds timeout) {
    TrialLog read;
    std::string logEnd;
    constexpr size_t kLogStart = 256 * 1024;
    constexpr size_t kLogEnd = 4096;
    const double deadline = media::MonotonicClock::nowSeconds() + timeout.count();
    for (;;) {
        double left = deadline - media::MonotonicClock::nowSeconds();
        if (left <= 0) {
            read.timedOut = true;
            break;
        }
        pollfd readable{fd, POLLIN, 0};
        int ready = ::poll(&readable, 1, static_cast<int>(left * 1000) + 1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        char buffer[4096];
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        std::string_view text(buffer, static_cast<size_t>(got));
        const size_t toStart = std::min(text.size(), kLogStart - read.text.size());
        read.text.append(text.substr(0, toStart));
        logEnd.append(text.substr(toStart));
        if (logEnd.size() > 2 * kLogEnd) logEnd.erase(0, logEnd.size() - kLogEnd);
    }
    if (!logEnd.empty())
        read.text += logEnd.substr(logEnd.size() - std::min(logEnd.size(), kLogEnd));
    return read;
}

// Why a child that ended with `status` did not load the model, from its log.
SpeechError trialFailure(const fs::path& folder, int status, const std::string& log,
                         const TrialLimits& limits, std::chrono::seconds timeout) {
    // The child's own verdict: "zimlo: KIND MESSAGE" on the last line.
    auto kind = SpeechError::Kind::modelRefused;
    std::string verdict;
    if (auto at = log.rfind("\nzimlo: "); at != std::string::npos) {
        std::istringstream in(log.substr(at + 8));
        int number = 0;
        if (in >> number) {
            if (number == static_cast<int>(SpeechError::Kind::incompleteModel))
                kind = SpeechError::Kind::incompleteModel;
            in >> std::ws;
            std::getline(in, verdict);
        }
    }
    std::string reason = firstLibraryError(log);
    if (reason.empty()) reason = verdict;
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGXCPU) {
        return {SpeechError::Kind::loadTimedOut, folder,
                "the model did not load within " + std::to_string(timeout.count()) +
                    " seconds of processor time"};
    }
    // An allocation the limit refused: the library says so (and ends), or it dies on the null.
    const bool outOfMemory =
        (log.find("alloc") != std::string::npos &&
         (log.find("failed") != std::string::npos || log.find("Failed") != std::string::npos)) ||
        log.find("out of memory") != std::string::npos;
    if (limits.memory && outOfMemory) {
        return {SpeechError::Kind::loadTooLarge, folder,
                "the model needs more than " + std::to_string(limits.memoryAllowance / kMiB) +
                    " MiB of memory to load" + (reason.empty() ? "" : " (" + reason + ")")};
    }
    if (WIFSIGNALED(status)) {
        std::string crash = std::string("PocketSphinx crashed while loading the model (") +
                            ::strsignal(WTERMSIG(status)) + ")";
        return {SpeechError::Kind::loadCrashed, folder,
                reason.empty() ? crash : crash + " after: " + reason};
    }
    return {kind, folder, reason.empty() ? std::string("the model does not load") : reason};
}

}  // namespace

Result<void, SpeechError> checkModelLoads(const ModelPaths& paths, std::chrono::seconds timeout) {
    const fs::path folder = paths.acousticModel.parent_path();
    const TrialLimits limits = trialLimits(paths, timeout);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return fail(
            SpeechError{SpeechError::Kind::loadNotStarted, folder,
                        std::string("cannot start the trial load: ") + std::strerror(errno)});
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        return fail(
            SpeechError{SpeechError::Kind::loadNotStarted, folder,
                        std::string("cannot start the trial load: ") + std::strerror(error)});
    }
    if (pid == 0) {
        ::close(fds[0]);
        loadInChild(paths, limits, fds[1]);
    }
    ::close(fds[1]);
    const TrialLog log = readTrialLog(fds[0], timeout);
    ::close(fds[0]);
    if (log.timedOut) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (log.timedOut) {
        return fail(SpeechError{
            SpeechError::Kind::loadTimedOut, folder,
            "the model did not load within " + std::to_string(timeout.count()) + " seconds"});
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
    return fail(trialFailure(folder, status, log.text, limits, timeout));
}

namespace {

// Holds an exclusive lock on the folder models are installed into, for as long as it lives.
class InstallLock {
  public:
    explicit InstallLock(int fd) : fd_(fd) {}
    ~InstallLock() { ::close(fd_); }  // closing lets go of the lock
    InstallLock(const InstallLock&) = delete;
    InstallLock& operator=(const InstallLock&) = delete;

  private:
    int fd_;
};

ModelInstallResult<std::unique_ptr<InstallLock>> lockFolder(const fs::path& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return failure(Kind::noFolder, folder,
                       "cannot open " + inQuotes(folder) + ": " + std::strerror(errno));
    }
    auto lock = std::make_unique<InstallLock>(fd);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            return failure(Kind::busy, folder,
                           "another model is being installed into " + inQuotes(folder) +
                               " right now; try again when it is done");
        }
        return failure(Kind::noFolder, folder,
                       "cannot lock " + inQuotes(folder) + ": " + std::strerror(errno));
    }
    return lock;
}

// Half-made folders of installations that were killed before they finished: nothing else
// installs into the folder while we hold its lock, so every one of them is abandoned.
void removeAbandonedFolders(const fs::path& destination) {
    const std::string prefix = "." + destination.filename().string() + ".installing-";
    std::error_code ec;
    for (fs::directory_iterator it(destination.parent_path(), ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        std::error_code own;
        if (!name.starts_with(prefix) || !it->is_directory(own) || it->is_symlink(own)) continue;
        std::error_code removed;
        fs::remove_all(it->path(), removed);
        if (removed) {
            ZIMLO_LOG_WARN("speech") << "cannot remove the abandoned installation " << it->path()
                                     << ": " << removed.message();
        } else {
            ZIMLO_LOG_INFO("speech") << "removed the abandoned installation " << it->path();
        }
    }
}

// The model's files, copied from a folder or unpacked from an archive into `staging`.
ModelInstallResult<void> stage(const fs::path& source, const fs::file_status& status,
                               const fs::path& staging,
                               const std::function<void(const std::string&)>& say,
                               const UnpackLimits& limits) {
    if (fs::is_directory(status)) {
        say("copying " + source.string());
        if (auto copied = copyModelFolder(source, staging, limits); !copied)
            return fail(std::move(copied).error());
        return {};
    }
    if (fs::is_regular_file(status)) {
        say("unpacking " + source.string());
        if (auto unpacked = unpackModelArchive(source, staging, limits); !unpacked)
            return fail(std::move(unpacked).error());
        return {};
    }
    return failure(Kind::noSource, source,
                   inQuotes(source) + " is neither a folder nor an archive");
}

// The staged model's files, once they are all there and PocketSphinx loads them.
ModelInstallResult<ModelPaths> checkStaged(const fs::path& source, const fs::path& staging,
                                           const std::function<void(const std::string&)>& say) {
    auto found = findModelInFolder(staging);
    if (!found) {
        return failure(Kind::notAModel, source,
                       "no PocketSphinx model in " + inQuotes(source) + ": it lacks " +
                           missingParts(staging) + ", directly or inside one folder of its own");
    }
    if (!endsWithLineBreak(found->dictionary)) {
        const fs::path dictionary = inSource(found->dictionary, staging, source);
        return failure(Kind::notAModel, dictionary,
                       "the dictionary " + inQuotes(dictionary) +
                           " is cut short (it does not end with a line break)");
    }
    say("loading the model once to check it");
    if (auto loads = checkModelLoads(*found); !loads) {
        return failure(Kind::doesNotLoad, source,
                       "the model in " + inQuotes(source) +
                           " does not load: " + inSource(loads.error().message, staging, source));
    }
    return *found;
}

// Swap: the previous model steps aside into a folder of ours, the staged one takes its name, and
// the previous one returns if that fails. Whether there was a previous model.
ModelInstallResult<bool> moveIntoPlace(FolderGuard& staging, const fs::path& destination) {
    std::error_code ec;
    std::optional<FolderGuard> previous;
    fs::path stepAside;
    if (fs::exists(fs::symlink_status(destination, ec))) {
        auto previousFolder = makeSiblingFolder(destination, "previous");
        if (!previousFolder) return fail(std::move(previousFolder).error());
        previous.emplace(*previousFolder);
        stepAside = previous->path() / "model";
        fs::rename(destination, stepAside, ec);
        if (ec) {
            return failure(Kind::writeFailed, destination,
                           "cannot replace " + inQuotes(destination) + ": " + ec.message());
        }
    }
    fs::rename(staging.path(), destination, ec);
    if (ec) {
        std::string why = ec.message();
        if (previous) {
            fs::rename(stepAside, destination, ec);
            if (ec) {
                previous->release();  // never delete the only copy of the previous model
                return failure(Kind::writeFailed, destination,
                               "cannot move the model into " + inQuotes(destination) + " (" + why +
                                   "); the previous model is now in " + inQuotes(stepAside));
            }
        }
        return failure(Kind::writeFailed, destination,
                       "cannot move the model into " + inQuotes(destination) + ": " + why);
    }
    staging.release();
    return previous.has_value();
}

ModelInstallResult<ModelInstallation> install(
    const fs::path& source, const fs::path& destination,
    const std::function<void(const std::string&)>& progress, const UnpackLimits& limits) {
    auto say = [&](const std::string& text) {
        if (progress) progress(text);
    };
    std::error_code ec;
    const fs::file_status status = fs::status(source, ec);
    if (!fs::exists(status))
        return failure(Kind::noSource, source, "no such file or folder: " + inQuotes(source));
    if (destination.empty() || !destination.has_filename())
        return failure(Kind::noFolder, destination, "no folder to install the model into");
    fs::create_directories(destination.parent_path(), ec);
    if (ec) {
        return failure(
            Kind::noFolder, destination.parent_path(),
            "cannot create " + inQuotes(destination.parent_path()) + ": " + ec.message());
    }

    auto lock = lockFolder(destination.parent_path());
    if (!lock) return fail(std::move(lock).error());
    removeAbandonedFolders(destination);

    auto stagingFolder = makeSiblingFolder(destination, "installing");
    if (!stagingFolder) return fail(std::move(stagingFolder).error());
    FolderGuard staging(*stagingFolder);
    // mkdtemp makes it private; the model folder gets the usual permissions of a new folder.
    fs::permissions(staging.path(),
                    fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                        fs::perms::others_read | fs::perms::others_exec,
                    ec);
    if (auto staged = stage(source, status, staging.path(), say, limits); !staged)
        return fail(std::move(staged).error());
    const double started = media::MonotonicClock::nowSeconds();
    auto found = checkStaged(source, staging.path(), say);
    if (!found) return fail(std::move(found).error());

    ModelInstallation installation;
    installation.loadSeconds = media::MonotonicClock::nowSeconds() - started;
    installation.directory = destination;
    installation.paths = {moved(found->acousticModel, staging.path(), destination),
                          moved(found->dictionary, staging.path(), destination),
                          moved(found->languageModel, staging.path(), destination)};
    countFiles(staging.path(), installation);
    auto replaced = moveIntoPlace(staging, destination);
    if (!replaced) return fail(std::move(replaced).error());
    installation.replacedPrevious = *replaced;
    return installation;
}

}  // namespace

ModelInstallResult<ModelInstallation> installModel(
    const fs::path& source, const fs::path& destination,
    const std::function<void(const std::string&)>& progress, const UnpackLimits& limits) {
    auto installed = install(source, destination, progress, limits);
    if (!installed) {
        ZIMLO_LOG_ERROR("speech") << "installing the model " << source << " as " << destination
                                  << " failed: " << installed.error().message;
    }
    return installed;
}

}  // namespace zimlo::speech
