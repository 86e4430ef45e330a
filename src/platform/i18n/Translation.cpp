#include "platform/i18n/Translation.h"

#include <atomic>
#include <vector>

namespace zimlo {
namespace {

std::atomic<TextLookup> installedLookup{nullptr};

}  // namespace

void installTextLookup(TextLookup lookup) { installedLookup.store(lookup); }

std::string translate(const char* context, const char* source) {
    const TextLookup lookup = installedLookup.load();
    return lookup ? lookup(context, source) : std::string(source);
}

std::string withArguments(std::string_view text,
                          std::initializer_list<std::string_view> arguments) {
    const std::vector<std::string_view> values(arguments);
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        // %1 .. %99, like QString::arg; the values themselves are never scanned for markers.
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9') {
            size_t number = static_cast<size_t>(text[i + 1] - '0');
            size_t end = i + 2;
            if (end < text.size() && text[end] >= '0' && text[end] <= '9') {
                number = number * 10 + static_cast<size_t>(text[end] - '0');
                ++end;
            }
            if (number <= values.size()) {
                out += values[number - 1];
                i = end - 1;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

}  // namespace zimlo
