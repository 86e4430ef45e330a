#pragma once

#include <filesystem>

namespace zimlo::app {

// Shows `file` selected in the desktop's file manager (freedesktop FileManager1.ShowItems);
// where no file manager answers that call, opens the folder holding it.
void revealInFileManager(const std::filesystem::path& file);

}  // namespace zimlo::app
