#pragma once

#include <QString>
#include <filesystem>
#include <functional>

namespace zimlo::app {

// Shows `file` selected in the desktop's file manager (freedesktop FileManager1.ShowItems);
// where no file manager answers that call, opens the folder holding it.
void revealInFileManager(const std::filesystem::path& file);

// Opens `file` in the desktop's default application for it (xdg-open); `failed` gets a sentence
// for the user when nothing could open it. Runs in the background: `failed` comes later, on the
// main thread.
void openWithDefaultApplication(const std::filesystem::path& file,
                                const std::function<void(const QString& problem)>& failed);

}  // namespace zimlo::app
