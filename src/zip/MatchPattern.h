#pragma once

#include <string>

namespace quill::zip {

// Whether a name matches a selection pattern: "*" any run, "?" one character, "<...>"
// one character of a set (ranges with "-", "!" or "^" first negates).
bool MatchPattern(const std::string& pattern, const std::string& name);

} // namespace quill::zip
