#include "platform/storage/SettingsFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <charconv>

#include "platform/log/Log.h"
#include "platform/storage/AtomicFile.h"
#include "platform/storage/BoundedFile.h"
#include "platform/storage/DocumentsDirectory.h"

namespace zimlo {

namespace {

std::optional<int64_t> parseInteger(std::string_view text) {
    int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

}  // namespace

bool SettingsFile::Stamp::operator==(const Stamp& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

std::filesystem::path SettingsFile::standardPath() {
    return configDirectory() / "zimlo" / "defaults.json";
}

std::shared_ptr<SettingsFile> SettingsFile::standard() {
    static auto instance = std::make_shared<SettingsFile>(standardPath());
    return instance;
}

SettingsFile::SettingsFile(std::filesystem::path file) : file_(std::move(file)) {}

Result<nlohmann::ordered_json, std::string> SettingsFile::decode(std::string_view text) {
    auto parsed = parseBoundedJson(text, kLimits);
    if (!parsed) return parsed;
    if (!parsed->is_object()) return fail(std::string("not a JSON object"));
    return parsed;
}

void SettingsFile::refresh() const {
    struct stat info {};
    if (::stat(file_.c_str(), &info) != 0) {
        // No file (or no folder for it) reads as empty; a write will say what else is wrong.
        if (stamp_ || !loaded_) {
            values_ = Json::object();
            rejected_ = false;
        }
        loaded_ = true;
        stamp_.reset();
        return;
    }
    const Stamp now{info.st_dev, info.st_ino, info.st_size, info.st_mtim};
    if (loaded_ && stamp_ && *stamp_ == now) return;
    loaded_ = true;
    stamp_ = now;

    std::string reason;
    if (auto text = readRegularFile(file_, kLimits.bytes); !text) {
        if (text.error().code == std::errc::no_such_file_or_directory) {  // just went
            stamp_.reset();
            values_ = Json::object();
            rejected_ = false;
            return;
        }
        reason = text.error().text();
    } else if (auto decoded = decode(*text); !decoded) {
        reason = decoded.error();
    } else {
        values_ = std::move(decoded).value();
        rejected_ = false;
        return;
    }
    ZIMLO_LOG_WARN("settings") << "not using the settings file " << file_
                               << ", the defaults apply: " << reason;
    values_ = Json::object();
    rejected_ = true;
    unreportedRejection_ = reason;
}

std::optional<std::string> SettingsFile::takeRejection() {
    std::lock_guard lock(mutex_);
    refresh();
    return std::exchange(unreportedRejection_, std::nullopt);
}

std::optional<std::string> SettingsFile::string(std::string_view key) const {
    std::lock_guard lock(mutex_);
    refresh();
    auto found = values_.find(key);
    if (found == values_.end()) return std::nullopt;
    if (found->is_string()) return found->get<std::string>();
    if (found->is_number_integer()) return found->dump();
    return std::nullopt;
}

int64_t SettingsFile::integer(std::string_view key) const {
    std::lock_guard lock(mutex_);
    refresh();
    auto found = values_.find(key);
    if (found == values_.end()) return 0;
    if (found->is_number_unsigned()) {
        uint64_t value = found->get<uint64_t>();
        return value > static_cast<uint64_t>(INT64_MAX) ? 0 : static_cast<int64_t>(value);
    }
    if (found->is_number_integer()) return found->get<int64_t>();
    if (found->is_string()) return parseInteger(found->get<std::string>()).value_or(0);
    return 0;
}

bool SettingsFile::contains(std::string_view key) const {
    std::lock_guard lock(mutex_);
    refresh();
    return values_.contains(key);
}

// Changes a copy of the values and writes it whole; only a written file changes what reads
// return. A file that was not used is moved aside first rather than overwritten.
template <typename Change>
Result<void, FileError> SettingsFile::update(Change change) {
    refresh();
    Json next = values_;
    change(next);
    auto failed = [&](FileError error) {
        ZIMLO_LOG_ERROR("settings") << "saving the settings: " << error.text();
        return fail(std::move(error));
    };
    std::error_code error;
    std::filesystem::create_directories(file_.parent_path(), error);
    if (error) return failed(FileError{"cannot create folder", file_.parent_path(), error});
    if (rejected_ && stamp_) {
        std::filesystem::path aside = file_;
        aside += ".corrupt";
        std::filesystem::rename(file_, aside, error);
        if (error) return failed(FileError{"cannot move aside", file_, error});
        ZIMLO_LOG_WARN("settings") << "the unusable settings file is now " << aside;
        rejected_ = false;
        stamp_.reset();
    }
    const std::string text = next.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    if (auto written = writeFileAtomically(file_, text); !written)
        return failed(std::move(written).error());
    values_ = std::move(next);
    struct stat info {};
    if (::stat(file_.c_str(), &info) == 0)
        stamp_ = Stamp{info.st_dev, info.st_ino, info.st_size, info.st_mtim};
    else
        loaded_ = false;  // read it again next time
    return {};
}

Result<void, FileError> SettingsFile::setString(std::string_view key, std::string_view value) {
    std::lock_guard lock(mutex_);
    return update([&](Json& json) { json[std::string(key)] = std::string(value); });
}

Result<void, FileError> SettingsFile::setInteger(std::string_view key, int64_t value) {
    std::lock_guard lock(mutex_);
    return update([&](Json& json) { json[std::string(key)] = value; });
}

Result<void, FileError> SettingsFile::remove(std::string_view key) {
    std::lock_guard lock(mutex_);
    return update([&](Json& json) { json.erase(std::string(key)); });
}

}  // namespace zimlo
