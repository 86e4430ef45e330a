#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>

namespace zimlo::media {

// A movie that another part of the program is still writing (a recording's fragmented movie).
// Readers opened on it (MovieAsset::openGrowing) take its bytes as they reach the file and, at
// its current end, wait for more instead of taking that end for the end of the movie, until the
// writer says it is complete. So a reader never sees a false end or stops in a half-written
// fragment, and holds no more than a read buffer however far behind the writer it is.
//
// Thread-safe. The writer's side calls complete() once the file is closed, or abandon() when
// nobody should wait for it any more.
class GrowingFile {
  public:
    enum class State { growing, complete, abandoned };

    static std::shared_ptr<GrowingFile> make(std::filesystem::path url);

    const std::filesystem::path& url() const { return url_; }
    State state() const;

    // Everything is in the file: readers go on to its end and stop there.
    void complete();
    // Readers waiting for more, and every read from now on, fail at once.
    void abandon();

    // Readers: waits until the state changes or `timeout` passes (the file may have grown in
    // the meantime, which is not announced); returns the state then.
    State waitForChange(std::chrono::milliseconds timeout) const;
    // How long a reader sleeps before it looks at the file again.
    static constexpr std::chrono::milliseconds kPollInterval{40};

    explicit GrowingFile(std::filesystem::path url) : url_(std::move(url)) {}

  private:
    const std::filesystem::path url_;
    mutable std::mutex mutex_;  // guards: state_
    mutable std::condition_variable changed_;
    State state_ = State::growing;
};

}  // namespace zimlo::media
