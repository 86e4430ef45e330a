// zimlo-tool recognize FILE [--language en-US|zh-CN] [--realtime]
//
// Streams a WAV file through the live recogniser in 100 ms pieces and prints every callback:
//   partial<TAB>text | final<TAB>text, and after each final one line per word:
//   word<TAB>start<TAB>end<TAB>substring   (seconds on the recording timeline)
// Without --realtime the file is fed as fast as the decoder takes it, and the recording clock
// follows the audio fed so far, so times match a real-time run.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <thread>

#include "CommandRegistry.h"
#include "platform/media/MonotonicClock.h"
#include "platform/speech/SpeechRecognizer.h"
#include "subtitles/LiveSpeechRecognizer.h"

namespace zimlo::tool {
namespace {

int recognize(const std::vector<std::string>& args) {
    std::string file;
    Language language = Language::english;
    bool realtime = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--realtime") {
            realtime = true;
        } else if (args[i] == "--language") {
            if (i + 1 >= args.size()) return fail("--language needs en-US or zh-CN");
            auto parsed = languageFromRawValue(args[++i]);
            if (!parsed) return fail("unknown language '" + args[i] + "' (en-US or zh-CN)");
            language = *parsed;
        } else if (file.empty() && args[i].rfind("--", 0) != 0) {
            file = args[i];
        } else {
            return fail("unexpected argument '" + args[i] + "'");
        }
    }
    if (file.empty())
        return fail("usage: zimlo-tool recognize FILE [--language en-US|zh-CN] [--realtime]");

    auto read = speech::readWavFile(file);
    if (!read) return fail(read.error().message);
    const media::AudioSample audio = std::move(read).value();
    auto chunks = speech::splitAudio(audio, 0.1);

    // Without pacing, the recording has got as far as the audio fed.
    auto fed = std::make_shared<std::atomic<double>>(0.0);
    LiveSpeechRecognizer::Clock clock;
    if (!realtime) clock = [fed] { return fed->load(); };
    auto engine = speech::SpeechRecognizer::shared(std::string(rawValue(language)));
    // Let the model load before the clock starts, so pacing and times are those of the audio.
    engine->waitUntilLoaded(120);
    auto recognizer = LiveSpeechRecognizer::create(engine, clock);

    bool unavailable = false;
    recognizer->onText = [&](const std::string& text, bool isFinal) {
        if (isFinal && text == LiveSpeechRecognizer::kUnavailableText) unavailable = true;
        std::printf("%s\t%s\n", isFinal ? "final" : "partial", text.c_str());
        std::fflush(stdout);
    };
    recognizer->onFinalTranscription = [](const Transcription& transcription, double offset) {
        for (const auto& word : transcription.segments) {
            std::printf("word\t%.3f\t%.3f\t%s\n", offset + word.timestamp,
                        offset + word.timestamp + word.duration, word.substring.c_str());
        }
        std::fflush(stdout);
    };

    recognizer->start(0);
    if (!recognizer->isRunning()) {
        mainLoop().runUntil([&] { return unavailable; }, std::chrono::seconds(5));
        std::cerr << "error: no usable speech model for " << rawValue(language) << "\n";
        return 1;
    }

    // Progress for a person watching (and the moment recording time 0 began, for timing runs).
    std::fprintf(stderr, "recognize: streaming %.2f s of audio\n", audio.duration().seconds());
    std::fflush(stderr);
    const double started = media::MonotonicClock::nowSeconds();
    // The recogniser places speech by when it was captured, on its own clock.
    const double recordingStart = recognizer->startDate().value_or(0);
    for (auto& chunk : chunks) {
        double chunkStart = chunk.presentationTime.seconds();
        chunk.presentationTime = media::MediaTime::fromSeconds(recordingStart + chunkStart,
                                                               media::MonotonicClock::kTimescale);
        if (realtime) {
            mainLoop().runUntil(
                [&] { return media::MonotonicClock::nowSeconds() - started >= chunkStart; },
                std::chrono::seconds(5));
        } else if (auto current = recognizer->request()) {
            // Pace by the decoder: the next piece goes in once the last one is decoded (and a
            // task ended by it has been followed by the next).
            current->waitUntilDecoded(60);
            mainLoop().runPending();
        }
        if (!recognizer->isRunning()) break;  // the model failed to load
        fed->store(chunkStart + chunk.duration().seconds());
        recognizer->appendAudioSample(chunk);
    }
    if (realtime) {
        double end = audio.duration().seconds();
        mainLoop().runUntil([&] { return media::MonotonicClock::nowSeconds() - started >= end; },
                            std::chrono::seconds(5));
    }
    recognizer->finish();
    // Everything fed is still recognised; then nothing is left to come.
    bool drained =
        mainLoop().runUntil([&] { return !recognizer->isFinishing() && !recognizer->task(); },
                            std::chrono::seconds(60));
    mainLoop().runPending();
    if (!drained) return fail("the recogniser did not finish");
    return unavailable ? 1 : 0;
}

const RegisterCommandGroup registration{CommandGroup{
    "recognize",
    "  zimlo-tool recognize FILE [--language en-US|zh-CN] [--realtime]\n"
    "      stream a WAV file through the live speech recogniser; print partial/final texts and "
    "word times\n",
    recognize,
}};

}  // namespace
}  // namespace zimlo::tool
