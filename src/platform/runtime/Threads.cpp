#include "platform/runtime/Threads.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/log/Log.h"

namespace zimlo {

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

ThreadLifetime::ThreadLifetime(std::string_view name) {
    nameCurrentThread(name);
    ZIMLO_LOG_DEBUG("thread") << "started";
}

ThreadLifetime::~ThreadLifetime() { ZIMLO_LOG_DEBUG("thread") << "ended"; }

}  // namespace detail
}  // namespace zimlo
