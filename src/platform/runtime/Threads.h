#pragma once

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

// Names the thread when made and says at debug level that it started; says that it ended when
// it goes.
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
        body();
    });
    // Named from here too, so that it never shows its maker's name for long, even when it is
    // slow to get a processor.
    detail::nameThread(thread, cut);
    return thread;
}

}  // namespace zimlo
