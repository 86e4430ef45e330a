#pragma once

#include <sys/types.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/CommandOutput.h"

namespace zimlo::test {

// The headless Wayland desktop the CTest fixture started (session.sh up), read from
// $ZIMLO_WAYLAND_STATE/env.
class WaylandSession {
  public:
    // Reads the fixture's description; throws std::runtime_error when there is none.
    static WaylandSession& shared();

    std::string value(const std::string& name) const;
    // Points this process at the session (bus, Wayland display, sound server, runtime folder)
    // and gives it folders of its own for settings, data and temporary files under `privateRoot`.
    void enter(const std::filesystem::path& privateRoot) const;

    // The output chooser answers with `output`; an empty answer cancels it.
    void answerChooser(const std::string& output) const;
    // How often the chooser was shown so far.
    int chooserCalls() const;
    // Tray icons registered with the panel stand-in ("SERVICE PATH" lines).
    std::vector<std::string> trayItems() const;
    // swaymsg with the given arguments; its output.
    std::string sway(const std::string& arguments) const;
    void setOutputSize(int width, int height) const;
    int width() const;
    int height() const;
    int framesPerSecond() const;

  private:
    std::map<std::string, std::string> values_;
};

// Something moving on the output (weston-presentation-shm, a small animated window), for as
// long as the object lives: a still output sends no frames.
class MovingClient {
  public:
    MovingClient();
    ~MovingClient();
    // Ends it now (its window leaves the output).
    void stop();
    MovingClient(const MovingClient&) = delete;
    MovingClient& operator=(const MovingClient&) = delete;

  private:
    pid_t pid_ = -1;
};

// Sound for as long as the object lives: a sine into the default sink (what the computer
// plays) and another into the microphone's pipe, each at a device's pace on a thread of its own.
class SoundSources {
  public:
    SoundSources(double systemFrequency, double microphoneFrequency);
    ~SoundSources();
    SoundSources(const SoundSources&) = delete;
    SoundSources& operator=(const SoundSources&) = delete;

  private:
    std::atomic<bool> stop_{false};
    std::thread system_;
    std::thread microphone_;
};

}  // namespace zimlo::test
