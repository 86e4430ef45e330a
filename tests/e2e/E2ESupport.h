#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include "app/QtTestSupport.h"

// The world the end-to-end tests run in, set up by their main before anything else: private
// home, data, configuration and temporary folders, a private Xvfb (1920x1080) and PulseAudio
// server, and the Qt application with the main queue on its loop.
namespace zimlo::sandbox {
class PulseServer;
}

namespace zimlo::e2e {

struct Environment {
    std::filesystem::path root;        // everything below is inside it
    std::filesystem::path home;        // $HOME: documents and drafts
    std::filesystem::path temporary;   // $TMPDIR
    std::filesystem::path recordings;  // where recordings are written, a folder each
    std::string display;               // the Xvfb display, ":N"
    int screenWidth = 1920;            // of that display
    int screenHeight = 1080;
    sandbox::PulseServer* pulse = nullptr;
};
const Environment& environment();

using qttest::pumpFor;
using qttest::pumpUntil;

}  // namespace zimlo::e2e
