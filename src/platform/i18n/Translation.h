#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

// Marks a text in a table for lupdate; it is translated where it is shown. (Qt's own definition,
// for the code that does not include Qt.)
#ifndef QT_TRANSLATE_NOOP
#define QT_TRANSLATE_NOOP(scope, text) text
#endif

namespace zimlo {

// Texts users read are written in Chinese, the source language. translate() returns one in the
// language the application chose: the program with a user interface installs a lookup into its
// catalogue, and without one (zimlo-tool, the libraries on their own) the text comes back as
// written. lupdate finds the texts by this function's name, so both arguments must be string
// literals.
using TextLookup = std::string (*)(const char* context, const char* source);
void installTextLookup(TextLookup lookup);  // nullptr: texts as written again
std::string translate(const char* context, const char* source);

// `text` with the markers %1, %2, ... replaced by `arguments` in order. A translation may move
// the markers, so sentences with values in them stay whole for the translator instead of being
// put together from pieces. Markers without an argument are left as they are.
std::string withArguments(std::string_view text, std::initializer_list<std::string_view> arguments);

}  // namespace zimlo
