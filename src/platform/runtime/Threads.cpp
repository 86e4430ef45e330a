#include "platform/runtime/Threads.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <unordered_map>

#include "platform/log/Log.h"

namespace zimlo {

namespace {

// Our running threads. The starting side and the thread itself each count once (+1 when
// started, -1 when its body is done), in either order, so that an entry is there exactly while
// the thread runs.
struct Running {
    int balance = 0;
    bool letGo = false;
};

class RunningThreads {
  public:
    void change(std::thread::id id, int step) {
        std::lock_guard lock(mutex_);
        auto& running = threads_[id];
        running.balance += step;
        if (running.balance != 0) return;
        if (running.letGo) --letGo_;
        threads_.erase(id);
        ended_.notify_all();
    }

    // Marks `id` as let go while it still runs.
    void markLetGo(std::thread::id id) {
        std::lock_guard lock(mutex_);
        auto found = threads_.find(id);
        if (found == threads_.end() || found->second.balance <= 0 || found->second.letGo) return;
        found->second.letGo = true;
        ++letGo_;
    }

    bool waitForLetGo(std::chrono::milliseconds timeout, const std::function<void()>& pump) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::unique_lock lock(mutex_);
        for (;;) {
            if (letGo_ == 0) return true;
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline) return false;
            if (!pump) {
                ended_.wait_until(lock, deadline);
                continue;
            }
            ended_.wait_for(lock, std::min<std::chrono::steady_clock::duration>(
                                      deadline - now, std::chrono::milliseconds(10)));
            lock.unlock();
            pump();
            lock.lock();
        }
    }

  private:
    std::mutex mutex_;  // guards: threads_, letGo_
    std::condition_variable ended_;
    std::unordered_map<std::thread::id, Running> threads_;
    int letGo_ = 0;
};

// Never destroyed: threads let go may end while the process's statics go.
RunningThreads& runningThreads() {
    static auto* threads = new RunningThreads;
    return *threads;
}

}  // namespace

void letGo(std::thread thread) {
    if (!thread.joinable()) return;
    runningThreads().markLetGo(thread.get_id());
    thread.detach();
}

bool waitForLetGoThreads(std::chrono::milliseconds timeout, const std::function<void()>& pump) {
    return runningThreads().waitForLetGo(timeout, pump);
}

void finishLetGoThreads(const std::function<void()>& pump) {
    if (!waitForLetGoThreads(std::chrono::seconds(30), pump)) {
        ZIMLO_LOG_WARN("thread") << "threads let go still run after 30 s as the process ends";
    }
}

std::string threadNameFor(std::string_view name) {
    if (name.empty()) return "zimlo";
    if (name.size() <= kThreadNameBytes) return std::string(name);
    std::size_t length = kThreadNameBytes;
    // Back up over continuation bytes (10xxxxxx) to the start of the cut character.
    while (length > 0 && (static_cast<unsigned char>(name[length]) & 0xC0) == 0x80) --length;
    return std::string(name.substr(0, length));
}

bool lowerCurrentThreadPriority(int steps) {
    const auto self = static_cast<id_t>(::gettid());
    errno = 0;
    const int now = ::getpriority(PRIO_PROCESS, self);
    if (now == -1 && errno != 0) return false;
    return ::setpriority(PRIO_PROCESS, self, std::min(19, now + steps)) == 0;
}

void nameCurrentThread(std::string_view name) {
    pthread_setname_np(pthread_self(), threadNameFor(name).c_str());
}

std::string currentThreadName() {
    char name[kThreadNameBytes + 1] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) return {};
    return name;
}

namespace detail {

void nameThread(std::thread& thread, const std::string& name) {
    pthread_setname_np(thread.native_handle(), name.c_str());
}

void countStarted(std::thread::id id) { runningThreads().change(id, +1); }

ThreadLifetime::ThreadLifetime(std::string_view name) {
    nameCurrentThread(name);
    ZIMLO_LOG_DEBUG("thread") << "started";
}

ThreadLifetime::~ThreadLifetime() {
    ZIMLO_LOG_DEBUG("thread") << "ended";
    runningThreads().change(std::this_thread::get_id(), -1);
}

}  // namespace detail
}  // namespace zimlo
