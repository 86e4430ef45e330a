// zimlo-demo: Zimlo doing its main job on a private virtual desktop, for machines without one.
// Starts Xvfb and a PulseAudio daemon of its own, puts a moving window, a tone and a reader's
// voice on them, runs the real application there and drives its windows like a user through one
// recording with the camera window and subtitles, then reports the draft it saved.

#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Interruption.h"
#include "MovieReport.h"
#include "app/Application.h"
#include "app/ApplicationSetup.h"
#include "app/HomeWindowController.h"
#include "driver/ShellDriver.h"
#include "platform/camera/GeneratedCamera.h"
#include "platform/media/MonotonicClock.h"
#include "recording/RecordingView.h"
#include "sandbox/MovingWindow.h"
#include "sandbox/PrivateHome.h"
#include "sandbox/PulseServer.h"
#include "sandbox/SoundFeeds.h"
#include "sandbox/SpeechFeed.h"
#include "sandbox/XvfbServer.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace zimlo::demo {
namespace {

constexpr double kRecordSeconds = 10;
constexpr double kToneFrequency = 440;
constexpr const char* kScreen = "1920x1080x24";
constexpr const char* kMarkerName = ".zimlo-demo";

struct Options {
    bool keepOpen = false;
    fs::path output = "zimlo-demo";
};

void printUsage(std::FILE* to) {
    std::fprintf(
        to,
        "usage: zimlo-demo [--keep-open] [--output FOLDER]\n"
        "Runs Zimlo on a private virtual display and sound server and records about\n"
        "%.0f seconds with the camera window and subtitles, driven like a user would.\n"
        "  --keep-open      keep the virtual display (and Zimlo) up afterwards, until Ctrl-C\n"
        "  --output FOLDER  where the draft and screenshots go (default ./zimlo-demo);\n"
        "                   a folder from an earlier demo run is replaced\n",
        kRecordSeconds);
}

std::optional<Options> parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--keep-open") {
            options.keepOpen = true;
        } else if (argument == "--output" && i + 1 < argc) {
            options.output = argv[++i];
        } else if (argument == "--help" || argument == "-h") {
            printUsage(stdout);
            std::exit(0);
        } else {
            std::fprintf(stderr, "zimlo-demo: unknown argument \"%s\"\n", argument.c_str());
            printUsage(stderr);
            return std::nullopt;
        }
    }
    return options;
}

// A path as short as it can be said from here.
std::string shown(const fs::path& path) {
    std::error_code ec;
    const fs::path here = fs::current_path(ec);
    const fs::path relative = ec ? path : path.lexically_proximate(here);
    const std::string text = relative.string();
    return text.rfind("..", 0) == 0 ? path.string() : text;
}

// Where the draft and screenshots go. A folder made by an earlier run (it holds the marker) is
// replaced; any other non-empty folder is refused, so nothing of the user's is ever removed.
struct Output {
    fs::path root;
    fs::path home;
    fs::path screenshots;
};

Output claimOutput(const fs::path& requested) {
    Output output;
    output.root = fs::absolute(requested).lexically_normal();
    if (fs::exists(output.root)) {
        if (!fs::is_directory(output.root))
            throw std::runtime_error(output.root.string() + " exists and is not a folder");
        if (!fs::is_empty(output.root) && !fs::exists(output.root / kMarkerName))
            throw std::runtime_error(output.root.string() +
                                     " already holds files the demo did not make; choose another "
                                     "folder with --output");
        fs::remove_all(output.root);
    }
    output.home = output.root / "home";
    output.screenshots = output.root / "screenshots";
    fs::create_directories(output.home);
    fs::create_directories(output.screenshots);
    std::ofstream(output.root / kMarkerName)
        << "Made by zimlo-demo; the next demo run replaces this folder.\n";
    return output;
}

void section(const char* title) { std::printf("\n%s\n", title); }
void line(const std::string& text) { std::printf("  %s\n", text.c_str()); }
void detail(const std::string& text) { std::printf("        %s\n", text.c_str()); }

fs::path saveScreenshot(QWidget* window, const fs::path& file) {
    if (!window || !window->grab().save(QString::fromStdString(file.string()), "PNG"))
        throw std::runtime_error("cannot save the screenshot " + file.string());
    return file;
}

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", value);
    return text;
}

// How to look at the virtual desktop while it stays up.
void printHowToWatch(const std::string& display, const std::string& pulseAddress) {
    section("The virtual desktop stays up (--keep-open); Zimlo is still running on it.");
    line("Watch it over VNC (apt-get install x11vnc):");
    line("    x11vnc -display " + display + " -localhost -nopw -forever");
    line("  then, from your computer: ssh -L 5900:localhost:5900 <this machine>, and open a VNC");
    line("  viewer on localhost:5900.");
    line("Take a picture of it:");
    line("    ffmpeg -loglevel error -f x11grab -video_size 1920x1080 -i " + display +
         " -frames:v 1 desktop.png");
    line("Watch it live on a machine with a screen (or through ssh -X):");
    line("    ffplay -f x11grab -video_size 1920x1080 -i " + display);
    line("Other programs reach it with DISPLAY=" + display + " PULSE_SERVER=" + pulseAddress);
    line("Press Ctrl-C (or close Zimlo's window) to take everything down.");
}

