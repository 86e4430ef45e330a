#pragma once

#include <QImage>
#include <QString>
#include <filesystem>
#include <memory>
#include <vector>

#include "model/RecordingProject.h"
#include "model/Uuid.h"

namespace zimlo::app {

// The stored drafts as the home gallery sees them. Main thread only.
class DraftLibrary {
  public:
    virtual ~DraftLibrary() = default;
    // Newest first; never fails (an unreadable store lists nothing).
    virtual std::vector<RecordingProject> loadDrafts() = 0;
    // Removes one draft; throws (std::exception) with a description on failure.
    virtual void deleteDraft(const Uuid& id) = 0;
};

// The shared draft store in the user's documents folder.
std::shared_ptr<DraftLibrary> makeDraftStoreLibrary();

// The user-facing text of a failure thrown by deleteDraft.
QString errorDescription(const std::exception& error);

// First picture of a movie for a card. Called on a background thread; a null image when the
// movie cannot be read.
class DraftThumbnailGenerator {
  public:
    virtual ~DraftThumbnailGenerator() = default;
    virtual QImage thumbnail(const std::filesystem::path& movie) = 0;
};

// Decodes the frame at 0.1 s with the track's display transform, at most 420 × 420 pixels.
std::shared_ptr<DraftThumbnailGenerator> makeMovieThumbnailGenerator();

}  // namespace zimlo::app
