#pragma once

#include <string>

namespace zimlo::capture {

// Where the screen and camera source stands; `failed` carries the error's description.
struct CaptureState {
    enum class Kind { idle, configured, recording, stopped, failed };

    Kind kind = Kind::idle;
    std::string message;  // only for failed

    static CaptureState idle() { return {Kind::idle, {}}; }
    static CaptureState configured() { return {Kind::configured, {}}; }
    static CaptureState recording() { return {Kind::recording, {}}; }
    static CaptureState stopped() { return {Kind::stopped, {}}; }
    static CaptureState failed(std::string message) { return {Kind::failed, std::move(message)}; }

    bool isFailed() const { return kind == Kind::failed; }
    friend bool operator==(const CaptureState&, const CaptureState&) = default;
};

}  // namespace zimlo::capture
