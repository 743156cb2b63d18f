#include "backup/UserCupsSettings.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    bool stored = false;
    if (fd < 0) {
        // No file: the user has no default printer and no saved options.
        if (errno != ENOENT) return Failed(error, "the CUPS settings " + path + " cannot be read");
        stored =
            !store.Value(kCupsSettingsKey, kLpoptionsValue) || store.DeleteValue(kCupsSettingsKey, kLpoptionsValue);
    } else {
        std::string content;
        char buffer[65536];
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0) content.append(buffer, static_cast<std::size_t>(n));
        const int readError = errno;
        ::close(fd);
        errno = readError;
        if (n < 0) return Failed(error, "the CUPS settings " + path + " cannot be read");
        stored = store.SetValue(kCupsSettingsKey, kLpoptionsValue, platform::RegistryValue::Bytes(content));
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
