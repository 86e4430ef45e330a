#pragma once

#include <filesystem>
#include <string>

namespace zimlo::sandbox {

// Private folders for a process that must leave the user's own alone: a new temporary folder
// holding home, tmp, data, config, cache, state and runtime folders, set as HOME, TMPDIR and the
// XDG folders of this process, so drafts, settings, caches and recordings stay inside it. The
// English speech model is linked where the Mandarin one is looked for first (no Mandarin model
// ships with the system), so live subtitles recognise English speech. The destructor removes the
// folder; the environment keeps pointing at it, so make this live as long as the process's work.
class PrivateHome {
  public:
    // `prefix` starts the temporary folder's name. A non-empty `home` is used as HOME instead of
    // a folder inside the temporary one, so what lands there (drafts) outlives this object.
    // Throws std::runtime_error when a folder cannot be made or the English model is missing.
    explicit PrivateHome(const std::string& prefix, std::filesystem::path home = {});
    ~PrivateHome();
    PrivateHome(const PrivateHome&) = delete;
    PrivateHome& operator=(const PrivateHome&) = delete;

    const std::filesystem::path& root() const { return root_; }
    const std::filesystem::path& home() const { return home_; }            // $HOME
    const std::filesystem::path& temporary() const { return temporary_; }  // $TMPDIR
    std::filesystem::path dataHome() const { return root_ / "data"; }      // $XDG_DATA_HOME

  private:
    std::filesystem::path root_;
    std::filesystem::path home_;
    std::filesystem::path temporary_;
};

}  // namespace zimlo::sandbox
