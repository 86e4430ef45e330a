// libFuzzer target for the settings reader: any bytes must either be refused with a reason or
// give a JSON object within the reader's limits (no crash, no sanitizer report, no runaway time
// or memory), and whatever is accepted must write and read back the same.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/storage/SettingsFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto decoded = zimlo::SettingsFile::decode(text);
    if (!decoded) {
        if (decoded.error().empty()) std::abort();
        return 0;
    }
    if (!decoded->is_object() || decoded->size() > zimlo::SettingsFile::kLimits.keysPerObject)
        std::abort();
    // As a write stores it.
    const std::string written =
        decoded->dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    auto again = zimlo::SettingsFile::decode(written);
    if (!again || *again != *decoded) std::abort();
    return 0;
}