// Runs the application on the virtual desktop and walks it through one recording.
void runApplication(int argc, char** argv, const Options& options, const Output& output,
                    const sandbox::XvfbServer& xvfb, sandbox::PulseServer& pulse) {
    QApplication application(argc, argv);
    app::setUpApplication(application);
    auto delegate = std::make_unique<app::Application>(app::ShellServices::system());
    delegate->started();

    int stepNumber = 0;
    driver::ShellDriver::Observer observer;
    observer.onStep = [&](const std::string& step) {
        setCurrentStep(step);
        std::printf("  [%d] %s\n", ++stepNumber, step.c_str());
    };
    // A text that differs from the one before only in its figures (the measured frame rate,
    // updated every second) is not printed again.
    std::string lastShape;
    observer.onStatus = [&lastShape](const std::string& text) {
        std::string shape = text;
        for (char& c : shape)
            if (c >= '0' && c <= '9') c = '#';
        if (shape == lastShape) return;
        lastShape = shape;
        detail("status line: " + text);
    };
    observer.interrupted = interruptRequested;
    auto driver = std::make_unique<driver::ShellDriver>(delegate->mainWindowController(), observer);
    sandbox::SoundFeeds sounds(pulse);

    std::exception_ptr failure;
    try {
        section("Driving Zimlo like a user");
        driver->waitForHome();
        driver->pumpFor(500ms);  // painted
        detail("screenshot: " + shown(saveScreenshot(delegate->mainWindowController()->window(),
                                                     output.screenshots / "home.png")));
        driver->openPicker();
        driver->pickDisplay();
        driver->waitForRecordingWindow();
        sounds.playTone(kToneFrequency);
        driver->turnCameraOn();
        driver->turnSubtitlesOn();
        driver->pumpFor(500ms);  // a few camera frames in the window

        const double started = driver->startRecording();
        std::vector<sandbox::SpokenSentence> spoken;
        sounds.speak(sandbox::librivoxSpeech(kRecordSeconds, 1.2, 1.0, spoken));
        detail("recording " + seconds(kRecordSeconds) + ": a " +
               std::to_string(static_cast<int>(kToneFrequency)) +
               " Hz tone plays in the speakers, a reader speaks into the microphone, the test "
               "window moves");
        const double screenshotAt = started + kRecordSeconds - 1.5;
        driver->pumpFor(std::chrono::milliseconds(static_cast<int>(
            std::max(0.0, screenshotAt - media::MonotonicClock::nowSeconds()) * 1000)));
        if (auto* view = driver->recordingView())
            detail(
                "screenshot: " +
                shown(saveScreenshot(view->window(), output.screenshots / "recording-window.png")));
        driver->pumpFor(std::chrono::milliseconds(static_cast<int>(
            std::max(0.0, started + kRecordSeconds - media::MonotonicClock::nowSeconds()) * 1000)));
        driver->waitForSubtitle();
        const driver::FinishedRecording finished = driver->stopAndWaitForDraft();
        sounds.stop();
        detail("saved and composed " + seconds(finished.finishSeconds) + " after the stop");
        if (const std::string problem = sounds.problem(); !problem.empty())
            detail("note: the sound feed failed: " + problem);
        driver->pumpFor(1500ms);  // the card's thumbnail
        detail("screenshot: " + shown(saveScreenshot(delegate->mainWindowController()->window(),
                                                     output.screenshots / "home-with-draft.png")));

        setCurrentStep("report the draft");
        section("The draft");
        const RecordingProject& draft = finished.draft;
        const auto file = localFile(draft.mainVideo);
        if (!file) throw driver::StepFailed("report the draft", "it has no movie");
        const fs::path movie = *file;
        line("folder: " + shown(movie.parent_path()));
        for (const auto& entry : fs::directory_iterator(movie.parent_path()))
            if (entry.is_regular_file())
                line("  " + entry.path().filename().string() + "  (" +
                     readableSize(entry.file_size()) + ")");
        const MovieSummary summary = summarizeMovie(movie);
        line("movie: " + movie.filename().string() + ", " + seconds(summary.seconds));
        for (const auto& stream : summary.streams) line("  " + stream);
        line("subtitles recognised (English speech model standing in for Mandarin):");
        if (finished.subtitles.empty()) line("  (none)");
        for (const auto& segment : finished.subtitles) {
            char times[64];
            std::snprintf(times, sizeof times, "%5.2f–%5.2f s", segment.startTime, segment.endTime);
            line(std::string("  ") + times + "  \"" + segment.text + "\"");
        }
        line("what the reader said:");
        for (const auto& sentence : spoken) line("  \"" + sentence.text + "\"");
        // A frame inside the longest subtitle shows it burned in, with the camera window.
        double frameAt = summary.seconds / 2;
        double longest = 0;
        for (const auto& segment : finished.subtitles) {
            const double end = std::min(segment.endTime, summary.seconds);
            if (end - segment.startTime > longest) {
                longest = end - segment.startTime;
                frameAt = (segment.startTime + end) / 2;
            }
        }
        const fs::path frame = output.screenshots / "movie-frame.png";
        saveMovieFrame(movie, frameAt, frame);

        section("Screenshots");
        line("home window          " + shown(output.screenshots / "home.png"));
        line("recording window     " + shown(output.screenshots / "recording-window.png"));
        line("home with the draft  " + shown(output.screenshots / "home-with-draft.png"));
        line("movie at " + seconds(frameAt) + "       " + shown(frame));

        if (options.keepOpen) {
            printHowToWatch(xvfb.displayName(), pulse.address());
            setCurrentStep("keep the virtual desktop open");
            QTimer watch;
            QObject::connect(&watch, &QTimer::timeout, [] {
                if (interruptRequested()) QCoreApplication::quit();
            });
            watch.start(100);
            QApplication::exec();
        }
    } catch (...) {
        failure = std::current_exception();
    }
    // The application's windows and capture go first, while the servers still run. A failure
    // keeps naming the step it happened in.
    if (!failure) setCurrentStep("take Zimlo down");
    sounds.stop();
    driver.reset();
    delegate.reset();
    for (int i = 0; i < 20; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    if (failure) std::rethrow_exception(failure);
}

int run(int argc, char** argv, const Options& options) {
    const auto began = std::chrono::steady_clock::now();
    const bool desktop = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
    std::printf(
        "Zimlo demo: %s Zimlo runs on a private virtual desktop and records\n"
        "about %.0f seconds with the camera window and live subtitles, driven like a user would.\n"
        "It needs about a minute; Ctrl-C stops it and takes everything down.\n",
        desktop ? "leaving your desktop alone," : "no desktop here, so", kRecordSeconds);
    try {
        setCurrentStep("set up the virtual desktop");
        section("Setting up the virtual desktop");
        const Output output = claimOutput(options.output);
        line("output folder: " + shown(output.root));
        // Drafts land in the output folder; settings, caches and recordings in progress stay in
        // a private folder, so nothing of the user's own home is touched.
        sandbox::PrivateHome home("zimlo-demo", output.home);
        line("private home: " + shown(output.home) + " (settings and temporary files in " +
             home.root().string() + ")");
        line(
            "speech model: English (pocketsphinx-en-us), linked where the Mandarin one is "
            "looked for");
        sandbox::XvfbServer xvfb(kScreen);
        xvfb.exportDisplay();
        ::unsetenv("WAYLAND_DISPLAY");
        qputenv("QT_QPA_PLATFORM", "xcb");
        qputenv("XDG_CURRENT_DESKTOP", "");  // no desktop settings program to open
        line("virtual display: " + xvfb.displayName() + " (Xvfb process " +
             std::to_string(xvfb.pid()) + ", 1920×1080)");
        sandbox::PulseServer pulse;
        line(
            "sound server: PulseAudio with speakers \"Virtual speakers\" (a null sink) and a "
            "microphone \"Virtual microphone\"");
        camera::setCameraDiscovery([] { return std::make_shared<camera::GeneratedCamera>(); });
        line("camera: a generated test picture (no camera hardware needed)");
        sandbox::MovingWindow movingWindow(xvfb.displayName(), 60, 700, 60);
        line("a green test window slides along the top of the display");

        try {
            runApplication(argc, argv, options, output, xvfb, pulse);
        } catch (...) {
            camera::setCameraDiscovery(nullptr);
            throw;
        }
        camera::setCameraDiscovery(nullptr);
        setCurrentStep("take the virtual desktop down");
    } catch (const driver::Interrupted&) {
        std::printf("\nzimlo demo: interrupted; the virtual desktop is down again.\n");
        return 130;
    } catch (const driver::StepFailed& failure) {
        std::fflush(stdout);
        std::fprintf(stderr, "\nzimlo demo: FAILED at step \"%s\": %s\n", failure.step().c_str(),
                     failure.detail().c_str());
        return 1;
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "\nzimlo demo: FAILED at step \"%s\": %s\n", currentStep().c_str(),
                     error.what());
        return 1;
    }
    if (interruptRequested()) {
        std::printf("\nzimlo demo: stopped; the virtual desktop is down again.\n");
        return options.keepOpen ? 0 : 130;
    }
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("\nDone in %.0f s. The virtual display and sound server are stopped again.\n",
                took);
    return 0;
}

}  // namespace
}  // namespace zimlo::demo

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const auto options = zimlo::demo::parseOptions(argc, argv);
    if (!options) return 2;
    zimlo::demo::installSignalHandlers();
    return zimlo::demo::run(argc, argv, *options);
}
