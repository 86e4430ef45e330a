#include "platform/storage/UserDefaults.h"

#include <charconv>
#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/storage/AtomicFile.h"
#include "platform/storage/DocumentsDirectory.h"

namespace zimlo {

namespace {

using Json = nlohmann::ordered_json;

enum class FileState { missing, valid, corrupt };

// The stored object; an unreadable or malformed file reads as empty.
Json readObject(const std::filesystem::path& file, FileState* state = nullptr) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        if (state) *state = FileState::missing;
        return Json::object();
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    Json json = Json::parse(buffer.str(), nullptr, false);
    bool valid = !json.is_discarded() && json.is_object();
    if (state) *state = valid ? FileState::valid : FileState::corrupt;
    return valid ? json : Json::object();
}

std::optional<int64_t> parseInteger(std::string_view text) {
    int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

}  // namespace

std::filesystem::path UserDefaults::standardPath() {
    return configDirectory() / "zimlo" / "defaults.json";
}

std::shared_ptr<UserDefaults> UserDefaults::standard() {
    static auto instance = std::make_shared<UserDefaults>(standardPath());
    return instance;
}

UserDefaults::UserDefaults(std::filesystem::path file) : file_(std::move(file)) {}

std::optional<std::string> UserDefaults::string(std::string_view key) const {
    std::lock_guard lock(mutex_);
    Json json = readObject(file_);
    auto found = json.find(key);
    if (found == json.end()) return std::nullopt;
    if (found->is_string()) return found->get<std::string>();
    if (found->is_number_integer()) return found->dump();
    return std::nullopt;
}

int64_t UserDefaults::integer(std::string_view key) const {
    std::lock_guard lock(mutex_);
    Json json = readObject(file_);
    auto found = json.find(key);
    if (found == json.end()) return 0;
    if (found->is_number_unsigned()) {
        uint64_t value = found->get<uint64_t>();
        return value > static_cast<uint64_t>(INT64_MAX) ? 0 : static_cast<int64_t>(value);
    }
    if (found->is_number_integer()) return found->get<int64_t>();
    if (found->is_string()) return parseInteger(found->get<std::string>()).value_or(0);
    return 0;
}

bool UserDefaults::contains(std::string_view key) const {
    std::lock_guard lock(mutex_);
    return readObject(file_).contains(key);
}

namespace {

// Reads, changes and writes the whole object. A malformed file is kept aside (".corrupt") rather
// than silently overwritten.
template <typename Change>
bool update(const std::filesystem::path& file, Change change) {
    FileState state;
    Json json = readObject(file, &state);
    change(json);
    try {
        std::filesystem::create_directories(file.parent_path());
        if (state == FileState::corrupt) {
            std::filesystem::path aside = file;
            aside += ".corrupt";
            std::filesystem::rename(file, aside);
        }
        return writeFileAtomically(file, json.dump(2) + "\n").ok();
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

bool UserDefaults::setString(std::string_view key, std::string_view value) {
    std::lock_guard lock(mutex_);
    return update(file_, [&](Json& json) { json[std::string(key)] = std::string(value); });
}

bool UserDefaults::setInteger(std::string_view key, int64_t value) {
    std::lock_guard lock(mutex_);
    return update(file_, [&](Json& json) { json[std::string(key)] = value; });
}

bool UserDefaults::remove(std::string_view key) {
    std::lock_guard lock(mutex_);
    return update(file_, [&](Json& json) { json.erase(std::string(key)); });
}

}  // namespace zimlo
