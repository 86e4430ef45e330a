#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/audio/PulseCapture.h"
#include "platform/audio/ReconnectingCapture.h"
#include "platform/media/MonotonicClock.h"
#include "sandbox/PulseServer.h"
#include "support/TestMain.h"

namespace zimlo::audio {
namespace {

using media::AudioSample;
using media::MonotonicClock;
using sandbox::PulseServer;

// Collects delivered samples from the capture thread.
struct Recorder {
    std::mutex mutex;
    std::vector<AudioSample> samples;

    PulseCapture::SampleHandler handler() {
        return [this](AudioSample sample) {
            std::lock_guard lock(mutex);
            samples.push_back(std::move(sample));
        };
    }
    void clear() {
        std::lock_guard lock(mutex);
        samples.clear();
    }
    std::vector<AudioSample> snapshot() {
        std::lock_guard lock(mutex);
        return samples;
    }
    // Monotonic time of the first frame whose first channel exceeds `threshold` (0..1).
    std::optional<double> onset(double threshold) {
        for (const auto& s : snapshot()) {
            for (int f = 0; f < s.frameCount(); ++f) {
                double v = 0;
                const uint8_t* p = s.data.data() + static_cast<size_t>(f) * s.channels *
                                                       media::bytesPerSample(s.format);
                if (s.format == media::SampleFormat::Float32) {
                    float x;
                    std::memcpy(&x, p, 4);
                    v = x;
                } else if (s.format == media::SampleFormat::Int16) {
                    int16_t x;
                    std::memcpy(&x, p, 2);
                    v = x / 32768.0;
                }
                if (std::fabs(v) > threshold)
                    return s.presentationTime.seconds() + static_cast<double>(f) / s.sampleRate;
            }
        }
        return std::nullopt;
    }
};

bool waitFor(Recorder& recorder, double seconds) {
    return test::pumpUntil(
        [&] { return recorder.snapshot().size() > 5 && recorder.onset(0.3).has_value(); },
        std::chrono::milliseconds(static_cast<int>(seconds * 1000)));
}

TEST(PulseCapture, MicrophoneKeepsItsNativeFormatAndStampsTheSignalWhenItArrived) {
    auto& server = PulseServer::shared();
    auto microphone = defaultMicrophone();
    ASSERT_TRUE(microphone.has_value());
    EXPECT_EQ(microphone->name, server.microphoneName());
    EXPECT_EQ(microphone->format, media::SampleFormat::Int16);
    EXPECT_EQ(microphone->sampleRate, PulseServer::kMicrophoneRate);
    EXPECT_EQ(microphone->channels, 1);

    Recorder recorder;
    auto capture = PulseCapture::startMicrophone(*microphone, recorder.handler());
    ASSERT_TRUE(capture.ok()) << capture.error().what();
    double written = server.speakToneInRealTime(0.8, 0.4);
    ASSERT_TRUE(waitFor(recorder, 10));
    (*capture)->stop();

    auto samples = recorder.snapshot();
    EXPECT_EQ(samples.front().format, media::SampleFormat::Int16);
    EXPECT_EQ(samples.front().channels, 1);
    // The tone was written at `written` and the pipe source reads at once.
    EXPECT_NEAR(*recorder.onset(0.3), written, 0.05);
    // Packets follow one another without gaps or overlaps.
    for (size_t i = 1; i < samples.size(); ++i) {
        double expected =
            samples[i - 1].presentationTime.seconds() + samples[i - 1].duration().seconds();
        EXPECT_NEAR(samples[i].presentationTime.seconds(), expected, 0.031) << "packet " << i;
    }
    // Nothing arrives after stop.
    auto count = recorder.snapshot().size();
    server.writeMicrophone(std::vector<int16_t>(4800, 1000));
    test::mainLoop().runFor(std::chrono::milliseconds(200));
    EXPECT_EQ(recorder.snapshot().size(), count);
}

// A microphone that delivers nothing for a while (a starved device, a stalled pipe) and then
// goes on: what it says afterwards is stamped when it was said, not moved up into the gap. One
// that was only late, its backlog arriving at once, keeps its timeline: what follows is not
// pushed later by the delay.
TEST(PulseCapture, MicrophoneSilentForAWhileStampsLaterSoundWhenItArrived) {
    auto& server = PulseServer::shared();
    auto microphone = defaultMicrophone();
    ASSERT_TRUE(microphone.has_value());
    Recorder recorder;
    auto capture = PulseCapture::startMicrophone(*microphone, recorder.handler());
    ASSERT_TRUE(capture.ok()) << capture.error().what();
    struct Case {
        double silent;
        bool backlog;
    };
    for (Case c : {Case{0.8, false}, Case{2.5, false}, Case{0.4, true}}) {
        SCOPED_TRACE(std::to_string(c.silent) + " s without sound" +
                     (c.backlog ? ", then all of it at once" : ""));
        server.speakToneInRealTime(1.3, 1.3);  // silence, delivered
        recorder.clear();                      // (the last case's tone came long before)
        std::this_thread::sleep_for(std::chrono::duration<double>(c.silent));
        if (c.backlog)
            server.writeMicrophone(std::vector<int16_t>(static_cast<size_t>(c.silent * 48000), 0));
        double written = server.speakToneInRealTime(1.2, 0.4);
        ASSERT_TRUE(waitFor(recorder, 10));
        EXPECT_NEAR(*recorder.onset(0.3), written, 0.05);
    }
    (*capture)->stop();
}

// A microphone that lets a backlog go at once (a device after an overrun, a pipe that had been
// blocked) delivers seconds of sound within a moment. None of it may be stamped later than it
// arrived, or the sound runs on past the end of the recording; what is said afterwards is
// stamped when it was said.
TEST(PulseCapture, ABacklogLetGoAtOnceIsNeverStampedAheadOfItsArrival) {
    auto& server = PulseServer::shared();
    auto microphone = defaultMicrophone();
    ASSERT_TRUE(microphone.has_value());
    Recorder recorder;
    std::mutex mutex;
    double furthestAhead = -1e9;  // a packet's end stamp less the time it arrived, at most
    auto record = recorder.handler();
    auto capture = PulseCapture::startMicrophone(*microphone, [&](AudioSample sample) {
        const double ahead =
            (sample.presentationTime + sample.duration()).seconds() - MonotonicClock::nowSeconds();
        {
            std::lock_guard lock(mutex);
            furthestAhead = std::max(furthestAhead, ahead);
        }
        record(std::move(sample));
    });
    ASSERT_TRUE(capture.ok()) << capture.error().what();
    server.speakToneInRealTime(0.5, 0.5);  // silence, delivered
    const double burstStart = MonotonicClock::nowSeconds();
    server.writeMicrophone(std::vector<int16_t>(8 * 48000, 0));
    const double burstSeconds = MonotonicClock::nowSeconds() - burstStart;
    double written = server.speakToneInRealTime(1.2, 0.4);
    ASSERT_TRUE(waitFor(recorder, 10));
    (*capture)->stop();

    ASSERT_LT(burstSeconds, 4.0) << "the backlog was not let go faster than real time";
    {
        std::lock_guard lock(mutex);
        EXPECT_LT(furthestAhead, 0.03) << "8 s of backlog in " << burstSeconds << " s";
    }
    EXPECT_NEAR(*recorder.onset(0.3), written, 0.05);
}

TEST(PulseCapture, SystemAudioRecordsWhatIsPlayedAsStereoFloatAtItsPlayTime) {
    PulseServer::shared();
    Recorder recorder;
    auto capture = PulseCapture::startSystemAudio(recorder.handler());
    ASSERT_TRUE(capture.ok()) << capture.error().what();
    std::atomic<double> played{0};
    std::thread player([&] { played = sandbox::playTone(0.4, 0.4, 660); });
    bool heard = waitFor(recorder, 10);
    player.join();
    capture->reset();
    ASSERT_TRUE(heard);

    auto samples = recorder.snapshot();
    EXPECT_EQ(samples.front().format, media::SampleFormat::Float32);
    EXPECT_EQ(samples.front().sampleRate, 48000);
    EXPECT_EQ(samples.front().channels, 2);
    // Stamped with the time the sink played it.
    EXPECT_NEAR(*recorder.onset(0.3), played.load(), 0.05);
}

TEST(PulseCapture, MissingDeviceUnusableFormatAndMonitorAsDefaultAreErrors) {
    auto& server = PulseServer::shared();
    CaptureRequest request;
    request.device = "no_such_source";
    auto missing = PulseCapture::start(request, [](AudioSample) {});
    ASSERT_FALSE(missing.ok()) << "a missing device opened";
    EXPECT_EQ(missing.error().kind(), AudioError::Kind::cannotOpenDevice);
    EXPECT_EQ(missing.error().device(), "no_such_source");
    EXPECT_FALSE(missing.error().detail().empty());  // the server's words

    CaptureRequest noChannels;
    noChannels.channels = 0;
    auto unusable = PulseCapture::start(noChannels, [](AudioSample) {});
    ASSERT_FALSE(unusable.ok());
    EXPECT_EQ(unusable.error().kind(), AudioError::Kind::unsupportedFormat);

    // A desktop whose only input is a monitor has no microphone.
    std::string setDefault = "pactl --server=" + server.address() + " set-default-source ";
    ASSERT_EQ(std::system((setDefault + server.monitorName()).c_str()), 0);
    EXPECT_FALSE(defaultMicrophone().has_value());
    ASSERT_EQ(std::system((setDefault + server.microphoneName()).c_str()), 0);
    EXPECT_TRUE(defaultMicrophone().has_value());
}

// The sound server dies, comes back, freezes and goes on: each loss is reported, sound flows
// again once the server answers, and the stamps stay on the one clock throughout.
TEST(ReconnectingCapture, SurvivesASoundServerThatDiesOrFreezes) {
    auto& server = PulseServer::shared();
    std::mutex mutex;
    std::vector<std::optional<AudioError>> statuses;
    std::atomic<int64_t> samples{0};
    std::atomic<int64_t> lastStamp{0};
    ReconnectingCapture capture(
        [](PulseCapture::SampleHandler onSample, PulseCapture::ErrorHandler onError) {
            return PulseCapture::startSystemAudio(std::move(onSample), std::move(onError));
        },
        [&](AudioSample sample) {
            ++samples;
            lastStamp = sample.presentationTime.value;
        },
        [&](std::optional<AudioError> problem) {
            std::lock_guard lock(mutex);
            statuses.push_back(problem);
        });
    ASSERT_TRUE(capture.isConnected());
    auto statusCount = [&] {
        std::lock_guard lock(mutex);
        return statuses.size();
    };
    auto flowing = [&] {
        const int64_t before = samples;
        return test::pumpUntil([&] { return samples > before + 10; }, std::chrono::seconds(10));
    };
    ASSERT_TRUE(flowing());

    server.kill();
    ASSERT_TRUE(test::pumpUntil([&] { return statusCount() == 1; }, std::chrono::seconds(5)));
    EXPECT_FALSE(capture.isConnected());
    server.restart();
    ASSERT_TRUE(test::pumpUntil([&] { return statusCount() == 2; }, std::chrono::seconds(10)));
    EXPECT_TRUE(capture.isConnected());
    ASSERT_TRUE(flowing());

    server.freeze();
    const auto frozenAt = std::chrono::steady_clock::now();
    ASSERT_TRUE(test::pumpUntil([&] { return statusCount() == 3; }, std::chrono::seconds(10)));
    EXPECT_LT(std::chrono::steady_clock::now() - frozenAt, std::chrono::seconds(6));
    server.thaw();
    ASSERT_TRUE(test::pumpUntil([&] { return statusCount() == 4; }, std::chrono::seconds(10)));
    ASSERT_TRUE(flowing());
    {
        std::lock_guard lock(mutex);
        EXPECT_TRUE(statuses[0] && statuses[2]);   // lost, with why
        EXPECT_FALSE(statuses[1] || statuses[3]);  // back
        // A frozen server says nothing: only the question it does not answer tells.
        EXPECT_EQ(statuses[2]->kind(), AudioError::Kind::serverNotAnswering);
    }
    const double stamped = lastStamp / 1e9;
    EXPECT_NEAR(stamped, MonotonicClock::nowSeconds(), 1.0);
    capture.stop();
}

// The owner's stop and the destructor's may meet: both return once the watcher is gone, and a
// stop after that does nothing.
TEST(ReconnectingCapture, StopsOnceWhenStoppedFromTwoThreadsAtOnce) {
    for (int round = 0; round < 40; ++round) {
        std::atomic<int> failures{0};
        ReconnectingCapture capture(
            [&](PulseCapture::SampleHandler, PulseCapture::ErrorHandler) -> PulseCapture::Started {
                ++failures;
                return fail(AudioError(AudioError::Kind::serverUnreachable, "not there"));
            },
            [](AudioSample) {}, [](const std::optional<AudioError>&) {});
        std::atomic<bool> go{false};
        auto stopper = [&] {
            while (!go.load()) std::this_thread::yield();
            capture.stop();
        };
        std::thread first(stopper), second(stopper);
        go.store(true);
        first.join();
        second.join();
        capture.stop();
        EXPECT_FALSE(capture.isConnected());
        EXPECT_EQ(failures.load(), 1);  // the watcher never tried again
    }
}

// With no sound server at the start the capture says so at once and keeps trying; it joins the
// server as soon as there is one.
TEST(ReconnectingCapture, WaitsForASoundServerThatIsNotThereYet) {
    auto& server = PulseServer::shared();
    server.kill();
    auto lookup = defaultSourceInfo();
    ASSERT_FALSE(lookup.ok());
    EXPECT_EQ(lookup.error().kind(), AudioError::Kind::serverUnreachable);
    EXPECT_FALSE(defaultMicrophone().has_value());
    std::atomic<int> restored{0};
    std::atomic<int64_t> samples{0};
    ReconnectingCapture capture(
        [](PulseCapture::SampleHandler onSample, PulseCapture::ErrorHandler onError) {
            return PulseCapture::startSystemAudio(std::move(onSample), std::move(onError));
        },
        [&](AudioSample) { ++samples; },
        [&](std::optional<AudioError> problem) {
            if (!problem) ++restored;
        });
    EXPECT_FALSE(capture.isConnected());
    ASSERT_TRUE(capture.problem().has_value());
    EXPECT_EQ(capture.problem()->kind(), AudioError::Kind::serverUnreachable);
    server.restart();
    ASSERT_TRUE(test::pumpUntil([&] { return restored == 1; }, std::chrono::seconds(10)));
    EXPECT_TRUE(test::pumpUntil([&] { return samples > 10; }, std::chrono::seconds(10)));
}

}  // namespace
}  // namespace zimlo::audio

