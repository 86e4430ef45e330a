#include "subtitles/SubtitleSegmenter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "platform/text/UnicodeText.h"

namespace zimlo::SubtitleSegmenter {

namespace {

bool isAsciiAlphanumeric(char32_t c) {
    return (c >= U'0' && c <= U'9') || (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z');
}

// True when the character (one grapheme) is a single ASCII letter or digit.
bool isSingleAsciiAlphanumeric(std::string_view character) {
    return isAsciiAlphanumeric(text::singleScalar(character));
}

bool endsWithSentenceEnding(std::string_view character) {
    char32_t c = text::singleScalar(character);
    return isSentenceEnding(c);
}

// Word times in whole microseconds. The cutting rules compare these, never sums of doubles: the
// offset then cannot change a cut (0.55 s after 7.3 s is not exactly 0.55 s in binary), and
// pauses and durations of exactly the limit count as reaching it.
int64_t microseconds(double seconds) {
    if (std::isnan(seconds)) return 0;
    return std::llround(std::clamp(seconds, -1e12, 1e12) * 1e6);
}

}  // namespace

bool isSentenceEnding(char32_t c) {
    switch (c) {
        case U'\u3002':
        case U'\uFF01':
        case U'\uFF1F':
        case U'\u2026':
        case U'.':
        case U'!':
        case U'?':
            return true;
        default:
            return false;
    }
}

std::vector<SubtitleSegment> segments(const std::vector<TranscriptionSegment>& words,
                                      double offset) {
    std::vector<SubtitleSegment> result;
    if (words.empty()) return result;

    std::string buffer;
    size_t bufferCharacters = 0;
    // The segment's start and end on the recording timeline, and as word times in microseconds
    // (the offset not added) for the rules.
    double start = offset + words.front().timestamp;
    double end = start;
    int64_t startTicks = microseconds(words.front().timestamp);
    int64_t endTicks = startTicks;
    const int64_t longest = microseconds(kLongestSegmentDuration);
    const int64_t pause = microseconds(kPause);
    const int64_t shortest = microseconds(kShortestSegmentDuration);

    auto close = [&] {
        std::string trimmed = text::trimSpacesAndTabs(buffer);
        if (!trimmed.empty()) {
            double finish =
                endTicks - startTicks > shortest ? end : start + kShortestSegmentDuration;
            result.push_back({Uuid::generate(), start, finish, std::move(trimmed)});
        }
        buffer.clear();
        bufferCharacters = 0;
    };

    for (size_t i = 0; i < words.size(); ++i) {
        const TranscriptionSegment& word = words[i];
        if (buffer.empty()) {
            start = offset + word.timestamp;
            startTicks = microseconds(word.timestamp);
        }
        if (!buffer.empty() && !word.substring.empty() &&
            isSingleAsciiAlphanumeric(text::lastCharacter(buffer)) &&
            isSingleAsciiAlphanumeric(text::firstCharacter(word.substring))) {
            buffer += ' ';
        }
        buffer += word.substring;
        // Counted on the whole buffer: a word may join the previous one into one character.
        bufferCharacters = text::characterCount(buffer);
        end = offset + word.timestamp + word.duration;
        endTicks = microseconds(word.timestamp) + microseconds(word.duration);
        bool endsSentence =
            !word.substring.empty() && endsWithSentenceEnding(text::lastCharacter(word.substring));

        // A segment ends with the words, at its longest duration, at a sentence's end, at a
        // pause, or when one more character would make it too long.
        const bool last = i + 1 == words.size();
        if (last || endTicks - startTicks >= longest || endsSentence ||
            microseconds(words[i + 1].timestamp) - endTicks >= pause ||
            bufferCharacters >= kLongestSegmentText + 1) {
            close();
        }
    }
    return result;
}

std::string liveCaptionText(std::string_view text, size_t maxCharacters) {
    std::string current, lastComplete;
    for (const std::string& character : text::characters(text)) {
        current += character;
        if (endsWithSentenceEnding(character)) {
            lastComplete = std::move(current);
            current.clear();
        }
    }
    std::string chosen = text::trimWhitespaceAndNewlines(current);
    if (chosen.empty()) chosen = text::trimWhitespaceAndNewlines(lastComplete);
    if (text::characterCount(chosen) <= maxCharacters) return chosen;
    return text::lastCharacters(chosen, maxCharacters);
}

}  // namespace zimlo::SubtitleSegmenter
