#include "platform/log/Log.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <system_error>

namespace zimlo::log {
namespace {

constexpr int kUnconfigured = -1;
// Beyond this a file is moved aside (to zimlo.log.1) when it is opened, so it never grows
// without bound.
constexpr std::uintmax_t kFileLimitBytes = 4 * 1024 * 1024;

std::atomic<int> threshold{kUnconfigured};

struct Sink {
    // guards: toStandardError, file; so each line is written whole and the environment is
    // read into the settings once
    std::mutex mutex;
    bool toStandardError = true;
    std::FILE* file = nullptr;
};

Sink& sink() {
    static Sink* instance = new Sink;  // never destroyed: threads may log during exit
    return *instance;
}

std::optional<std::string> variable(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) return std::nullopt;
    return std::string(value);
}

std::FILE* openFile(const std::filesystem::path& path) {
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    if (std::filesystem::file_size(path, error) > kFileLimitBytes && !error)
        std::filesystem::rename(path, path.string() + ".1", error);
    return std::fopen(path.c_str(), "ae");
}

// Under the sink's lock.
void apply(Sink& target, const Settings& settings) {
    if (target.file) std::fclose(target.file);
    target.file = nullptr;
    target.toStandardError = settings.toStandardError;
    if (settings.file) {
        target.file = openFile(*settings.file);
        if (!target.file && settings.toStandardError) {
            const int code = errno;
            std::fprintf(stderr, "zimlo: cannot write the log file %s: %s\n",
                         settings.file->c_str(), std::generic_category().message(code).c_str());
        }
    }
    threshold.store(static_cast<int>(settings.threshold), std::memory_order_release);
}

int configuredThreshold() {
    int value = threshold.load(std::memory_order_acquire);
    if (value != kUnconfigured) return value;
    Sink& target = sink();
    std::lock_guard lock(target.mutex);
    value = threshold.load(std::memory_order_acquire);
    if (value == kUnconfigured) {
        apply(target, settingsFromEnvironment());
        value = threshold.load(std::memory_order_acquire);
    }
    return value;
}

std::string timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[40];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + length, sizeof text - length, ".%03d", static_cast<int>(millis));
    return text;
}

std::string threadName() {
    char name[16] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) return "?";
    return name;
}

}  // namespace

std::string_view levelName(Level level) {
    switch (level) {
        case Level::debug:
            return "debug";
        case Level::info:
            return "info";
        case Level::warn:
            return "warn";
        case Level::error:
            return "error";
        case Level::off:
            return "off";
    }
    return "?";
}

std::optional<Level> parseLevel(std::string_view text) {
    for (Level level : {Level::debug, Level::info, Level::warn, Level::error, Level::off})
        if (text == levelName(level)) return level;
    if (text == "warning") return Level::warn;
    return std::nullopt;
}

std::optional<std::filesystem::path> defaultFilePath() {
    if (auto state = variable("XDG_STATE_HOME"); state && state->front() == '/')
        return std::filesystem::path(*state) / "zimlo" / "zimlo.log";
    if (auto home = variable("HOME"))
        return std::filesystem::path(*home) / ".local" / "state" / "zimlo" / "zimlo.log";
    return std::nullopt;
}

Settings settingsFromEnvironment() {
    Settings settings;
    if (auto text = variable("ZIMLO_LOG")) {
        if (auto level = parseLevel(*text)) settings.threshold = *level;
    }
    if (auto file = variable("ZIMLO_LOG_FILE"); file && *file != "0")
        settings.file = defaultFilePath();
    return settings;
}

void configure(const Settings& settings) {
    Sink& target = sink();
    std::lock_guard lock(target.mutex);
    apply(target, settings);
}

bool enabled(Level level) {
    int value = threshold.load(std::memory_order_relaxed);
    if (value == kUnconfigured) value = configuredThreshold();
    return level != Level::off && static_cast<int>(level) >= value;
}

void write(Level level, std::string_view area, std::string_view message) {
    if (!enabled(level)) return;
    const int savedErrno = errno;  // callers often log between a failure and reading errno
    std::string line = timestamp();
    line += ' ';
    line += levelName(level);
    line += " [";
    line += threadName();
    line += "] ";
    line += area;
    line += ": ";
    line += message;
    line += '\n';
    Sink& target = sink();
    {
        std::lock_guard lock(target.mutex);
        if (target.toStandardError) std::fwrite(line.data(), 1, line.size(), stderr);
        if (target.file) {
            std::fwrite(line.data(), 1, line.size(), target.file);
            std::fflush(target.file);  // a crash right after keeps the line
        }
    }
    errno = savedErrno;
}

}  // namespace zimlo::log
