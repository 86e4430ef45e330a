#pragma once

#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "model/RecordingProject.h"
#include "model/Uuid.h"
#include "platform/runtime/Result.h"

namespace zimlo {

// A draft as the listing found it: the decoded project and the directory it was read from. The
// directory is what identifies the draft on disk: a copied folder carries another draft's id, and
// a folder may be named differently from its document's id.
struct ListedDraft {
    RecordingProject project;
    std::filesystem::path directory;
    friend bool operator==(const ListedDraft&, const ListedDraft&) = default;
};

// Why a draft was not deleted: the path that stopped it and the system's error for it.
struct DraftDeletionError {
    std::filesystem::path path;
    std::error_code code;
    friend bool operator==(const DraftDeletionError&, const DraftDeletionError&) = default;
};

// Why a draft was not saved: the file and the system's error for it (no_space_on_device for a
// full disk), or, for a project that cannot be encoded, no file and no code; `message` says it
// for the log.
struct DraftSaveError {
    std::filesystem::path path;
    std::error_code code;
    std::string message;
    friend bool operator==(const DraftSaveError&, const DraftSaveError&) = default;
};

// Finished recordings on disk: ROOT/ID/ holds "project.json" and copies of the movies named
// "main".EXT and "pip".EXT. ROOT is "Drafts" in the user's documents directory for the shared
// store; tests and tools pass their own. Nothing is cached: every call works on the file system.
// Calls are synchronous and meant for the main thread.
class DraftStore {
  public:
    // The per-process store rooted at documents/"Drafts", created on first use.
    static std::shared_ptr<DraftStore> shared();
    // documents/"Drafts" for the current user.
    static std::filesystem::path defaultRoot();

    // Creates `root` (and missing parents) if needed; a failure to create it is ignored.
    explicit DraftStore(std::filesystem::path root);

    const std::filesystem::path& root() const { return root_; }
    // ROOT/ID with ID in canonical upper-case form. Touches nothing.
    std::filesystem::path draftDirectory(const Uuid& id) const;

    // Copies the movies into the draft directory and writes "project.json" (atomically, through a
    // temporary file in the same directory). Returns the stored copy (isDraft true, movie paths
    // pointing at the copies; a movie URL that names no local file is kept as it is) once
    // everything is on the disk, so the sources may be deleted then. On failure the source movies
    // are never moved or deleted, and a draft directory this save created is removed again.
    // Movies in `surrendered` are the caller's to give up (it deletes them once saved): on the
    // same file system the draft takes them as they are, as a second name of the same file,
    // instead of copying them.
    Result<RecordingProject, DraftSaveError> saveDraft(
        const RecordingProject& project,
        const std::vector<std::filesystem::path>& surrendered = {}) const;
    // Names the draft a listing gave (the gallery shows the title instead of its date), or takes
    // the name away (none, or a text of white space only). Only its document changes, rewritten
    // whole in one step from what the folder holds; the folder keeps its name. Returns the
    // project as the document now stores it; on failure the document is as it was.
    Result<RecordingProject, DraftSaveError> renameDraft(
        const ListedDraft& draft, const std::optional<std::string>& title) const;
    // Whether draftDirectory(id) holds a draft that lists.
    bool hasDraft(const Uuid& id) const;
    // What saves killed half-way left: the hidden partial copies a save makes (".main.mov.tmp-
    // PID-N", of a process that is gone or an hour old) and draft folders that are empty
    // without them. Nothing but names of that form, and empty folders named by a draft id, is
    // touched. Call it before this process saves anything. Returns how many entries went.
    size_t sweepInterruptedSaves() const;
    // Every readable draft, newest first, one per non-empty sourceAssetIdentifier, with movie
    // paths located anew in each draft directory (a document's URL that names no local file is
    // kept when the directory holds no such movie). Never throws; unreadable drafts are left out.
    std::vector<ListedDraft> listDrafts() const;
    std::vector<RecordingProject> loadDrafts() const;  // the projects of listDrafts()
    // Removes the directory a listing gave for the draft, never one looked up by the document's
    // id. Everything inside is checked first (readable, removable, on this file system), so a
    // draft that cannot be removed whole is left untouched. A draft that no longer exists is not
    // an error.
    Result<void, DraftDeletionError> deleteDraft(const ListedDraft& draft) const;
    // The same for the directory draftDirectory(id).
    Result<void, DraftDeletionError> deleteDraft(const Uuid& id) const;

    // The movie named `base` in `dir`: base.mp4, base.mov, base.m4v in that order, else the first
    // entry whose name without extension is `base`. Only regular files count, and links only
    // when they lead to one inside `dir` (a draft from elsewhere must not make the gallery read
    // a FIFO, a device or another user's file).
    static std::optional<std::filesystem::path> findMedia(const std::filesystem::path& dir,
                                                          const std::string& base);

  private:
    Result<void, DraftDeletionError> removeDraftDirectory(const std::filesystem::path& dir) const;

    std::filesystem::path root_;
};

}  // namespace zimlo
