#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

namespace zimlo {

// Linux keeps 15 bytes of a thread's name (what `top -H`, gdb and our log lines show).
inline constexpr std::size_t kThreadNameBytes = 15;

// `name` cut to kThreadNameBytes without splitting a UTF-8 character; "zimlo" when empty.
std::string threadNameFor(std::string_view name);
// Names the calling thread (cut as threadNameFor does).
void nameCurrentThread(std::string_view name);
// The calling thread's name.
std::string currentThreadName();
// Makes the calling thread, and the threads it starts from now on, give way to the others of the
// machine: `steps` more of nice (Linux schedules threads one by one). False when refused.
bool lowerCurrentThreadPriority(int steps);

namespace detail {
void nameThread(std::thread& thread, const std::string& name);
// Counts the thread `id` as running; made on the side that starts it, so that it counts before
// anyone can let it go.
void countStarted(std::thread::id id);

// Names the thread when made and says at debug level that it started; says that it ended when
// it goes, and counts it as ended then.
class ThreadLifetime {
  public:
    explicit ThreadLifetime(std::string_view name);
    ~ThreadLifetime();
    ThreadLifetime(const ThreadLifetime&) = delete;
    ThreadLifetime& operator=(const ThreadLifetime&) = delete;
};
}  // namespace detail

// Every thread of ours starts here: a std::thread named `name` running `body`, whose start and
// end are logged at debug level, so each of its log lines says which thread wrote it.
//
//   worker_ = startThread("v4l2-camera", [this] { captureLoop(); });
template <typename Body>
std::thread startThread(std::string_view name, Body&& body) {
    std::string cut = threadNameFor(name);
    std::thread thread([name = cut, body = std::forward<Body>(body)]() mutable {
        detail::ThreadLifetime lifetime(name);
        // What the body holds goes before the thread counts as ended.
        auto run = std::move(body);
        run();
    });
    detail::countStarted(thread.get_id());
    // Named from here too, so that it never shows its maker's name for long, even when it is
    // slow to get a processor.
    detail::nameThread(thread, cut);
    return thread;
}

// A thread of ours that runs on by itself once its owner has let go of it (one that finishes a
// movie, the last task of a queue released on its own thread) is counted until it ends. A
// process waits for those before it takes down the libraries they may still be using (Qt's
// text drawing, the X connection, the codecs), which would otherwise crash it as it exits.
//
// Detaches `thread` (made by startThread) and counts it until it ends. Called by the thread
// itself (it cannot join itself) or by whoever started it.
void letGo(std::thread thread);
// Waits until every thread let go has ended, calling `pump` meanwhile (a main loop whose tasks
// such a thread may wait for); false when `timeout` passed first.
bool waitForLetGoThreads(std::chrono::milliseconds timeout, const std::function<void()>& pump = {});
// At a process's end, before its libraries go: waits up to half a minute for the threads let
// go, and logs a warning when some still run after that.
void finishLetGoThreads(const std::function<void()>& pump = {});

}  // namespace zimlo
