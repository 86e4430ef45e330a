#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "model/RecordingProject.h"
#include "platform/speech/Transcription.h"

namespace zimlo {

// Text rules that turn recognised speech into subtitles: the live caption shown while
// recording, and timed segments of comfortable length cut from a final transcription.
// Lengths count user-perceived characters.
namespace SubtitleSegmenter {

inline constexpr double kLongestSegmentDuration = 3.2;   // seconds: a segment this long is closed
inline constexpr double kPause = 0.55;                   // seconds of silence that close a segment
inline constexpr size_t kLongestSegmentText = 21;        // characters; one more closes the segment
inline constexpr double kShortestSegmentDuration = 0.3;  // seconds every segment lasts at least

// True for the seven sentence-ending characters: 。！？… . ! ?
bool isSentenceEnding(char32_t c);

// Cuts the words of a final transcription into segments; `offset` (seconds) is added to every
// word time and places them on the recording timeline.
std::vector<SubtitleSegment> segments(const std::vector<TranscriptionSegment>& words,
                                      double offset);

// The part of the running text worth showing: the sentence being spoken, else the last complete
// one, trimmed and cut to its last `maxCharacters` characters.
std::string liveCaptionText(std::string_view text, size_t maxCharacters);

}  // namespace SubtitleSegmenter

}  // namespace zimlo
