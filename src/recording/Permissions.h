#pragma once

#include <functional>

#include "capture/CapturePermissions.h"

namespace zimlo::recording {

// The four permissions the recorder may need, in this order.
enum class PermissionKind { screenRecording, camera, microphone, speech };

enum class CameraAuthorizationResult { authorized, denied, restricted };

// Camera and microphone use all four values; speech counts only `authorized` as permitted.
using AuthorizationStatus = capture::AuthorizationStatus;

// Asks for the camera, microphone and speech permissions. Linux shows no prompt for these: the
// answer comes from the state of the device (whether this user may open it). Every answer is
// delivered on the main queue, never synchronously inside the request.
namespace Permissions {

// Reads the current status of one permission. May block briefly (it probes devices), so
// requests call it off the main thread. Replaceable by tests and by the capture layer.
using StatusProvider = std::function<AuthorizationStatus(PermissionKind)>;
void setStatusProvider(StatusProvider provider);  // empty restores the default probe
AuthorizationStatus authorizationStatus(PermissionKind kind);

// Default probe, from the capture layer's device states: camera and microphone are denied when
// the device exists but cannot be used, not determined when there is none; screen recording (X11)
// and speech (a local recogniser) need no grant. May contact the sound server.
AuthorizationStatus probeDeviceStatus(PermissionKind kind);

void requestCameraAccess(std::function<void(CameraAuthorizationResult)> completion);
void requestMicrophoneAccess(std::function<void(bool granted)> completion);
void requestSpeechAuthorization(std::function<void(bool authorized)> completion);

// Conversions the requests apply to a status value. Camera and microphone requests are granted
// for "authorised" and for "not determined" (no device: nothing to refuse, starting it reports
// the absence); speech only for "authorised". A camera request that is not granted answers
// `restricted` for a restricted status, else `denied`.
bool isGranted(AuthorizationStatus status);
CameraAuthorizationResult cameraResultForStatus(AuthorizationStatus status);
bool isSpeechAuthorized(AuthorizationStatus status);

}  // namespace Permissions

}  // namespace zimlo::recording
