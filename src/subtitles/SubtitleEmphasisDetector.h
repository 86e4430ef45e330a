#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text/TextRange.h"

namespace zimlo {

// Chooses the key words of one subtitle: numbers with units, hashtags and mentions, names of
// people, places and organisations, and otherwise the strongest content words.
namespace SubtitleEmphasisDetector {

// Up to three non-overlapping ranges of `text` (UTF-8), in UTF-16 code units, sorted by
// location. Safe to call from any thread. The word tagger's dictionaries load in the
// background on first use: a call from another thread waits for them, a call on the main
// thread does not and uses only the tagger-free candidates until they are ready (call
// text::WordTagger::shared().preload() early to avoid that).
std::vector<text::TextRange> emphasisRanges(std::string_view text);
std::vector<text::TextRange> emphasisRanges(std::u16string_view text);

// The matches, left to right, of the key-word expression
// "(?:[#@][\p{L}\p{N}_]+)|(?:\d+(?:[.,]\d+)?(?:%|[A-Za-z]+)?)|(?:[A-Za-z][A-Za-z0-9_-]{2,})"
// as ICU's regular expressions find them, in UTF-16 code units.
std::vector<text::TextRange> patternMatches(std::u16string_view text);

// The two halves of emphasisRanges, for inspection: every candidate range with its best score,
// and the choice among candidates for a text of `characterCount` characters.
std::map<text::TextRange, int> candidates(std::u16string_view text);
std::vector<text::TextRange> choose(const std::map<text::TextRange, int>& candidates,
                                    size_t characterCount);

}  // namespace SubtitleEmphasisDetector

}  // namespace zimlo
