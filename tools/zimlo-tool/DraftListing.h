#pragma once

#include <string>
#include <vector>

namespace zimlo::tool {

// `drafts list [--root DIR]` (`args` from "list" on): the drafts newest first, one line each:
// ID, createdAt as the document stores it, main movie, picture-in-picture movie. Returns the
// exit code.
int listDrafts(const std::vector<std::string>& args);

}  // namespace zimlo::tool
