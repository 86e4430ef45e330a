#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

// The world the end-to-end tests run in, set up by their main before anything else: private
// home, data, configuration and temporary folders, a private Xvfb (1920x1080) and PulseAudio
// server, and the Qt application with the main queue on its loop.
namespace zimlo::test {
class PulseServer;
}

namespace zimlo::e2e {

struct Environment {
    std::filesystem::path root;       // everything below is inside it
    std::filesystem::path home;       // $HOME: documents and drafts
    std::filesystem::path temporary;  // $TMPDIR: where recordings are written
    std::string display;              // the Xvfb display, ":N"
    test::PulseServer* pulse = nullptr;
};
const Environment& environment();

// Processes Qt events (and so the main queue) until `done` holds or `timeout` passes.
bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
// Processes events for `duration` (for pacing user actions, never to wait for a result).
void pumpFor(std::chrono::milliseconds duration);

}  // namespace zimlo::e2e
