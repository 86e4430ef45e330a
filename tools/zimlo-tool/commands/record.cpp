// zimlo-tool record: records a target through the screen and camera source, as the recording
// window does, and prints what the source reports.

#include <chrono>
#include <cmath>
#include <cstring>
#include <iostream>
#include <optional>

#include "CommandRegistry.h"
#include "capture/ScreenCameraSource.h"
#include "capture/ScreenCaptureTargetProvider.h"
#include "model/RecordingSettings.h"
#include "platform/camera/GeneratedCamera.h"
#include "platform/media/MonotonicClock.h"

namespace {

using namespace zimlo;
using capture::ScreenCameraSource;
using capture::ScreenCaptureTargetProvider;
using tool::fail;

constexpr const char* kUsage =
    "usage: zimlo-tool record --target ID --seconds N [--fps 24|30|60] [--resolution WxH] "
    "[--camera | "
    "--generated-camera [--camera-flashes PERIOD@FIRST[,LENGTH]]] [--mic] [--pause AT:FOR]";

// The longest run the command waits for, and the longest pause: a week. Far longer times no
// longer fit the clocks the wait is measured on (1e300 seconds wrapped round to no wait at all).
constexpr double kLongestSeconds = 7 * 24 * 3600;

struct Arguments {
    std::string target;
    double seconds = 0;
    int fps = 30;
    std::optional<std::pair<int, int>> resolution;
    bool camera = false;
    bool generatedCamera = false;
    // The generated camera shows white on this schedule.
    std::optional<camera::GeneratedCamera::Flashes> cameraFlashes;
    bool microphone = false;
    // Paused after `first` seconds of recording for `second` seconds.
    std::optional<std::pair<double, double>> pause;
};

// PERIOD@FIRST[,LENGTH] in seconds, FIRST on the monotonic clock; a flash lasts 0.4 s unless
// told (as long as the benchmark's screen flash).
std::optional<camera::GeneratedCamera::Flashes> parseFlashes(const std::string& text) {
    const auto at = text.find('@');
    if (at == std::string::npos) return std::nullopt;
    const auto comma = text.find(',', at);
    const std::string periodText = text.substr(0, at);
    const std::string firstText =
        text.substr(at + 1, comma == std::string::npos ? std::string::npos : comma - at - 1);
    const std::string lengthText = comma == std::string::npos ? "0.4" : text.substr(comma + 1);
    size_t usedPeriod = 0, usedFirst = 0, usedLength = 0;
    const double period = std::stod(periodText, &usedPeriod);
    const double first = std::stod(firstText, &usedFirst);
    const double length = std::stod(lengthText, &usedLength);
    // Nanoseconds since boot must fit the clock's ticks (1e9 s is some 30 years of uptime).
    constexpr double kLatestFirst = 1e9;
    if (usedPeriod != periodText.size() || usedFirst != firstText.size() ||
        usedLength != lengthText.size() || !(period > 0 && period <= kLongestSeconds) ||
        !(first >= 0 && first <= kLatestFirst) || !(length > 0 && length < period))
        return std::nullopt;
    constexpr int32_t ns = media::MonotonicClock::kTimescale;
    return camera::GeneratedCamera::Flashes{media::MediaTime::fromSeconds(first, ns),
                                            media::MediaTime::fromSeconds(period, ns),
                                            media::MediaTime::fromSeconds(length, ns)};
}

std::optional<Arguments> parse(const std::vector<std::string>& args, std::string& error) {
    Arguments parsed;
    for (size_t i = 0; i < args.size(); ++i) {
        const auto& arg = args[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= args.size()) {
                error = arg + " needs a value";
                return std::nullopt;
            }
            return args[++i];
        };
        try {
            if (arg == "--target") {
                auto v = value();
                if (!v) return std::nullopt;
                parsed.target = *v;
            } else if (arg == "--seconds") {
                auto v = value();
                if (!v) return std::nullopt;
                parsed.seconds = std::stod(*v);
            } else if (arg == "--fps") {
                auto v = value();
                if (!v) return std::nullopt;
                parsed.fps = std::stoi(*v);
            } else if (arg == "--resolution") {
                auto v = value();
                if (!v) return std::nullopt;
                auto size = parseStorageValue(*v);
                if (!size) {
                    error = "--resolution takes WxH, for example 1920x1080";
                    return std::nullopt;
                }
                parsed.resolution = {size->width, size->height};
            } else if (arg == "--camera") {
                parsed.camera = true;
            } else if (arg == "--generated-camera") {
                parsed.camera = parsed.generatedCamera = true;
            } else if (arg == "--camera-flashes") {
                auto v = value();
                if (!v) return std::nullopt;
                parsed.cameraFlashes = parseFlashes(*v);
                if (!parsed.cameraFlashes) {
                    error =
                        "--camera-flashes takes PERIOD@FIRST[,LENGTH] in seconds, FIRST on the "
                        "monotonic clock and LENGTH shorter than PERIOD, for example 5@8123.25,0.4";
                    return std::nullopt;
                }
            } else if (arg == "--mic") {
                parsed.microphone = true;
            } else if (arg == "--pause") {
                auto v = value();
                if (!v) return std::nullopt;
                const auto colon = v->find(':');
                size_t usedAt = 0, usedFor = 0;
                const double at = std::stod(v->substr(0, colon), &usedAt);
                const double length =
                    colon == std::string::npos ? 0 : std::stod(v->substr(colon + 1), &usedFor);
                if (colon == std::string::npos || usedAt != colon ||
                    usedFor != v->size() - colon - 1 || !(at >= 0 && at <= kLongestSeconds) ||
                    !(length > 0 && length <= kLongestSeconds)) {
                    error =
                        "--pause takes AT:FOR in seconds (each at most 604800), for example 2:3";
                    return std::nullopt;
                }
                parsed.pause = {at, length};
            } else {
                error = "unknown option " + arg;
                return std::nullopt;
            }
        } catch (const std::exception&) {
            error = "bad number after " + arg;
            return std::nullopt;
        }
    }
    if (parsed.target.empty())
        error = "--target is required";
    else if (!(parsed.seconds > 0 && parsed.seconds <= kLongestSeconds))
        error = "--seconds must be a positive number of seconds, at most 604800 (a week)";
    else if (parsed.fps != 24 && parsed.fps != 30 && parsed.fps != 60)
        error = "--fps must be 24, 30 or 60";
    else if (parsed.cameraFlashes && !parsed.generatedCamera)
        error = "--camera-flashes needs --generated-camera: only the generated camera can flash";
    if (!error.empty()) return std::nullopt;
    return parsed;
}

