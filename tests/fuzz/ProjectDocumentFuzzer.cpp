// libFuzzer target for the project document decoder: any bytes must either decode or fail with
// DecodingError (no crash, no sanitizer report, no runaway time or memory), and whatever decodes
// must encode and decode back to the same project.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "model/RecordingProject.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    zimlo::RecordingProject project;
    try {
        project = zimlo::RecordingProject::fromJSON(text);
    } catch (const zimlo::DecodingError&) {
        return 0;
    }
    std::string encoded;
    try {
        encoded = project.toJSON();
    } catch (const zimlo::EncodingError&) {
        return 0;  // a text field that is not UTF-8 is read but cannot be written
    }
    if (!(zimlo::RecordingProject::fromJSON(encoded) == project)) std::abort();
    return 0;
}
