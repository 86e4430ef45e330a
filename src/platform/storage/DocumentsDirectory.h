#pragma once

#include <filesystem>

namespace zimlo {

// The user's documents directory: XDG_DOCUMENTS_DIR from $XDG_CONFIG_HOME/user-dirs.dirs (what
// `xdg-user-dir DOCUMENTS` reports), else $HOME/Documents.
std::filesystem::path documentsDirectory();

// The user's home directory: $HOME, else the password database entry.
std::filesystem::path homeDirectory();

// $XDG_CONFIG_HOME when absolute, else ~/.config.
std::filesystem::path configDirectory();

// $XDG_STATE_HOME when absolute, else ~/.local/state.
std::filesystem::path stateDirectory();

}  // namespace zimlo
