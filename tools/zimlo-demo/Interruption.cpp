#include "Interruption.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <string>

namespace zimlo::demo {

namespace {

std::atomic<bool> interrupted{false};
std::string step = "set up the virtual desktop";
// Written on the main thread, read by the crash handler, which may only call write().
char crashMessage[512] = "\nzimlo demo: crashed while setting up\n";
std::atomic<size_t> crashMessageLength{std::strlen(crashMessage)};

void requestStop(int) { interrupted = true; }

void crashed(int signal) {
    [[maybe_unused]] auto written = ::write(STDERR_FILENO, crashMessage, crashMessageLength.load());
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

}  // namespace

void installSignalHandlers() {
    struct sigaction stop {};
    stop.sa_handler = requestStop;
    stop.sa_flags = SA_RESETHAND;  // the second one ends the process
    sigemptyset(&stop.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &stop, nullptr);
    struct sigaction crash {};
    crash.sa_handler = crashed;
    crash.sa_flags = SA_RESETHAND;
    sigemptyset(&crash.sa_mask);
    for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT})
        sigaction(signal, &crash, nullptr);
}

bool interruptRequested() { return interrupted.load(); }

std::string currentStep() { return step; }

void setCurrentStep(const std::string& now) {
    step = now;
    const std::string message =
        "\nzimlo demo: FAILED, the process crashed at step \"" + now + "\"\n";
    const size_t length = std::min(message.size(), sizeof crashMessage - 1);
    crashMessageLength = 0;
    std::memcpy(crashMessage, message.data(), length);
    crashMessageLength = length;
}

}  // namespace zimlo::demo
