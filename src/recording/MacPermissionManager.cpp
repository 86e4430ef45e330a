#include "recording/MacPermissionManager.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "platform/runtime/MainQueue.h"
#include "platform/runtime/SerialQueue.h"

namespace zimlo::MacPermissionManager {
namespace {

std::mutex providerMutex;
StatusProvider& providerSlot() {
    static StatusProvider provider;
    return provider;
}

// Requests probe devices off the main thread, one at a time.
SerialQueue& requestQueue() {
    static SerialQueue queue(".mac.permissions");
    return queue;
}

int cameraDeviceStatus() {
    namespace fs = std::filesystem;
    std::error_code ec;
    bool anyDevice = false;
    bool anyRefused = false;
    for (const auto& entry : fs::directory_iterator("/dev", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("video", 0) != 0) continue;
        anyDevice = true;
        const int fd = ::open(entry.path().c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            ::close(fd);
            return AuthorizationStatus::authorized;
        }
        if (errno == EACCES || errno == EPERM) anyRefused = true;
    }
    // Without any camera there is nothing to refuse; starting the camera reports the absence.
    if (!anyDevice || !anyRefused) return AuthorizationStatus::authorized;
    return AuthorizationStatus::denied;
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

int authorizationStatus(PermissionKind kind) {
    StatusProvider provider;
    {
        std::lock_guard lock(providerMutex);
        provider = providerSlot();
    }
    return provider ? provider(kind) : probeDeviceStatus(kind);
}

int probeDeviceStatus(PermissionKind kind) {
    switch (kind) {
        case PermissionKind::camera: return cameraDeviceStatus();
        case PermissionKind::screenRecording:
        case PermissionKind::microphone:
        case PermissionKind::speech: return AuthorizationStatus::authorized;
    }
    return AuthorizationStatus::notDetermined;
}

CameraAuthorizationResult cameraResultForStatus(int status) {
    // `restricted` is for callers that read the status themselves; a request only grants or not.
    return status == AuthorizationStatus::authorized ? CameraAuthorizationResult::authorized
                                                     : CameraAuthorizationResult::denied;
}

bool isSpeechAuthorized(int status) { return status == AuthorizationStatus::authorized; }

void requestCameraAccess(std::function<void(CameraAuthorizationResult)> completion) {
    answerOnMain(PermissionKind::camera, cameraResultForStatus, std::move(completion));
}

void requestMicrophoneAccess(std::function<void(bool)> completion) {
    answerOnMain(
        PermissionKind::microphone,
        [](int status) { return status == AuthorizationStatus::authorized; },
        std::move(completion));
}

void requestSpeechAuthorization(std::function<void(bool)> completion) {
    answerOnMain(PermissionKind::speech, isSpeechAuthorized, std::move(completion));
}

}  // namespace zimlo::MacPermissionManager
