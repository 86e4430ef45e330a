#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text/TextRange.h"

// Character-level text rules shared by the subtitle code. "Characters" are user-perceived
// characters (extended grapheme clusters): one Chinese character or one accented letter is one.
// Text is UTF-8 unless a function takes UTF-16; malformed UTF-8 reads as U+FFFD.
namespace zimlo::text {

std::u16string toUtf16(std::string_view utf8);
std::string toUtf8(std::u16string_view utf16);

// Number of user-perceived characters.
size_t characterCount(std::string_view text);
size_t characterCount(std::u16string_view text);

// UTF-16 offsets where user-perceived characters start, followed by the text's length
// ({0} for "").
std::vector<int32_t> characterBoundaries(std::u16string_view text);
// Characters inside `range` of the text whose boundaries are given; a range whose ends are not
// character boundaries is counted on its own.
size_t characterCount(std::u16string_view text, const std::vector<int32_t>& boundaries,
                      TextRange range);

// The text cut into user-perceived characters, in order.
std::vector<std::string> characters(std::string_view text);

// The last `count` characters (the whole text when it has fewer).
std::string lastCharacters(std::string_view text, size_t count);

// Spaces and tabs: the space separators (Zs, which includes U+00A0 and U+3000) and U+0009.
bool isSpaceOrTab(char32_t c);
// White space and line breaks: every separator (Zs, Zl, Zp), U+0009...U+000D and U+0085.
bool isWhitespaceOrNewline(char32_t c);

std::string trimSpacesAndTabs(std::string_view text);
std::string trimWhitespaceAndNewlines(std::string_view text);
std::u16string trimWhitespaceAndNewlines(std::u16string_view text);

// The single Unicode scalar of a one-scalar string; U+FFFFFFFF otherwise (also for "").
char32_t singleScalar(std::string_view text);
// First and last scalar of a non-empty text; U+FFFFFFFF for "".
char32_t firstScalar(std::string_view text);
char32_t lastScalar(std::string_view text);
// The first and last user-perceived character.
std::string firstCharacter(std::string_view text);
std::string lastCharacter(std::string_view text);

// Lower case by the root locale's rules.
std::u16string lowercased(std::u16string_view text);

// True when the text holds a letter (L*) or a digit (N*) of any script.
bool containsLetterOrDigit(std::u16string_view text);
// True when the text holds a decimal digit (Nd).
bool containsDecimalDigit(std::u16string_view text);

// The substring of a UTF-16 range, as UTF-8.
std::string substring(std::u16string_view text, TextRange range);

// Every match of an ICU regular expression (no flags) in `text`, left to right, as UTF-16
// ranges. A pattern that does not compile yields nothing. Patterns are compiled once and
// cached; matching is safe from any thread.
std::vector<TextRange> regexMatches(std::u16string_view pattern, std::u16string_view text);

}  // namespace zimlo::text