std::string describe(const capture::CaptureState& state) {
    using Kind = capture::CaptureState::Kind;
    switch (state.kind) {
        case Kind::idle:
            return "idle";
        case Kind::configured:
            return "configured";
        case Kind::recording:
            return "recording";
        case Kind::stopped:
            return "stopped";
        case Kind::failed:
            return "failed: " + state.message;
    }
    return "";
}

int record(const Arguments& arguments) {
    auto& loop = tool::mainLoop();
    std::optional<ScreenCaptureTargetProvider::TargetsResult> listing;
    ScreenCaptureTargetProvider().loadTargets(
        [&](ScreenCaptureTargetProvider::TargetsResult r) { listing = std::move(r); });
    if (!loop.runUntil([&] { return listing.has_value(); }, std::chrono::seconds(30)))
        return fail("listing the targets timed out");
    if (listing->index() == 1) return fail(std::get<1>(*listing));
    std::optional<capture::ScreenCaptureTarget> target;
    for (const auto& candidate : std::get<0>(*listing))
        if (candidate.id == arguments.target) target = candidate;
    if (!target) return fail("no target " + arguments.target + " (see zimlo-tool targets)");

    auto native = ScreenCaptureTargetProvider::nativePixelSize(*target);
    auto settings = nativeDefaultSettings(native.width, native.height);
    if (arguments.resolution) {
        auto [w, h] = *arguments.resolution;
        RecordingResolution chosen{w, h, RecordingResolution::nativeLabel(w, h)};
        for (const auto& preset : RecordingResolution::presets())
            if (preset.width == w && preset.height == h) chosen = preset;
        for (const auto& offered : availableResolutions(native.width, native.height))
            if (offered.width == w && offered.height == h) chosen = offered;
        settings = RecordingSettings(chosen, settings.frameRate);
    }
    settings = RecordingSettings(settings.resolution, *captureFrameRateFromRaw(arguments.fps));

    ScreenCameraSource::Options options;
    if (arguments.generatedCamera) {
        camera::GeneratedCamera::Options cameraOptions;
        cameraOptions.flashes = arguments.cameraFlashes;
        auto generated = std::make_shared<camera::GeneratedCamera>(cameraOptions);
        options.cameraDiscovery = [generated] { return generated; };
    }
    auto source = ScreenCameraSource::create(*target, options);
    std::optional<
        std::pair<std::optional<std::filesystem::path>, std::optional<std::filesystem::path>>>
        finished;
    source->onStateChange = [](capture::CaptureState state) {
        std::cout << "state: " << describe(state) << std::endl;
    };
    bool firstFrame = false;
    source->onScreenCaptureStatusChange = [&firstFrame](capture::ScreenCaptureStatus status) {
        firstFrame = true;
        std::cout << "status: " << status.displayText() << std::endl;
    };
    source->onFinishRecording = [&](auto main, auto pip) { finished.emplace(main, pip); };
    std::optional<capture::WriterError> failure;
    source->onRecordingFailure = [&](capture::WriterError error) {
        failure = error;
        std::cout << "recording stopped: " << error.description()
                  << (error.systemError ? " (" + std::string(std::strerror(error.systemError)) + ")"
                                        : std::string())
                  << std::endl;
    };
    source->onAudioInterruption = [](capture::AudioSource audio,
                                     std::optional<std::string> problem) {
        std::cout << (audio == capture::AudioSource::system ? "system audio: " : "microphone: ")
                  << (problem ? "lost (" + *problem + "), the picture goes on"
                              : std::string("back"))
                  << std::endl;
    };
    source->setRecordingSettings(settings);
    std::cout << "target: " << target->id << " " << target->title << ", recording at "
              << settings.summary() << std::endl;

    if (auto configured = source->configureScreenStream(); !configured)
        return fail("cannot start: " + configured.error().description());
    source->startScreenCapture();
    // Record from the first frame on: the desktop portal may first show its chooser.
    {
        bool ready = loop.runUntil(
            [&] {
                return firstFrame || source->state().kind == capture::CaptureState::Kind::failed;
            },
            std::chrono::seconds(120));
        if (source->state().kind == capture::CaptureState::Kind::failed) {
            std::string message = source->state().message;
            source->shutdown();
            loop.runFor(std::chrono::milliseconds(100));
            return fail("cannot start: " + message);
        }
        if (!ready) {
            source->shutdown();
            loop.runFor(std::chrono::milliseconds(100));
            return fail("no frame from the screen within 120 s");
        }
    }
    if (auto problem = source->systemAudioProblem())
        std::cout << "system audio: unavailable (" << *problem
                  << "), recording the picture without the computer's sound" << std::endl;

    if (arguments.microphone) {
        std::optional<std::optional<capture::SourceError>> prepared;
        source->prepareMicrophone([&](std::optional<capture::SourceError> e) { prepared = e; });
        loop.runUntil([&] { return prepared.has_value(); }, std::chrono::seconds(30));
        if (!prepared || prepared->has_value())
            std::cout << "microphone: " << (prepared ? (*prepared)->description() : "no answer")
                      << " (recording system audio only)" << std::endl;
    }
    if (arguments.camera) {
        std::optional<ScreenCameraSource::CameraStart> started;
        source->startCamera([&](ScreenCameraSource::CameraStart r) { started = r; });
        loop.runUntil([&] { return started.has_value(); }, std::chrono::seconds(30));
        if (!started || started->error) {
            source->shutdown();
            loop.runFor(std::chrono::milliseconds(100));
            return fail("cannot start the camera: " +
                        (started ? started->error->description() : std::string("no answer")));
        }
    }

    source->startRecording(arguments.camera);
    if (const auto& problem = source->recordingFolderProblem())
        std::cout << "recording folder: unusable (" << problem->text()
                  << "), the movies go to the temporary folder" << std::endl;
    // A movie that cannot be written (a full disk) stops the recording early.
    auto record = [&](double seconds) {
        // Looking for a failure four times a second is soon enough, and a recording of a still
        // screen is not woken 50 times a second for it.
        return !loop.runUntil([&] { return failure.has_value(); },
                              std::chrono::milliseconds(static_cast<long long>(seconds * 1000)),
                              std::chrono::milliseconds(250));
    };
    // --seconds counts what is recorded: a pause adds its own length to the run.
    if (arguments.pause && arguments.pause->first < arguments.seconds) {
        if (record(arguments.pause->first)) {
            source->pauseRecording();
            std::cout << "paused" << std::endl;
            const bool going = record(arguments.pause->second);
            source->resumeRecording();
            std::cout << "resumed" << std::endl;
            if (going) record(arguments.seconds - arguments.pause->first);
        }
    } else {
        record(arguments.seconds);
    }
    source->stopRecording();
    if (!loop.runUntil([&] { return finished.has_value(); }, std::chrono::seconds(120)))
        return fail("the movies did not finish");
    // The movies are this command's result: they stay where they are, and recovery leaves
    // them to whoever reads the paths printed below.
    if (const auto& folder = source->recordingFolder()) folder->handOver();
    auto statistics = source->statistics();
    source->shutdown();
    loop.runFor(std::chrono::milliseconds(100));

    std::cout << "screen movie: " << (finished->first ? finished->first->string() : "-") << "\n";
    std::cout << "camera movie: " << (finished->second ? finished->second->string() : "-") << "\n";
    std::cout << "frames delivered by the stream: " << statistics.screenFramesDelivered << "\n";
    // Where the screen's pictures were lost: the grab fell behind its interval, the queue to
    // the recording was full, or the encoder fell behind.
    std::cout << "dropped: stream " << statistics.screenFramesDropped << " (late grab "
              << statistics.screenFramesLate << ", full queue "
              << statistics.screenFramesDropped - statistics.screenFramesLate
              << "), screen writer video " << statistics.screenWriterDroppedVideo
              << " (writer behind), screen writer audio " << statistics.screenWriterDroppedAudio
              << ", camera writer " << statistics.cameraWriterDroppedVideo
              << ", late camera frames " << statistics.cameraFramesDiscarded << "\n";
    // What the screen's back end counted of its source (the portal's PipeWire buffers).
    if (!statistics.screenSource.empty()) {
        std::cout << "screen source:";
        const char* separator = " ";
        for (const auto& count : statistics.screenSource) {
            std::cout << separator << count.name << " " << count.value;
            separator = ", ";
        }
        std::cout << "\n";
    }
    if (failure) return fail("the recording failed: " + failure->description());
    bool written = finished->first && std::filesystem::exists(*finished->first);
    return written ? 0 : fail("no screen movie was written");
}

int run(const std::vector<std::string>& args) {
    std::string error;
    auto arguments = parse(args, error);
    if (!arguments) return fail(error + "\n" + kUsage);
    return record(*arguments);
}

const tool::RegisterCommandGroup registration({
    "record",
    "  record --target ID --seconds N [--fps F] [--resolution WxH] [--camera|--generated-camera] "
    "[--mic]\n"
    "         [--pause AT:FOR]        records through the capture source (paused after AT seconds\n"
    "                                 for FOR seconds); prints status lines, the movie files and\n"
    "                                 the drop counts\n"
    "         [--camera-flashes PERIOD@FIRST[,LENGTH]]\n"
    "                                 with --generated-camera: its picture is all white for\n"
    "                                 LENGTH seconds (default 0.4) every PERIOD seconds from\n"
    "                                 FIRST on the monotonic clock (CLOCK_MONOTONIC, seconds)\n",
    run,
});

}  // namespace
