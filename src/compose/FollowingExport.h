#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "compose/ExportJob.h"
#include "model/RecordingProject.h"
#include "platform/media/GrowingFile.h"

namespace zimlo::compose {

// What is known of a recording's composition at one moment while it runs.
struct FollowedState {
    // The movies being written and the tracks gathered so far, as the finished project will
    // hold them (camera window keyframes, subtitles sorted by start, layout, aspect).
    RecordingProject project;
    // Movie seconds before which nothing in `project` can change any more: camera window places
    // are known as they are made, subtitles once the speech they come from has its final text.
    double settledUntil = 0;
};

// The finished movie of a recording, composed and encoded while the recording runs, a little
// behind it: the export's own compositor, subtitle images, encoder and sound mixing, reading the
// recording's movies as they are written (GrowingFile) and drawing each frame only once nothing
// it shows can change. When the recording ends, finish() composes what is left and writes the
// movie, which is then the one the export would have made of the finished recording.
//
// Its threads run only on time nobody else wants (runWhenIdle), so the recording never waits for
// it; on a machine too slow to keep up it simply has more left at the end. A change that reaches
// back into what was already composed (the caption moved, the camera window switched off) starts
// the composition again from the beginning. Memory stays flat however far behind it is.
//
// update, cancel and finish are called from the main thread; the completion comes on the main
// queue.
class FollowingExport : public std::enable_shared_from_this<FollowingExport> {
    struct Private {};

  public:
    struct Settings {
        double exportLongEdge = 1280;
        int exportFrameRate = 24;
        std::filesystem::path exportDirectory;  // empty: the system's temporary folder
        // Whether its threads run only on time nobody else wants until the finish. Off only
        // where nothing is recorded beside it and the figures must not depend on the machine's
        // other load (tests).
        bool runsWhenIdle = true;
    };
    // The recording's movies while they are written: the screen movie with its sounds and, when
    // recorded, the camera movie. Their writer completes them (or abandons them).
    struct Sources {
        std::shared_ptr<media::GrowingFile> main;
        std::shared_ptr<media::GrowingFile> camera;
    };

    static std::shared_ptr<FollowingExport> start(Sources sources, Settings settings,
                                                  FollowedState state);
    FollowingExport(Private, Sources sources, Settings settings, FollowedState state);
    ~FollowingExport();
    FollowingExport(const FollowingExport&) = delete;
    FollowingExport& operator=(const FollowingExport&) = delete;

    // What is known now; replaces the earlier state.
    void update(FollowedState state);
    // Stops for good and removes what was written. A finish under way ends `cancelled`.
    void cancel();

    enum class Ending {
        composed,   // `movie` is the finished movie
        unusable,   // what was composed does not show what the finished project does, or
                    // so little was composed that an export after the stop is quicker
        failed,     // reading, composing or writing failed (`reason`)
        cancelled,  // cancel(), or the finish's job was cancelled
    };
    struct Statistics {
        int64_t framesComposed = 0;       // handed to the compositor so far
        int64_t framesBeforeFinish = -1;  // when finish() was called (-1: not yet)
        int64_t frameCount = -1;          // of the finished movie, once known
        int restarts = 0;                 // compositions begun again from the start
        bool failed = false;
    };
    struct Outcome {
        Ending ending = Ending::failed;
        std::filesystem::path movie;
        std::string reason;
        Statistics statistics;  // as it ended
    };
    // The recording has ended and its movies are complete; `project` is what the draft is made
    // of (the export's whole span). When everything composed so far shows what `project` shows,
    // the rest is composed and the movie written; otherwise nothing more is done. `progress`
    // hears the fraction of the whole movie done (0 to 1, main queue) at least every whole
    // percent; cancelling `job` stops it. `done` is called once, on the main queue.
    void finish(const RecordingProject& project, std::function<void(Outcome)> done,
                std::function<void(double)> progress = {},
                const std::shared_ptr<ExportJob>& job = nullptr);

    Statistics statistics() const;
    // Movie seconds composed so far.
    double composedSeconds() const;

    struct Shared;

  private:
    std::shared_ptr<Shared> shared_;
};

}  // namespace zimlo::compose
