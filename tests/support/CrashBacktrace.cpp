#include "support/CrashBacktrace.h"

#include <execinfo.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <initializer_list>

namespace zimlo::test {
namespace {

void write(const char* text) {
    [[maybe_unused]] auto written = ::write(STDERR_FILENO, text, std::strlen(text));
}

const char* signalName(int signal) {
    switch (signal) {
        case SIGSEGV:
            return "SIGSEGV";
        case SIGBUS:
            return "SIGBUS";
        case SIGFPE:
            return "SIGFPE";
        case SIGILL:
            return "SIGILL";
        case SIGABRT:
            return "SIGABRT";
        default:
            return "?";
    }
}

// Only what may run in a signal handler: write, prctl and backtrace (loaded beforehand).
void crashed(int signal) {
    char thread[17] = {};
    ::prctl(PR_GET_NAME, thread, 0, 0, 0);
    write("\n*** crashed (signal ");
    write(signalName(signal));
    write(") on thread \"");
    write(thread);
    write("\"; its call stack:\n");
    void* frames[64];
    const int count = ::backtrace(frames, 64);
    ::backtrace_symbols_fd(frames, count, STDERR_FILENO);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

}  // namespace

void printBacktraceOnCrash() {
    // The first call loads the unwinder, which a signal handler must not have to do.
    void* frame[1];
    ::backtrace(frame, 1);
    struct sigaction crash {};
    crash.sa_handler = crashed;
    crash.sa_flags = SA_RESETHAND;
    sigemptyset(&crash.sa_mask);
    for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT})
        ::sigaction(signal, &crash, nullptr);
}

}  // namespace zimlo::test
