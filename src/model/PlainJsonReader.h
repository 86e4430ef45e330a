#pragma once

// A quick reader for ordinary JSON documents. Not for use outside the model.

#include <optional>
#include <string_view>

#include "model/JsonDetail.h"

namespace zimlo::json_detail {

// Reads documents written the way the recorder writes them (short escapes only, no repeated
// keys, far within the limits of parseDocument) several times faster than the general parser,
// which is what listing a thousand drafts spends its time on. Gives nothing for anything else,
// malformed documents included: the general parser then decides, with its own errors. What it
// does read comes out as the general parser reads it: the same values of the same types in the
// same order.
std::optional<Json> readPlainJson(std::string_view text);

}  // namespace zimlo::json_detail
