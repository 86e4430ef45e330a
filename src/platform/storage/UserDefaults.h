#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace zimlo {

// A small per-user key-value store kept as a JSON object in one file, by default
// $XDG_CONFIG_HOME/zimlo/defaults.json (~/.config when the variable is unset or relative).
// Strings and integers keep their stored JSON type. Every read goes to the file, so a change
// made by another process is seen; every write replaces the file atomically.
class UserDefaults {
  public:
    // The store at the standard path, created on first use.
    static std::shared_ptr<UserDefaults> standard();
    static std::filesystem::path standardPath();

    explicit UserDefaults(std::filesystem::path file);

    const std::filesystem::path& file() const { return file_; }

    // The value as text: a stored string, or an integer in decimal. Nothing when missing.
    std::optional<std::string> string(std::string_view key) const;
    // The value as an integer: a stored integer, or a string holding a decimal integer; 0 when
    // missing or of another kind.
    int64_t integer(std::string_view key) const;
    bool contains(std::string_view key) const;

    // Return false when the file cannot be written (nothing else changes then).
    bool setString(std::string_view key, std::string_view value);
    bool setInteger(std::string_view key, int64_t value);
    bool remove(std::string_view key);

  private:
    std::filesystem::path file_;
    mutable std::mutex mutex_;
};

}  // namespace zimlo
