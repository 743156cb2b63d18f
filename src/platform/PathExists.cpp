#include "platform/PathExists.h"

#include <ctime>
#include <glob.h>
#include <sys/stat.h>

namespace quill::platform {
namespace {

// The first match of a search for path: the path itself, or the first entry that its
// pattern matches.
bool FirstMatch(const std::string& path, struct stat& entry) {
    const auto slash = path.rfind('/');
    const std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    if (last.find_first_of("*?") == std::string::npos) return ::stat(path.c_str(), &entry) == 0;
    glob_t found{};
    // Only the last part is a pattern, as in a directory search; brackets are plain.
    const int result = ::glob(path.c_str(), GLOB_NOSORT | GLOB_NOESCAPE, nullptr, &found);
    const bool matched = result == 0 && found.gl_pathc > 0 && ::stat(found.gl_pathv[0], &entry) == 0;
    ::globfree(&found);
    return matched;
}

// Whether a time can be written as a DOS date and time in local time.
bool InDosRange(std::time_t time) {
    std::tm local{};
    if (!::localtime_r(&time, &local)) return false;
    const int year = local.tm_year + 1900;
    return year >= 1980 && year <= 2107;
}

} // namespace

bool PathExists(const std::string& path, int kind) {
    struct stat entry {};
    if (path.empty() || !FirstMatch(path, entry)) return false;
    const bool folder = S_ISDIR(entry.st_mode);
    if (kind == 0 ? folder : kind == 1 ? !folder : true) return false;
    return InDosRange(entry.st_mtime);
}

} // namespace quill::platform
