// "text" commands: subtitle text rules, key-word emphasis and the word tagger.

#include <charconv>
#include <chrono>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "CommandRegistry.h"
#include "platform/text/UnicodeText.h"
#include "platform/text/WordTagger.h"
#include "subtitles/SubtitleEmphasisDetector.h"
#include "subtitles/SubtitleSegmenter.h"

namespace zimlo::tool {

namespace {

// Word lists and sentence files are small; anything near this is not one.
constexpr size_t kMaximumInputBytes = size_t{64} << 20;

std::string formatSeconds(double value) {
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, end);
}

// The tool runs on the main thread, where the tagger does not wait for its dictionaries.
bool loadTagger() {
    auto& tagger = text::WordTagger::shared();
    if (!tagger.waitUntilLoaded(std::chrono::minutes(5))) return false;
    if (auto error = tagger.chineseError()) std::cerr << "warning: " << *error << "\n";
    if (auto error = tagger.englishError()) std::cerr << "warning: " << *error << "\n";
    return true;
}

double number(const nlohmann::json& value, const char* what) {
    if (!value.is_number()) throw std::runtime_error(std::string(what) + " must be a number");
    return value.get<double>();
}

int segmentsCommand(const std::vector<std::string>& args) {
    if (args.size() != 2) return fail("usage: zimlo-tool text segments FILE.json");
    const std::string text = readInputFile(args[1], kMaximumInputBytes);
    nlohmann::json document;
    try {
        document = nlohmann::json::parse(text);
    } catch (const std::exception& error) {
        return fail(args[1] + ": " + error.what());
    }
    std::vector<TranscriptionSegment> words;
    double offset = 0;
    try {
        if (!document.is_object()) throw std::runtime_error("expected an object");
        if (document.contains("offset")) offset = number(document["offset"], "offset");
        if (!document.contains("words") || !document["words"].is_array())
            throw std::runtime_error("\"words\" must be a list");
        for (const auto& word : document["words"]) {
            if (!word.is_object() || !word.contains("substring") || !word["substring"].is_string())
                throw std::runtime_error("each word needs a \"substring\" text");
            words.push_back({word["substring"].get<std::string>(),
                             number(word.value("timestamp", nlohmann::json()), "timestamp"),
                             number(word.value("duration", nlohmann::json()), "duration")});
        }
    } catch (const std::exception& error) {
        return fail(args[1] + ": " + error.what());
    }
    for (const SubtitleSegment& segment : SubtitleSegmenter::segments(words, offset))
        std::cout << formatSeconds(segment.startTime) << '\t' << formatSeconds(segment.endTime)
                  << '\t' << segment.text << '\n';
    return 0;
}

int captionCommand(const std::vector<std::string>& args) {
    if (args.size() < 2 || args.size() > 3)
        return fail("usage: zimlo-tool text caption TEXT [MAX]");
    size_t max = 36;
    if (args.size() == 3) {
        const std::string& s = args[2];
        auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), max);
        if (ec != std::errc() || end != s.data() + s.size())
            return fail("MAX must be a whole number >= 0");
    }
    std::cout << SubtitleSegmenter::liveCaptionText(args[1], max) << '\n';
    return 0;
}

int emphasisCommand(const std::vector<std::string>& args) {
    if (args.size() != 2) return fail("usage: zimlo-tool text emphasis TEXT");
    if (!loadTagger()) return fail("the word tagger did not load");
    std::u16string text = text::toUtf16(args[1]);
    for (const text::TextRange& range : SubtitleEmphasisDetector::emphasisRanges(text))
        std::cout << range.location << '\t' << range.length << '\t' << text::substring(text, range)
                  << '\n';
    return 0;
}

int tagCommand(const std::vector<std::string>& args) {
    if (args.size() != 2) return fail("usage: zimlo-tool text tag TEXT");
    if (!loadTagger()) return fail("the word tagger did not load");
    std::u16string text = text::toUtf16(args[1]);
    auto tagged = text::WordTagger::shared().tag(text, text::dominantLanguage(text));
    if (!tagged) return 0;
    // Names of several words print as one token with the class of their last word.
    const auto& words = tagged->words;
    for (size_t i = 0; i < words.size(); ++i) {
        text::TextRange range = words[i].range;
        text::NameType type = text::NameType::none;
        size_t last = i;
        for (const auto& name : tagged->names) {
            if (name.range.location < range.location || name.range.location >= range.end())
                continue;
            type = name.type;
            while (last + 1 < words.size() && words[last + 1].range.location < name.range.end())
                ++last;
            range = last > i ? text::TextRange{range.location, name.range.end() - range.location}
                             : range;
            break;
        }
        std::cout << text::substring(text, range) << '\t'
                  << text::lexicalClassName(words[last].lexicalClass) << '\t'
                  << text::nameTypeName(type) << '\n';
        i = last;
    }
    return 0;
}

