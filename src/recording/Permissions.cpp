#include "recording/Permissions.h"

#include <memory>
#include <mutex>

#include "capture/CapturePermissions.h"
#include "platform/runtime/MainQueue.h"
#include "platform/runtime/SerialQueue.h"

namespace zimlo::recording::Permissions {
namespace {

std::mutex providerMutex;  // guards: providerSlot()
StatusProvider& providerSlot() {
    static StatusProvider provider;
    return provider;
}

// Requests probe devices off the main thread, one at a time.
SerialQueue& requestQueue() {
    static SerialQueue queue(".mac.permissions");
    return queue;
}

template <typename Answer, typename Completion>
void answerOnMain(PermissionKind kind, Answer convert, Completion completion) {
    requestQueue().async([kind, convert, completion = std::move(completion)]() mutable {
        auto answer = convert(authorizationStatus(kind));
        MainQueue::post([completion = std::move(completion), answer]() {
            if (completion) completion(answer);
        });
    });
}

}  // namespace

void setStatusProvider(StatusProvider provider) {
    std::lock_guard lock(providerMutex);
    providerSlot() = std::move(provider);
}

AuthorizationStatus authorizationStatus(PermissionKind kind) {
    StatusProvider provider;
    {
        std::lock_guard lock(providerMutex);
        provider = providerSlot();
    }
    return provider ? provider(kind) : probeDeviceStatus(kind);
}

AuthorizationStatus probeDeviceStatus(PermissionKind kind) {
    switch (kind) {
        case PermissionKind::camera:
            return capture::authorizationStatus(capture::cameraAccess());
        case PermissionKind::microphone:
            return capture::authorizationStatus(capture::microphoneAccess());
        case PermissionKind::screenRecording:
            return capture::authorizationStatus(capture::screenRecordingAccess());
        case PermissionKind::speech:
            return AuthorizationStatus::authorized;  // a local recogniser
    }
    return AuthorizationStatus::notDetermined;
}

bool isGranted(AuthorizationStatus status) {
    // Nothing asks the user here: "not determined" means there is no device to refuse, and the
    // device's own absence is what starting it reports.
    return status == AuthorizationStatus::authorized ||
           status == AuthorizationStatus::notDetermined;
}

CameraAuthorizationResult cameraResultForStatus(AuthorizationStatus status) {
    if (isGranted(status)) return CameraAuthorizationResult::authorized;
    // A restricted camera gets its own explanation: the user cannot change it in the settings.
    return status == AuthorizationStatus::restricted ? CameraAuthorizationResult::restricted
                                                     : CameraAuthorizationResult::denied;
}

bool isSpeechAuthorized(AuthorizationStatus status) {
    return status == AuthorizationStatus::authorized;
}

void requestCameraAccess(std::function<void(CameraAuthorizationResult)> completion) {
    answerOnMain(PermissionKind::camera, cameraResultForStatus, std::move(completion));
}

void requestMicrophoneAccess(std::function<void(bool)> completion) {
    answerOnMain(PermissionKind::microphone, isGranted, std::move(completion));
}

void requestSpeechAuthorization(std::function<void(bool)> completion) {
    answerOnMain(PermissionKind::speech, isSpeechAuthorized, std::move(completion));
}

}  // namespace zimlo::recording::Permissions