namespace zimlo::audio {
namespace {

// The inputs a user can choose from: real inputs by their description, no sink's monitor; a
// chosen one that is not there (unplugged) gives way to the system's default.
TEST(PulseDevices, MicrophonesAreListedByDescriptionAndAMissingChoiceGivesWayToTheDefault) {
    auto& server = zimlo::sandbox::PulseServer::shared();
    static const std::string second = [&server] {
        server.addMicrophone("zimlo_listed_mic", "Listed microphone");
        return std::string("zimlo_listed_mic");
    }();
    auto inputs = listMicrophones();
    ASSERT_TRUE(inputs) << inputs.error().what();
    std::vector<std::pair<std::string, std::string>> found;
    for (const AudioSourceInfo& input : *inputs) {
        found.emplace_back(input.name, input.description);
        EXPECT_FALSE(input.isMonitor);
        EXPECT_NE(input.name, server.monitorName());
    }
    EXPECT_NE(std::find(found.begin(), found.end(),
                        std::pair(server.microphoneName(), std::string("Virtual microphone"))),
              found.end());
    EXPECT_NE(
        std::find(found.begin(), found.end(), std::pair(second, std::string("Listed microphone"))),
        found.end());

    auto chosen = microphoneNamed(second);
    ASSERT_TRUE(chosen);
    EXPECT_EQ(chosen->description, "Listed microphone");
    for (const std::string& other :
         {std::string("unplugged"), std::string(), server.monitorName()}) {
        auto fallback = microphoneNamed(other);
        ASSERT_TRUE(fallback) << other;
        EXPECT_EQ(fallback->name, server.microphoneName()) << other;
    }
}

}  // namespace
}  // namespace zimlo::audio
