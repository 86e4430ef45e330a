#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zimlo::speech {

// The spoken word behind a decoder word: nothing for sentence markers ("<s>", "</s>"), silence
// ("<sil>") and fillers ("[NOISE]", "++BREATH++", "(NULL)"); alternate pronunciations lose
// their "(2)" suffix.
std::optional<std::string> spokenWord(std::string_view decoderWord);

// True for characters written without spaces between words: CJK ideographs, kana, hangul and
// the full-width punctuation that goes with them.
bool isCJKCodePoint(char32_t c);

// Words as one text: Chinese words joined directly, Latin words with one space, and no space
// where either side of the joint is Chinese.
std::string joinWords(const std::vector<std::string>& words);

}  // namespace zimlo::speech
