#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/runtime/Result.h"
#include "platform/storage/BoundedJson.h"
#include "platform/storage/FileError.h"

namespace zimlo {

// A small per-user key-value store kept as a JSON object in one file, by default
// $XDG_CONFIG_HOME/zimlo/defaults.json (~/.config when the variable is unset or relative).
// Strings and integers keep their stored JSON type.
//
// The file is read once and kept; each call only looks at the file's identity and time
// (one stat), so a change made by another process is still seen. Every write replaces the file
// atomically. A file that cannot be used (not a regular file, larger or deeper than any settings
// file, malformed, not an object) reads as empty: it is logged, reported once through
// takeRejection(), and moved aside to "defaults.json.corrupt" by the next write.
class SettingsFile {
  public:
    static constexpr JsonLimits kLimits{size_t{1} << 20, 16, 1024, 100'000};

    // The store at the standard path, created on first use.
    static std::shared_ptr<SettingsFile> standard();
    static std::filesystem::path standardPath();

    explicit SettingsFile(std::filesystem::path file);

    const std::filesystem::path& file() const { return file_; }

    // The value as text: a stored string, or an integer in decimal. Nothing when missing.
    std::optional<std::string> string(std::string_view key) const;
    // The value as an integer: a stored integer, or a string holding a decimal integer; 0 when
    // missing or of another kind.
    int64_t integer(std::string_view key) const;
    bool contains(std::string_view key) const;

    // A failed write changes nothing (neither the file nor what reads return) and says why.
    Result<void, FileError> setString(std::string_view key, std::string_view value);
    Result<void, FileError> setInteger(std::string_view key, int64_t value);
    Result<void, FileError> remove(std::string_view key);

    // Why the file was not used, the first time it is asked after that was found; nothing
    // afterwards (until another unusable file turns up).
    std::optional<std::string> takeRejection();

    // The stored object from a settings text, or why it cannot be used. No file involved.
    static Result<nlohmann::ordered_json, std::string> decode(std::string_view text);

  private:
    using Json = nlohmann::ordered_json;
    // What identifies one version of the file.
    struct Stamp {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        timespec modified{};
        bool operator==(const Stamp& other) const;
    };
    // Brings `values_` up to date with the file. Caller holds the mutex.
    void refresh() const;
    template <typename Change>
    Result<void, FileError> update(Change change);

    std::filesystem::path file_;
    // guards: loaded_, stamp_, values_, rejected_, unreportedRejection_; also serialises
    // writing the file
    mutable std::mutex mutex_;
    mutable bool loaded_ = false;
    mutable std::optional<Stamp> stamp_;  // none: no file
    mutable Json values_ = Json::object();
    mutable bool rejected_ = false;  // the file there now was not used
    mutable std::optional<std::string> unreportedRejection_;
};

}  // namespace zimlo
