#include "sandbox/SpeechFeed.h"

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>

#include "sandbox/PulseServer.h"

namespace zimlo::sandbox {

std::vector<int16_t> librivoxSpeech(double seconds, double leadingSilence, double pause,
                                    std::vector<SpokenSentence>& spoken) {
    const std::filesystem::path dir = "/usr/share/pocketsphinx/test/data/librivox";
    const std::vector<std::pair<std::string, std::string>> clips = {
        {"sense_and_sensibility_01_austen_64kb-0880.wav", "he was not an ill disposed young man"},
        {"sense_and_sensibility_01_austen_64kb-0930.wav",
         "he might even have been made amiable himself"},
        {"sense_and_sensibility_01_austen_64kb-0890.wav",
         "unless to be rather cold hearted and rather selfish is to be ill disposed"},
    };
    const int rate = PulseServer::kMicrophoneRate;
    std::vector<int16_t> feed(static_cast<size_t>(leadingSilence * rate), 0);
    for (size_t i = 0; static_cast<double>(feed.size()) / rate < seconds; ++i) {
        const auto& [file, text] = clips[i % clips.size()];
        if (!std::filesystem::exists(dir / file))
            throw std::runtime_error("missing " + (dir / file).string() +
                                     " (package pocketsphinx-testdata)");
        auto clip = loadSpeechClip((dir / file).string());
        const double start = static_cast<double>(feed.size()) / rate;
        feed.insert(feed.end(), clip.begin(), clip.end());
        spoken.push_back({start, static_cast<double>(feed.size()) / rate, text});
        feed.resize(feed.size() + static_cast<size_t>(pause * rate), 0);
    }
    return feed;
}

std::vector<int16_t> loadSpeechClip(const std::string& wavPath) {
    auto fail = [&](const std::string& why) -> std::vector<int16_t> {
        throw std::runtime_error("cannot read " + wavPath + ": " + why);
    };
    std::ifstream in(wavPath, std::ios::binary);
    if (!in) return fail("cannot open it");
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto u16 = [&](size_t at) {
        return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at]) |
                                     static_cast<uint8_t>(bytes[at + 1]) << 8);
    };
    auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0)
        return fail("not a WAV file");
    int channels = 0, rate = 0, bits = 0, format = 0;
    const char* data = nullptr;
    size_t dataSize = 0;
    for (size_t at = 12; at + 8 <= bytes.size();) {
        const std::string id = bytes.substr(at, 4);
        const size_t size = u32(at + 4);
        const size_t body = at + 8;
        if (body + size > bytes.size()) return fail("truncated chunk " + id);
        if (id == "fmt " && size >= 16) {
            format = static_cast<int>(u16(body));
            channels = static_cast<int>(u16(body + 2));
            rate = static_cast<int>(u32(body + 4));
            bits = static_cast<int>(u16(body + 14));
        } else if (id == "data") {
            data = bytes.data() + body;
            dataSize = size;
        }
        at = body + size + (size & 1);
    }
    if (format != 1 || bits != 16 || channels < 1 || rate <= 0) return fail("not 16-bit PCM");
    if (!data) return fail("no sound data");
    const size_t frames = dataSize / (2 * static_cast<size_t>(channels));
    std::vector<double> mono(frames);
    for (size_t f = 0; f < frames; ++f) {
        double sum = 0;
        for (int c = 0; c < channels; ++c) {
            int16_t v;
            std::memcpy(&v, data + 2 * (f * static_cast<size_t>(channels) + static_cast<size_t>(c)),
                        2);
            sum += v;
        }
        mono[f] = sum / channels;
    }
    // Linear interpolation is plenty for speech meant for a recogniser.
    const double step = static_cast<double>(rate) / PulseServer::kMicrophoneRate;
    const auto count = static_cast<size_t>(std::floor(static_cast<double>(frames) / step));
    std::vector<int16_t> out(count);
    for (size_t i = 0; i < count; ++i) {
        const double position = static_cast<double>(i) * step;
        const auto left = static_cast<size_t>(position);
        const size_t right = std::min(left + 1, frames - 1);
        const double t = position - static_cast<double>(left);
        out[i] = static_cast<int16_t>(std::lround(mono[left] * (1 - t) + mono[right] * t));
    }
    return out;
}

}  // namespace zimlo::sandbox
