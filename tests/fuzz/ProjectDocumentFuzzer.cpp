// libFuzzer target for the project document decoder: any bytes must either decode or fail with
// DecodingError (no crash, no sanitizer report, no runaway time or memory), and whatever decodes
// must encode and decode back to the same project. Whatever the plain JSON reader reads, the
// general parser must read the same way.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "model/PlainJsonReader.h"
#include "model/RecordingProject.h"

namespace {

using zimlo::json_detail::Json;

// Same values of the same types in the same order; doubles down to the sign of zero.
bool same(const Json& a, const Json& b) {
    if (a.type() != b.type()) return false;
    if (a.is_object()) {
        if (a.size() != b.size()) return false;
        for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j)
            if (i.key() != j.key() || !same(*i, *j)) return false;
        return true;
    }
    if (a.is_array()) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i)
            if (!same(a[i], b[i])) return false;
        return true;
    }
    if (a.is_number_float())
        return a.get<double>() == b.get<double>() &&
               std::signbit(a.get<double>()) == std::signbit(b.get<double>());
    return a == b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto plain = zimlo::json_detail::readPlainJson(text)) {
        // It reads only what lies far within the limits, so the unbounded parser is safe here.
        Json general;
        try {
            general = Json::parse(text.begin(), text.end());
        } catch (const nlohmann::json::exception&) {
            std::abort();
        }
        if (!same(*plain, general)) std::abort();
    }
    zimlo::RecordingProject project;
    try {
        project = zimlo::RecordingProject::fromJSON(text);
    } catch (const zimlo::DecodingError&) {
        return 0;
    }
    auto encoded = project.toJSON();
    if (!encoded) return 0;  // a text field that is not UTF-8 is read but cannot be written
    if (!(zimlo::RecordingProject::fromJSON(*encoded) == project)) std::abort();
    return 0;
}
