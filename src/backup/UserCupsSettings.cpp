#include "backup/UserCupsSettings.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quill::backup {

std::string UserLpoptionsFile() {
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.cups/lpoptions";
}

bool CaptureUserCupsSettings(platform::RegistryStore& store) {
    const int fd = ::open(UserLpoptionsFile().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        // No file: the user has no default printer and no saved options.
        if (errno != ENOENT) return false;
        return !store.Value(kCupsSettingsKey, kLpoptionsValue) || store.DeleteValue(kCupsSettingsKey, kLpoptionsValue);
    }
    std::string content;
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) content.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    if (n < 0) return false;
    return store.SetValue(kCupsSettingsKey, kLpoptionsValue, platform::RegistryValue::Bytes(content));
}

bool ApplyUserCupsSettings(const platform::RegistryStore& store) {
    const std::string path = UserLpoptionsFile();
    const auto saved = store.Value(kCupsSettingsKey, kLpoptionsValue);
    if (!saved) return ::unlink(path.c_str()) == 0 || errno == ENOENT;
    const std::string folder = path.substr(0, path.rfind('/'));
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
    // CUPS reads the file while it may be replaced: it sees the old or the new one whole.
    return platform::WriteFileAtomically(path, saved->data, 0644);
}

} // namespace quill::backup
