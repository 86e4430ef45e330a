#pragma once

#include <string>
#include <vector>

namespace zimlo {

// One recognised word of a final transcription.
struct TranscriptionSegment {
    std::string substring;  // the recognised text of the word
    double timestamp = 0;   // seconds from the start of the request's audio to the word's start
    double duration = 0;    // seconds the word lasts

    friend bool operator==(const TranscriptionSegment&, const TranscriptionSegment&) = default;
};

// A final (or partial) recognition result: the whole text and its timed words in spoken order.
struct Transcription {
    std::string formattedString;
    std::vector<TranscriptionSegment> segments;

    friend bool operator==(const Transcription&, const Transcription&) = default;
};

}  // namespace zimlo
