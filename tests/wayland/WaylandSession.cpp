#include "wayland/WaylandSession.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "sandbox/PulseServer.h"

extern char** environ;

namespace zimlo::test {

namespace fs = std::filesystem;

WaylandSession& WaylandSession::shared() {
    static WaylandSession* session = [] {
        const char* state = std::getenv("ZIMLO_WAYLAND_STATE");
        if (!state || !*state)
            throw std::runtime_error("ZIMLO_WAYLAND_STATE is not set (run through CTest)");
        std::ifstream in(fs::path(state) / "env");
        if (!in)
            throw std::runtime_error(std::string("no Wayland session described in ") + state +
                                     "/env (the wayland_session_up fixture did not run)");
        auto* s = new WaylandSession;
        for (std::string line; std::getline(in, line);) {
            auto equals = line.find('=');
            if (equals != std::string::npos)
                s->values_[line.substr(0, equals)] = line.substr(equals + 1);
        }
        return s;
    }();
    return *session;
}

std::string WaylandSession::value(const std::string& name) const {
    auto found = values_.find(name);
    if (found == values_.end()) throw std::runtime_error("the session does not describe " + name);
    return found->second;
}

void WaylandSession::enter(const fs::path& privateRoot) const {
    for (const char* name :
         {"XDG_RUNTIME_DIR", "XDG_CURRENT_DESKTOP", "XDG_SESSION_TYPE", "DBUS_SESSION_BUS_ADDRESS",
          "WAYLAND_DISPLAY", "SWAYSOCK", "PULSE_SERVER"})
        ::setenv(name, value(name).c_str(), 1);
    ::unsetenv("DISPLAY");
    ::unsetenv("ZIMLO_CAPTURE");
    for (const char* sub : {"home", "config", "data", "cache", "state", "tmp"})
        fs::create_directories(privateRoot / sub);
    ::setenv("HOME", (privateRoot / "home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (privateRoot / "config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (privateRoot / "data").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (privateRoot / "cache").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (privateRoot / "state").c_str(), 1);
    ::setenv("TMPDIR", (privateRoot / "tmp").c_str(), 1);
}

void WaylandSession::answerChooser(const std::string& output) const {
    std::ofstream(value("ZIMLO_WAYLAND_CHOOSER_ANSWER"), std::ios::trunc)
        << (output.empty() ? "" : output + "\n");
}

int WaylandSession::chooserCalls() const {
    std::ifstream in(value("ZIMLO_WAYLAND_CHOOSER_CALLS"));
    int lines = 0;
    for (std::string line; std::getline(in, line);) ++lines;
    return lines;
}

std::vector<std::string> WaylandSession::trayItems() const {
    std::ifstream in(value("ZIMLO_WAYLAND_TRAY_ITEMS"));
    std::vector<std::string> items;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) items.push_back(line);
    return items;
}

std::string WaylandSession::sway(const std::string& arguments) const {
    int status = 0;
    return commandOutput("swaymsg -s '" + value("SWAYSOCK") + "' " + arguments + " 2>&1", status);
}

void WaylandSession::setOutputSize(int width, int height) const {
    sway("-- output " + value("ZIMLO_WAYLAND_OUTPUT") + " mode --custom " + std::to_string(width) +
         "x" + std::to_string(height) + "@" + std::to_string(framesPerSecond()) + "Hz");
}

int WaylandSession::width() const { return std::stoi(value("ZIMLO_WAYLAND_SIZE")); }
int WaylandSession::height() const {
    auto size = value("ZIMLO_WAYLAND_SIZE");
    return std::stoi(size.substr(size.find('x') + 1));
}
int WaylandSession::framesPerSecond() const { return std::stoi(value("ZIMLO_WAYLAND_FPS")); }

MovingClient::MovingClient() {
    char program[] = "weston-presentation-shm";
    char* argv[] = {program, nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    int error = posix_spawnp(&pid_, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        throw std::runtime_error("cannot start weston-presentation-shm (package weston)");
    // Its window is mapped and drawing within a moment.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

MovingClient::~MovingClient() { stop(); }

void MovingClient::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

SoundSources::SoundSources(double systemFrequency, double microphoneFrequency) {
    system_ = std::thread([this, systemFrequency] {
        try {
            sandbox::playToneUntilStopped(systemFrequency, stop_);
        } catch (...) {
            // The recording's check reports the missing sound.
        }
    });
    const std::string pipe = WaylandSession::shared().value("ZIMLO_WAYLAND_MICROPHONE");
    microphone_ = std::thread([this, microphoneFrequency, pipe] {
        int fd = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return;
        const auto second = sandbox::sineTone(1.0, std::round(microphoneFrequency), 0.8);
        const size_t piece = 480;  // 10 ms at 48 kHz
        auto start = std::chrono::steady_clock::now();
        for (size_t i = 0; !stop_.load(); ++i) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * i));
            size_t offset = (i * piece) % second.size();
            // Like a device: never wait for a reader, drop what it does not take.
            pollfd writable{fd, POLLOUT, 0};
            if (::poll(&writable, 1, 0) == 1 && (writable.revents & POLLOUT))
                (void)!::write(fd, second.data() + offset, piece * sizeof(int16_t));
        }
        ::close(fd);
    });
}

SoundSources::~SoundSources() {
    stop_ = true;
    if (system_.joinable()) system_.join();
    if (microphone_.joinable()) microphone_.join();
}

}  // namespace zimlo::test
