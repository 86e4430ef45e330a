#include "platform/speech/WordText.h"

namespace zimlo::speech {

namespace {

// First code point of UTF-8 text (U+FFFD for malformed input).
char32_t firstCodePoint(std::string_view text) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    if (text.empty()) return 0;
    unsigned char lead = byte(0);
    int length = lead < 0x80           ? 1
                 : (lead >> 5) == 0x6  ? 2
                 : (lead >> 4) == 0xE  ? 3
                 : (lead >> 3) == 0x1E ? 4
                                       : 0;
    if (length == 0 || text.size() < static_cast<size_t>(length)) return 0xFFFD;
    if (length == 1) return lead;
    char32_t c = lead & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0xFFFD;
        c = (c << 6) | (byte(i) & 0x3F);
    }
    return c;
}

char32_t lastCodePoint(std::string_view text) {
    if (text.empty()) return 0;
    size_t start = text.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    return firstCodePoint(text.substr(start));
}

}  // namespace

std::optional<std::string> spokenWord(std::string_view word) {
    if (word.empty() || word == "(NULL)") return std::nullopt;
    char first = word.front();
    if (first == '<' || first == '[' || first == '+') return std::nullopt;
    // "read(2)": the second pronunciation of "read".
    if (word.back() == ')') {
        size_t open = word.rfind('(');
        if (open != std::string_view::npos && open > 0 && open + 2 < word.size()) {
            bool digits = true;
            for (size_t i = open + 1; i + 1 < word.size(); ++i) {
                if (word[i] < '0' || word[i] > '9') digits = false;
            }
            if (digits) word = word.substr(0, open);
        }
    }
    return std::string(word);
}

bool isCJKCodePoint(char32_t c) {
    return (c >= 0x2E80 && c <= 0x2FDF) ||  // radicals
           (c >= 0x3000 && c <= 0x303F) ||  // CJK punctuation
           (c >= 0x3040 && c <= 0x30FF) ||  // kana
           (c >= 0x3100 && c <= 0x31FF) ||  // bopomofo, kana extensions
           (c >= 0x3400 && c <= 0x4DBF) ||  // extension A
           (c >= 0x4E00 && c <= 0x9FFF) ||  // unified ideographs
           (c >= 0xAC00 && c <= 0xD7AF) ||  // hangul
           (c >= 0xF900 && c <= 0xFAFF) ||  // compatibility ideographs
           (c >= 0xFF00 && c <= 0xFFEF) ||  // full-width forms
           (c >= 0x20000 && c <= 0x3FFFF);  // supplementary ideographs
}

std::string joinWords(const std::vector<std::string>& words) {
    std::string text;
    for (const auto& word : words) {
        if (word.empty()) continue;
        if (!text.empty() && !isCJKCodePoint(lastCodePoint(text)) &&
            !isCJKCodePoint(firstCodePoint(word))) {
            text += ' ';
        }
        text += word;
    }
    return text;
}

}  // namespace zimlo::speech
