#include "backup/UserCupsSettings.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace quill::backup {

std::string UserLpoptionsFile() {
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.cups/lpoptions";
}

bool CaptureUserCupsSettings(platform::RegistryStore& store) {
    const std::string path = UserLpoptionsFile();
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        // No file: the user has no default printer and no saved options.
        if (errno != ENOENT) return false;
        return !store.Value(kCupsSettingsKey, kLpoptionsValue) || store.DeleteValue(kCupsSettingsKey, kLpoptionsValue);
    }
    std::ostringstream content;
    content << file.rdbuf();
    if (file.bad()) return false;
    return store.SetValue(kCupsSettingsKey, kLpoptionsValue, platform::RegistryValue::Bytes(content.str()));
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
