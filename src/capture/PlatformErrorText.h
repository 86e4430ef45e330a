#pragma once

#include <optional>
#include <string>

#include "platform/audio/PulseCapture.h"
#include "platform/camera/CameraDevice.h"
#include "platform/screen/CaptureBackend.h"
#include "platform/screen/CaptureError.h"

namespace zimlo::capture {

// The user's words for what the screen back ends, the sound server and the cameras report: the
// recording window's status line, the picker and zimlo-tool show them.
std::string userText(const screen::CaptureError& error);
std::string userText(const audio::AudioError& error);
std::optional<std::string> userText(const std::optional<audio::AudioError>& error);
std::string userText(const camera::CameraError& error);
// Why no back end can record the screen (empty when one can).
std::string userText(const screen::BackendChoice& choice);

}  // namespace zimlo::capture
