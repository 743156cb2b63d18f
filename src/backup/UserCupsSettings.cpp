#include "backup/UserCupsSettings.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace quill::backup {
namespace {

bool Failed(std::string& error, const std::string& what) {
    error = what + ": " + std::strerror(errno);
    return false;
}

} // namespace

std::string UserLpoptionsFile() {
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.cups/lpoptions";
}

bool CaptureUserCupsSettings(platform::RegistryStore& store, std::string& error) {
    const std::string path = UserLpoptionsFile();
    // Read with the bound of a hive: a larger file could never be saved, and put into the
    // store it would stay there, or make the store too large to be read at all.
    const auto content = platform::ReadWholeFile(path, platform::kMaxHiveSize);
    bool stored = false;
    if (!content) {
        if (errno == EFBIG) {
            error = "the CUPS settings " + path + " are larger than settings can be (" +
                    std::to_string(platform::kMaxHiveSize) + " bytes)";
            return false;
        }
        if (errno != ENOENT) return Failed(error, "the CUPS settings " + path + " cannot be read");
        // No file: the user has no default printer and no saved options.
        stored =
            !store.Value(kCupsSettingsKey, kLpoptionsValue) || store.DeleteValue(kCupsSettingsKey, kLpoptionsValue);
    } else {
        stored = store.SetValue(kCupsSettingsKey, kLpoptionsValue, platform::RegistryValue::Bytes(*content));
    }
    if (!stored) error = "the CUPS settings cannot be put into the key: " + store.LastError();
    return stored;
}

bool ApplyUserCupsSettings(const platform::RegistryStore& store, std::string& error) {
    const std::string path = UserLpoptionsFile();
    const auto values = store.Values(kCupsSettingsKey);
    if (!values) {
        error = "the key cannot be read: " + store.LastError();
        return false;
    }
    const auto saved = values->find(kLpoptionsValue);
    if (saved == values->end())
        return ::unlink(path.c_str()) == 0 || errno == ENOENT || Failed(error, path + " cannot be removed");
    const std::string folder = path.substr(0, path.rfind('/'));
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return Failed(error, folder + " cannot be made");
    // CUPS reads the file while it may be replaced: it sees the old or the new one whole.
    return platform::WriteFileAtomically(path, saved->second.data, 0644) || Failed(error, path + " cannot be written");
}

} // namespace quill::backup
