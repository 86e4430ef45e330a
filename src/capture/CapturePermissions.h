#pragma once

namespace zimlo::capture {

// Whether a capture device may be used here. Linux asks no one: the answer comes from the
// devices themselves.
enum class DeviceAccess {
    none,        // no such device, so nothing to grant
    denied,      // the device exists but this process cannot open it
    authorized,  // the device exists and opens
};

// The one authorisation vocabulary: what the permission layer reports for the camera, the
// microphone, screen recording and speech.
enum class AuthorizationStatus : int {
    notDetermined = 0,
    restricted = 1,
    denied = 2,
    authorized = 3,
};

// none → not determined, denied → denied, authorized → authorised.
AuthorizationStatus authorizationStatus(DeviceAccess access);

// Camera: none without a camera, denied when it cannot be opened, else authorised.
DeviceAccess cameraAccess();
// Microphone: authorised when the sound server has a default input that is not a monitor of
// an output; none otherwise.
DeviceAccess microphoneAccess();
// Screen recording needs no grant on X11.
DeviceAccess screenRecordingAccess();

}  // namespace zimlo::capture