std::vector<std::string> readLines(const std::string& path);

// Chinese words with the dictionary's own tags ("word/tag ..."), one line per input line, to
// compare the cut with other jieba implementations. Punctuation and spaces are left out.
int cutCommand(const std::vector<std::string>& args) {
    if (args.size() != 2) return fail("usage: zimlo-tool text cut FILE");
    if (!loadTagger()) return fail("the word tagger did not load");
    for (const auto& line : readLines(args[1])) {
        std::u16string text = text::toUtf16(line);
        auto tagged = text::WordTagger::shared().tag(text, text::Language::chinese);
        if (!tagged) return fail("the Chinese dictionary is unavailable");
        std::string out;
        for (const auto& word : tagged->words)
            out += text::substring(text, word.range) + "/" + word.tag + " ";
        std::cout << out << '\n';
    }
    return 0;
}

std::vector<std::string> readLines(const std::string& path) {
    std::istringstream in(readInputFile(path, kMaximumInputBytes));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

// Times emphasisRanges per sentence after the dictionaries have loaded.
int benchCommand(const std::vector<std::string>& args) {
    if (args.size() < 2) return fail("usage: zimlo-tool text bench SENTENCES.txt...");
    using Clock = std::chrono::steady_clock;
    auto started = Clock::now();
    if (!loadTagger()) return fail("the word tagger did not load");
    double loadWall = std::chrono::duration<double>(Clock::now() - started).count();
    auto& tagger = text::WordTagger::shared();
    std::cout << "load: " << loadWall << " s ("
              << (tagger.loadedFromCache() ? "binary cache" : "built from sources") << ")\n";
    size_t ranges = 0;
    for (size_t f = 1; f < args.size(); ++f) {
        std::vector<std::u16string> sentences;
        for (const auto& line : readLines(args[f])) sentences.push_back(text::toUtf16(line));
        if (sentences.empty()) continue;
        auto pass = [&] {
            auto t0 = Clock::now();
            for (const auto& s : sentences)
                ranges += SubtitleEmphasisDetector::emphasisRanges(s).size();
            return std::chrono::duration<double>(Clock::now() - t0).count();
        };
        double first = pass();
        constexpr int kPasses = 5;
        double total = 0;
        for (int i = 0; i < kPasses; ++i) total += pass();
        std::cout << args[f] << ": " << sentences.size() << " sentences, first pass "
                  << first / double(sentences.size()) * 1000 << " ms/sentence, mean of " << kPasses
                  << " passes " << total / kPasses / double(sentences.size()) * 1000
                  << " ms/sentence\n";
    }
    std::cout << "ranges found: " << ranges << "\n";
    return 0;
}

int run(const std::vector<std::string>& args) {
    if (args.empty()) return fail("usage: zimlo-tool text segments|caption|emphasis|tag|bench ...");
    const std::string& command = args[0];
    if (command == "segments") return segmentsCommand(args);
    if (command == "caption") return captionCommand(args);
    if (command == "emphasis") return emphasisCommand(args);
    if (command == "tag") return tagCommand(args);
    if (command == "bench") return benchCommand(args);
    if (command == "cut") return cutCommand(args);
    return fail("unknown text command '" + command + "'");
}

RegisterCommandGroup textGroup(
    {"text",
     "  text segments FILE.json      cut timed words into subtitle segments\n"
     "  text caption TEXT [MAX]      live caption of a running text (MAX 36)\n"
     "  text emphasis TEXT           key-word ranges: location, length, text\n"
     "  text tag TEXT                words with lexical class and name type\n"
     "  text bench FILE...           time key-word emphasis per sentence\n"
     "  text cut FILE                Chinese words with dictionary tags, per line\n",
     run});

}  // namespace

}  // namespace zimlo::tool
