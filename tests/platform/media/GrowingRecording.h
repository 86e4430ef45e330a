#pragma once

// A recording's two movies written side by side as the recorder writes them (fragmented
// QuickTime, a frame every few milliseconds), each completed when closed: a screen movie with
// two sounds (or one) and a camera movie, both 320x240 at 30 fps; the screen moving or still.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/media/GrowingFile.h"
#include "platform/media/MovieFactory.h"

namespace zimlo::test {

class GrowingRecording {
  public:
    GrowingRecording(const std::filesystem::path& dir, const std::string& number, int frames,
                     std::chrono::milliseconds perFrame = std::chrono::milliseconds(6),
                     int sounds = 2, bool stillScreen = false)
        : frames_(frames),
          screen_(media::GrowingFile::make(dir / ("zimlo_screen_" + number + ".mov"))),
          camera_(media::GrowingFile::make(dir / ("zimlo_camera_" + number + ".mov"))) {
        auto write = [this, perFrame, sounds, stillScreen](
                         const std::shared_ptr<media::GrowingFile>& file, bool screen) {
            MovieSpec spec;
            spec.frames = frames_;
            if (screen) spec.tones = {Tone{440, 0.3f}, Tone{660, 0.3f}};
            if (screen) spec.tones.resize(static_cast<size_t>(sounds));
            spec.options.fragmented = true;
            spec.options.fragmentSeconds = 0.25;
            spec.picture = [this, screen, perFrame, stillScreen](int frame) {
                if (screen) written_ = frame;
                std::this_thread::sleep_for(perFrame);
                if (screen && stillScreen) return movingPicture(320, 240, 0);
                return movingPicture(320, 240, screen ? frame : 3 * frame + 7);
            };
            writeMovie(file->url(), spec);
            file->complete();
        };
        threads_.emplace_back([this, write] { write(screen_, true); });
        threads_.emplace_back([this, write] { write(camera_, false); });
    }
    ~GrowingRecording() { join(); }
    void join() {
        for (auto& thread : threads_)
            if (thread.joinable()) thread.join();
    }
    // Movie seconds of the screen written so far, and all of it.
    double written() const { return written_.load() / 30.0; }
    double length() const { return frames_ / 30.0; }
    const std::shared_ptr<media::GrowingFile>& screenFile() const { return screen_; }
    const std::shared_ptr<media::GrowingFile>& cameraFile() const { return camera_; }
    const std::filesystem::path& screen() const { return screen_->url(); }
    const std::filesystem::path& camera() const { return camera_->url(); }

  private:
    int frames_;
    std::shared_ptr<media::GrowingFile> screen_, camera_;
    std::atomic<int> written_{0};
    std::vector<std::thread> threads_;
};

}  // namespace zimlo::test
