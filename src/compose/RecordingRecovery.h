#pragma once

#include <cstddef>
#include <filesystem>
#include <vector>

#include "model/DraftStore.h"
#include "model/RecordingProject.h"
#include "platform/storage/RecordingFolder.h"

namespace zimlo::compose {

// What one look for interrupted recordings did.
struct RecoveryReport {
    std::vector<RecordingProject> recovered;  // the drafts saved, as stored
    // Folders left for a later start: a movie in them could not be read, or the draft store
    // failed. Each is logged.
    size_t kept = 0;
    // Folders removed without a new draft: they held no picture, or their draft was saved.
    size_t discarded = 0;
};

// Turns what killed or crashed recordings left in `root` into raw drafts of `store`. Every
// folder no living process holds (RecordingFolder::adoptAbandoned) becomes a draft holding its
// screen movie and its camera movie as far as they decode, the duration measured from the
// screen movie, the start of the recording as its date, and the subtitles the folder's journal
// kept (also written beside the movie as subtitle files, as for any raw draft); the folder is
// then removed. A folder whose draft was saved already (a crash while it was being cleaned up)
// is only removed. Synchronous and slow (it copies movies): call it off the main thread.
RecoveryReport recoverRecordings(const DraftStore& store,
                                 const std::filesystem::path& root = recordingsDirectory());

}  // namespace zimlo::compose
