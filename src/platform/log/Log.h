#pragma once

#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

namespace zimlo::log {

// The trail a bug report carries: one line per event, on standard error and, when asked for, in
// a file. Lines below the threshold cost one atomic read (their arguments are not evaluated).
//
//   ZIMLO_LOG_WARN("camera") << "opening " << path << " failed: " << error.what();
//
// Settings come from the environment on first use, unless configure() came first:
//   ZIMLO_LOG=debug|info|warn|error|off   threshold (default warn: failures only)
//   ZIMLO_LOG_FILE=1                      also append to $XDG_STATE_HOME/zimlo/zimlo.log
//                                         (~/.local/state/zimlo/zimlo.log)
enum class Level { debug = 0, info = 1, warn = 2, error = 3, off = 4 };

struct Settings {
    Level threshold = Level::warn;
    bool toStandardError = true;
    std::optional<std::filesystem::path> file;  // appended to; its folder is created
};

// What the environment asks for (unknown ZIMLO_LOG values leave the default).
Settings settingsFromEnvironment();
// $XDG_STATE_HOME/zimlo/zimlo.log, or ~/.local/state/zimlo/zimlo.log when XDG_STATE_HOME is
// unset or not absolute; none without a home either.
std::optional<std::filesystem::path> defaultFilePath();

// Replaces the settings; lines written from then on follow them. Safe from any thread.
void configure(const Settings& settings);

bool enabled(Level level);
// Writes one whole line (concurrent writers never interleave within a line).
void write(Level level, std::string_view area, std::string_view message);

std::string_view levelName(Level level);
std::optional<Level> parseLevel(std::string_view text);

// Collects one line and writes it when it goes out of scope (the end of the statement).
class Line {
  public:
    Line(Level level, std::string_view area) : level_(level), area_(area) {}
    ~Line() { write(level_, area_, stream_.str()); }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    template <typename Value>
    Line& operator<<(const Value& value) {
        stream_ << value;
        return *this;
    }

  private:
    Level level_;
    std::string_view area_;
    std::ostringstream stream_;
};

}  // namespace zimlo::log

// The `if … else` keeps the macros safe inside an unbraced if and skips the arguments when the
// level is off.
#define ZIMLO_LOG(level, area)           \
    if (!::zimlo::log::enabled(level)) { \
    } else                               \
        ::zimlo::log::Line(level, area)
#define ZIMLO_LOG_DEBUG(area) ZIMLO_LOG(::zimlo::log::Level::debug, area)
#define ZIMLO_LOG_INFO(area) ZIMLO_LOG(::zimlo::log::Level::info, area)
#define ZIMLO_LOG_WARN(area) ZIMLO_LOG(::zimlo::log::Level::warn, area)
#define ZIMLO_LOG_ERROR(area) ZIMLO_LOG(::zimlo::log::Level::error, area)
