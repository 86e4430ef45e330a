#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "platform/speech/AudioConverter.h"
#include "platform/speech/SpeechRecognizer.h"
#include "platform/speech/WordText.h"
#include "support/TestMain.h"

namespace zimlo::speech {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kLibrivox =
    "/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-";

void touch(const fs::path& path, const std::string& content = "x") {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << content;
}

class TempDir {
  public:
    TempDir()
        : path_(fs::temp_directory_path() /
                ("zimlo-speech-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++))) {
        fs::create_directories(path_);
    }
    ~TempDir() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

  private:
    static inline int counter_ = 0;
    fs::path path_;
};

TEST(SpeechModelTest, FindsTheMandarinLayoutInTheUserDataDirectory) {
    TempDir home;
    fs::path dir = home.path() / "zimlo" / "models" / "zh-CN";
    touch(dir / "zh_cn.cd_cont_5000" / "mdef");
    touch(dir / "zh_cn.dic");
    touch(dir / "zh_cn.lm");
    touch(dir / "zh_cn.lm.bin");
    touch(dir / "zh_cn-phone.lm.bin");

    const char* saved = std::getenv("XDG_DATA_HOME");
    std::string previous = saved ? saved : "";
    ::setenv("XDG_DATA_HOME", home.path().c_str(), 1);
    auto dirs = modelSearchDirectories("zh-CN");
    auto found = findModel("zh-CN");
    if (saved)
        ::setenv("XDG_DATA_HOME", previous.c_str(), 1);
    else
        ::unsetenv("XDG_DATA_HOME");

    ASSERT_GE(dirs.size(), 2u);
    EXPECT_EQ(dirs.front(), dir);  // the user's model comes before the system's
    ASSERT_TRUE(found);
    EXPECT_EQ(found->acousticModel, dir / "zh_cn.cd_cont_5000");
    EXPECT_EQ(found->dictionary, dir / "zh_cn.dic");
    EXPECT_EQ(found->languageModel, dir / "zh_cn.lm.bin");  // binary preferred, phone loop never

    // Unpacked with the archive's own top folder.
    fs::rename(dir, home.path() / "unpacked");
    fs::create_directories(dir);
    fs::rename(home.path() / "unpacked", dir / "cmusphinx-zh-cn-5.2");
    ::setenv("XDG_DATA_HOME", home.path().c_str(), 1);
    auto nested = findModel("zh-CN");
    if (saved)
        ::setenv("XDG_DATA_HOME", previous.c_str(), 1);
    else
        ::unsetenv("XDG_DATA_HOME");
    ASSERT_TRUE(nested);
    EXPECT_EQ(nested->dictionary, dir / "cmusphinx-zh-cn-5.2" / "zh_cn.dic");

    // Any missing part: no model.
    dir = dir / "cmusphinx-zh-cn-5.2";
    fs::remove(dir / "zh_cn.dic");
    EXPECT_FALSE(findModelInDirectory(dir));
    EXPECT_FALSE(findModelInDirectory(home.path() / "absent"));
}

TEST(SpeechModelTest, DebianEnglishModelIsFoundAndMalformedAcousticModelsAreRefused) {
    auto english = findModel("en-US");
    ASSERT_TRUE(english) << "pocketsphinx-en-us is not installed";
    EXPECT_TRUE(acousticModelLooksValid(english->acousticModel).ok());
    EXPECT_EQ(english->languageModel.filename(), "en-us.lm.bin");

    // PocketSphinx would end the process on these; they must be refused beforehand.
    TempDir broken;
    touch(broken.path() / "mdef", "garbage");
    auto garbage = acousticModelLooksValid(broken.path());
    ASSERT_FALSE(garbage.ok());
    EXPECT_EQ(garbage.error().kind, SpeechError::Kind::incompleteModel);
    EXPECT_EQ(garbage.error().path, broken.path());
    EXPECT_NE(garbage.error().message.find("model definition"), std::string::npos)
        << garbage.error();
    fs::copy_file(english->acousticModel / "mdef", broken.path() / "mdef",
                  fs::copy_options::overwrite_existing);
    auto incomplete = acousticModelLooksValid(broken.path());  // no means, variances, ...
    ASSERT_FALSE(incomplete.ok());
    EXPECT_NE(incomplete.error().message.find("means"), std::string::npos) << incomplete.error();
}

TEST(WordTextTest, DropsMarkersAndFillersAndJoinsByScript) {
    for (const char* marker : {"<s>", "</s>", "<sil>", "[NOISE]", "++BREATH++", "(NULL)", ""}) {
        EXPECT_FALSE(spokenWord(marker)) << marker;
    }
    EXPECT_EQ(spokenWord("was(2)"), "was");
    EXPECT_EQ(spokenWord("r(2)d2"), "r(2)d2");
    EXPECT_EQ(spokenWord("你好"), "你好");

    EXPECT_EQ(joinWords({"he", "was", "not"}), "he was not");
    EXPECT_EQ(joinWords({"今天", "天气", "很好"}), "今天天气很好");
    EXPECT_EQ(joinWords({"我", "用", "iPhone", "拍", "3D", "video"}), "我用iPhone拍3D video");
    EXPECT_EQ(joinWords({"好", "，", "ok"}), "好，ok");
}

// 1 s of a 440 Hz tone as 48 kHz stereo float comes out as 1 s of 16 kHz mono at the same level.
TEST(AudioConverterTest, ResamplesAndMixesDownAnyInput) {
    media::AudioSample tone;
    tone.format = media::SampleFormat::Float32;
    tone.sampleRate = 48000;
    tone.channels = 2;
    tone.data.resize(48000 * 2 * sizeof(float));
    auto* values = reinterpret_cast<float*>(tone.data.data());
    for (int i = 0; i < 48000; ++i)
        values[2 * i] = values[2 * i + 1] = 0.5f * std::sin(2 * M_PI * 440 * i / 48000.0);

    AudioConverter converter;
    std::vector<int16_t> out;
    // In pieces, as a microphone delivers it.
    for (const auto& piece : splitAudio(tone, 0.01)) ASSERT_TRUE(converter.convert(piece, out));
    converter.flush(out);
    EXPECT_NEAR(static_cast<double>(out.size()), 16000, 40);
    int peak = 0;
    for (size_t i = 1000; i < out.size() - 1000; ++i)
        peak = std::max(peak, std::abs(static_cast<int>(out[i])));
    EXPECT_NEAR(peak, 0.5 * 32767, 0.03 * 32767);

    media::AudioSample torn = tone;
    torn.data.resize(torn.data.size() - 3);
    EXPECT_FALSE(converter.convert(torn, out));
    media::AudioSample silent = tone;
    silent.channels = 0;
    EXPECT_FALSE(converter.convert(silent, out));
}

TEST(WavFileTest, ReadsRecordingsAndRefusesOtherFiles) {
    auto read = readWavFile(kLibrivox + "0870.wav");
    ASSERT_TRUE(read.ok()) << read.error();
    const media::AudioSample& audio = *read;
    EXPECT_EQ(audio.sampleRate, 16000);
    EXPECT_EQ(audio.channels, 1);
    EXPECT_EQ(audio.format, media::SampleFormat::Int16);
    EXPECT_EQ(audio.frameCount(), 113600);
    auto pieces = splitAudio(audio, 0.1);
    ASSERT_EQ(pieces.size(), 71u);
    EXPECT_DOUBLE_EQ(pieces[70].presentationTime.seconds(), 7.0);

    TempDir dir;
    touch(dir.path() / "text.wav", "RIFF....WAVEnot really");
    const std::string text = (dir.path() / "text.wav").string();
    auto notWav = readWavFile(text);
    ASSERT_FALSE(notWav.ok());
    EXPECT_EQ(notWav.error(), (SpeechError{SpeechError::Kind::unreadableAudio, text,
                                           text + ": no format or data chunk"}));
    const std::string absent = (dir.path() / "absent.wav").string();
    auto missing = readWavFile(absent);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().message, "cannot open " + absent);
}

// A whole task on the engine: a recording delivered as 48 kHz stereo float, as a microphone
// would, gives partial results, then one final transcription with its words in time order
// within the request's audio, on the recogniser's queue.
TEST(SpeechRecognizerTest, DecodesMicrophoneAudioIntoTimedWords) {
    auto recognizer = SpeechRecognizer::shared("en-US");
    ASSERT_TRUE(recognizer->isAvailable());
    // "had he married a more amiable woman ..."
    auto read = readWavFile(kLibrivox + "0920.wav");
    ASSERT_TRUE(read.ok()) << read.error();
    const media::AudioSample source = std::move(read).value();

    // Upsample 16 kHz mono to 48 kHz stereo float by linear interpolation.
    const auto* in = reinterpret_cast<const int16_t*>(source.data.data());
    int frames = source.frameCount();
    media::AudioSample mic;
    mic.format = media::SampleFormat::Float32;
    mic.sampleRate = 48000;
    mic.channels = 2;
    mic.presentationTime = media::MediaTime::zero();
    mic.data.resize(static_cast<size_t>(frames) * 3 * 2 * sizeof(float));
    auto* out = reinterpret_cast<float*>(mic.data.data());
    for (int i = 0; i < frames * 3; ++i) {
        int k = i / 3;
        float a = in[k] / 32768.0f, b = in[std::min(k + 1, frames - 1)] / 32768.0f;
        out[2 * i] = out[2 * i + 1] = a + (b - a) * static_cast<float>(i % 3) / 3.0f;
    }

    std::mutex mutex;
    std::vector<std::string> partials;
    std::optional<RecognitionResult> final;
    std::optional<RecognitionError> error;
    bool onQueue = true;
    auto request = std::make_shared<AudioBufferRecognitionRequest>();
    auto task = recognizer->recognitionTask(request, [&](const auto& result, const auto& failure) {
        std::lock_guard lock(mutex);
        onQueue = onQueue && recognizer->queue().isCurrent();
        if (result && !result->isFinal)
            partials.push_back(result->bestTranscription.formattedString);
        if (result && result->isFinal) final = result;
        if (failure) error = failure;
    });
    ASSERT_TRUE(recognizer->waitUntilLoaded(300));
    for (const auto& piece : splitAudio(mic, 0.05)) {
        request->appendAudioSample(piece);
        request->waitUntilDecoded(300);  // at the decoder's pace, so partial results have a chance
    }
    request->endAudio();
    ASSERT_TRUE(test::pumpUntil([&] { return task->isFinished(); }, 300s));

    std::lock_guard lock(mutex);
    EXPECT_TRUE(onQueue);
    ASSERT_FALSE(error) << error->message;
    ASSERT_TRUE(final);
    const auto& words = final->bestTranscription.segments;
    EXPECT_NE(final->bestTranscription.formattedString.find("married"), std::string::npos)
        << final->bestTranscription.formattedString;
    EXPECT_NE(final->bestTranscription.formattedString.find("respectable"), std::string::npos);
    ASSERT_GE(words.size(), 10u);
    EXPECT_FALSE(partials.empty());
    std::string rebuilt;
    for (size_t i = 0; i < words.size(); ++i) {
        rebuilt += (i ? " " : "") + words[i].substring;
        if (i > 0) {
            EXPECT_GE(words[i].timestamp, words[i - 1].timestamp + words[i - 1].duration - 1e-9);
        }
        EXPECT_GT(words[i].duration, 0);
    }
    EXPECT_EQ(rebuilt, final->bestTranscription.formattedString);
    EXPECT_GE(words.front().timestamp, 0);
    EXPECT_LE(words.back().timestamp + words.back().duration, source.duration().seconds() + 0.05);
    // The task is done with the request: later audio is refused.
    request->appendAudioSample(source);
    EXPECT_FALSE(request->hasPendingAudio());
}

}  // namespace
}  // namespace zimlo::speech
