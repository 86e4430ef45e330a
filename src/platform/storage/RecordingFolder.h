#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/runtime/Result.h"
#include "platform/storage/FileError.h"

namespace zimlo {

// Where recordings are written while they are made and finished: $XDG_STATE_HOME/zimlo/recordings
// (~/.local/state/zimlo/recordings). Unlike the temporary folder it survives a reboot (/tmp is
// often a tmpfs), and unlike the documents folder it is not where users or file synchronisers
// look, so a half-written movie never shows up among their files. Every recording, its sound mix
// and its composed movie live in a folder of their own below it (RecordingFolder).
std::filesystem::path recordingsDirectory();

// One recording's folder below a recordings directory: its movies, the mix and the composed
// movie made from them, and a journal of what the recording window gathered while recording.
// While this object lives its process holds the folder's lock, an flock on a file inside: the
// kernel drops it when the process ends in whatever way, and a process id used again by another
// program cannot keep it. A folder whose lock nobody holds is what a killed or crashed recording
// left behind; adoptAbandoned finds those. Not thread-safe: one owner thread.
class RecordingFolder {
  public:
    // Makes a new folder in `root` (created when missing, readable by the user only) and takes
    // its lock. It is made under a hidden name and renamed once locked, so a folder that can be
    // seen always has its lock.
    static Result<std::shared_ptr<RecordingFolder>, FileError> create(
        const std::filesystem::path& root);
    // Folders of `root` that no process holds, each locked by the returned object; oldest name
    // first. A folder that was handed over (it has no lock file) is left alone, or removed when
    // nothing is left in it; a hidden half-made one whose maker died is removed.
    static std::vector<std::shared_ptr<RecordingFolder>> adoptAbandoned(
        const std::filesystem::path& root);

    ~RecordingFolder();  // lets go of the lock; the folder stays
    RecordingFolder(const RecordingFolder&) = delete;
    RecordingFolder& operator=(const RecordingFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // Adds one record (a line without line breaks) to the journal. It reaches the file at once,
    // so it outlives a crash of this process.
    Result<void, FileError> appendToJournal(std::string_view record);
    // The journal's whole records, in order; a record a crash cut short is left out.
    std::vector<std::string> journal() const;

    // Says which draft is being saved from this folder, before the save begins: a crash between
    // the save and remove() then leaves a folder recovery knows to be saved already.
    Result<void, FileError> noteDraft(std::string_view id);
    std::optional<std::string> notedDraft() const;

    // The recording's files stay for whoever was given their paths, and nobody watches over the
    // folder any more: its lock, journal and note are removed.
    void handOver();
    // Removes the folder: the files Zimlo names ("zimlo_*" movies, the journal, the note, the
    // lock last), then the folder itself. Anything else found inside is left, with the folder.
    Result<void, FileError> remove();

    // Names inside the folder.
    static constexpr const char* kLockName = "recording.lock";
    static constexpr const char* kJournalName = "journal.jsonl";
    static constexpr const char* kDraftNoteName = "draft-id";

  private:
    RecordingFolder(std::filesystem::path path, int lock) : path_(std::move(path)), lock_(lock) {}
    void closeLock();

    std::filesystem::path path_;
    int lock_ = -1;
};

}  // namespace zimlo
