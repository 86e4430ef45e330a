#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "compose/VideoCompositor.h"
#include "platform/i18n/Translation.h"

namespace zimlo::compose {

// Runs one export: decodes the source movies, has a PiPVideoCompositor draw every frame and
// writes the movie, the three stages running at the same time with a few frames between them.
// Keeps itself alive until it has reported.
class ExportSession : public std::enable_shared_from_this<ExportSession> {
  public:
    // Reports success or the failure's description, once, on a thread of its own.
    using Outcome = VideoCompositor::SessionOutcome;
    using Finished = VideoCompositor::SessionFinished;
    // Fraction done, from the render queue.
    using Progress = std::function<void(double)>;

    // How far each frame goes; anything short of `all` writes no movie and serves to measure
    // what decoding, and decoding with drawing, cost on their own.
    enum class Stages { decode, compose, all };

    // Null when the output file cannot be set up.
    static std::shared_ptr<ExportSession> create(const VideoCompositor::Built& built,
                                                 const std::filesystem::path& outputPath,
                                                 const ExportEncoderSettings& encoder,
                                                 int framesPerSecond, Stages stages = Stages::all);
    ~ExportSession();

    void start(Finished finished, Progress progress);
    // Stops the export as soon as it can (from any thread): it then reports failure with
    // `kCancelledText` and its partial file is gone.
    void cancel();
    static constexpr const char* kCancelledText = QT_TRANSLATE_NOOP("ExportSession", "已取消合成");

    struct State;

  private:
    ExportSession() = default;
    std::shared_ptr<State> state_;
};

// How many output frames a composition of `seconds` has at `framesPerSecond`: one per frame
// time before its end.
int64_t outputFrameCount(double seconds, int framesPerSecond);

}  // namespace zimlo::compose
