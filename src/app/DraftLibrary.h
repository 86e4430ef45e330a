#pragma once

#include <QImage>
#include <QString>
#include <chrono>
#include <filesystem>
#include <memory>
#include <vector>

#include "model/DraftStore.h"
#include "model/RecordingProject.h"
#include "model/Uuid.h"

namespace zimlo::app {

// The stored drafts as the home gallery sees them.
class DraftLibrary {
  public:
    virtual ~DraftLibrary() = default;
    // Newest first; never fails (an unreadable store lists nothing). Reads the disk, so the
    // gallery calls it on a background thread, one listing at a time.
    virtual std::vector<ListedDraft> listDrafts() = 0;
    // Removes the folder the draft was listed from, or says what stopped it. Main thread.
    virtual Result<void, DraftDeletionError> deleteDraft(const ListedDraft& draft) = 0;
    // Gives the draft a title, or takes it away (none or blank); its folder keeps its name.
    // Main thread.
    virtual Result<RecordingProject, DraftSaveError> renameDraft(
        const ListedDraft& draft, const std::optional<std::string>& title) = 0;
};

// A draft store; by default the shared one in the user's documents folder.
std::shared_ptr<DraftLibrary> makeDraftStoreLibrary(
    std::shared_ptr<DraftStore> store = DraftStore::shared());

// The user-facing text of a failure of deleteDraft.
QString errorDescription(const DraftDeletionError& error);

// First picture of a movie for a card. Called on a background thread; a null image when the
// movie cannot be read.
class DraftThumbnailGenerator {
  public:
    virtual ~DraftThumbnailGenerator() = default;
    virtual QImage thumbnail(const std::filesystem::path& movie) = 0;
};

// Decodes the frame at 0.1 s with the track's quarter turns and mirroring, at most 420 × 420
// pixels, reading only regular files and giving up after kThumbnailTimeLimit.
inline constexpr std::chrono::seconds kThumbnailTimeLimit{10};
std::shared_ptr<DraftThumbnailGenerator> makeMovieThumbnailGenerator();

}  // namespace zimlo::app
