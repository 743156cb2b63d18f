#pragma once

#include <string>

namespace quill::platform {

// Whether the first entry that a directory search for path finds (the path itself, or
// the first match of a pattern with * and ? in its last part) is a file (kind 0) or a
// folder (kind 1); any other kind is false. An entry whose modification time cannot be
// written as a DOS date and time (before 1980 or after 2107, local time) counts as
// absent.
bool PathExists(const std::string& path, int kind);

} // namespace quill::platform
