#include "backup/RegistryKeyFile.h"

#include "backup/UserCupsSettings.h"
#include "platform/PathExists.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace quill::backup {

// The privilege step of the registry has no counterpart here: the store belongs to the
// user. Paths are whole strings of any length.

void SaveKeyToFile(platform::RegistryStore& store, const std::string& subkey, const std::string& file) {
    auto fail = [&](const std::string& reason) {
        throw ESettingsError("The settings were not saved: the key " + subkey + " cannot be saved: " + reason + ".");
    };
    // The save never writes over a file.
    if (platform::PathExists(file, 0) && ::unlink(file.c_str()) != 0)
        fail("the older file " + file + " cannot be deleted: " + std::strerror(errno));
    std::string error;
    if (subkey == kCupsSettingsKey && !CaptureUserCupsSettings(store, error)) fail(error);
    if (!store.SaveKey(subkey, file)) fail(store.LastError());
}

void RestoreKeyFromFile(platform::RegistryStore& store, widgets::Dialogs& dialogs, const std::string& subkey,
                        const std::string& file) {
    if (!store.RestoreKey(subkey, file)) {
        dialogs.ShowMessage("RESTORE ERROR!");
        return;
    }
    std::string error;
    if (subkey == kCupsSettingsKey && !ApplyUserCupsSettings(store, error))
        dialogs.ShowMessage("The key " + subkey + " was restored, but the CUPS settings were not: " + error + ".");
}

} // namespace quill::backup
