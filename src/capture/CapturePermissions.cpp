#include "capture/CapturePermissions.h"

#include "platform/audio/PulseCapture.h"
#include "platform/camera/CameraDevice.h"

namespace zimlo::capture {

AuthorizationStatus authorizationStatus(DeviceAccess access) {
    switch (access) {
        case DeviceAccess::none:
            return AuthorizationStatus::notDetermined;
        case DeviceAccess::denied:
            return AuthorizationStatus::denied;
        case DeviceAccess::authorized:
            return AuthorizationStatus::authorized;
    }
    return AuthorizationStatus::notDetermined;
}

DeviceAccess cameraAccess() {
    switch (camera::cameraAccess()) {
        case camera::CameraAccess::noDevice:
            return DeviceAccess::none;
        case camera::CameraAccess::denied:
            return DeviceAccess::denied;
        case camera::CameraAccess::authorized:
            return DeviceAccess::authorized;
    }
    return DeviceAccess::none;
}

DeviceAccess microphoneAccess() {
    return audio::defaultMicrophone() ? DeviceAccess::authorized : DeviceAccess::none;
}

DeviceAccess screenRecordingAccess() { return DeviceAccess::authorized; }

}  // namespace zimlo::capture
