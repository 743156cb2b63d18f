#pragma once

#include <dirent.h>
#include <sys/stat.h>

namespace quill::test {

// The sockets this process has open now.
inline int OpenSockets() {
    int count = 0;
    DIR* fds = ::opendir("/proc/self/fd");
    if (!fds) return 0;
    while (const dirent* entry = ::readdir(fds)) {
        struct stat st {};
        if (::fstatat(::dirfd(fds), entry->d_name, &st, 0) == 0 && S_ISSOCK(st.st_mode)) ++count;
    }
    ::closedir(fds);
    return count;
}

} // namespace quill::test
