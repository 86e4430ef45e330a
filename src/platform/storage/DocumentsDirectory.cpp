#include "platform/storage/DocumentsDirectory.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace zimlo {

std::filesystem::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) return entry->pw_dir;
    return "/";
}

std::filesystem::path configDirectory() {
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config) {
        std::filesystem::path path(config);
        if (path.is_absolute()) return path;  // relative values are invalid and ignored
    }
    return homeDirectory() / ".config";
}

std::filesystem::path stateDirectory() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state) {
        std::filesystem::path path(state);
        if (path.is_absolute()) return path;
    }
    return homeDirectory() / ".local" / "state";
}

namespace {

// The value of XDG_DOCUMENTS_DIR in user-dirs.dirs, which holds shell assignments of the form
// XDG_DOCUMENTS_DIR="$HOME/Documents" or an absolute path in double quotes.
std::filesystem::path documentsFromUserDirs(const std::filesystem::path& home) {
    std::ifstream in(configDirectory() / "user-dirs.dirs");
    std::string line;
    std::filesystem::path found;
    while (std::getline(in, line)) {
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        constexpr std::string_view kKey = "XDG_DOCUMENTS_DIR=";
        if (line.compare(start, kKey.size(), kKey) != 0) continue;
        std::string value = line.substr(start + kKey.size());
        size_t end = value.find_last_not_of(" \t\r");
        value = end == std::string::npos ? "" : value.substr(0, end + 1);
        if (value.size() < 2 || value.front() != '"' || value.back() != '"') continue;
        value = value.substr(1, value.size() - 2);
        std::string unescaped;
        for (size_t i = 0; i < value.size(); ++i) {
            if (value[i] == '\\' && i + 1 < value.size()) ++i;
            unescaped.push_back(value[i]);
        }
        if (unescaped.starts_with("$HOME")) {
            std::string rest = unescaped.substr(5);
            if (!rest.empty() && rest.front() != '/') continue;
            found = rest.size() <= 1 ? home : home / rest.substr(1);
        } else if (!unescaped.empty() && unescaped.front() == '/') {
            found = unescaped;
        }
        // A later assignment overrides an earlier one, as when the shell sources the file.
    }
    return found;
}

}  // namespace

std::filesystem::path documentsDirectory() {
    std::filesystem::path home = homeDirectory();
    std::filesystem::path documents = documentsFromUserDirs(home);
    if (!documents.empty()) return documents;
    return home / "Documents";
}

}  // namespace zimlo
