#include "backup/RegistryKeyFile.h"

#include "backup/UserCupsSettings.h"
#include "platform/PathExists.h"

#include <unistd.h>

namespace quill::backup {

// The privilege step of the registry has no counterpart here: the store belongs to the
// user. Paths are whole strings of any length.

void SaveKeyToFile(platform::RegistryStore& store, const std::string& subkey, const std::string& file) {
    // The save never writes over a file.
    if (platform::PathExists(file, 0)) ::unlink(file.c_str());
    if (subkey == kCupsSettingsKey) CaptureUserCupsSettings(store);
    // A failed save is not reported; the caller goes on with the next key.
    store.SaveKey(subkey, file);
}

void RestoreKeyFromFile(platform::RegistryStore& store, widgets::Dialogs& dialogs, const std::string& subkey,
                        const std::string& file) {
    if (!store.RestoreKey(subkey, file)) {
        dialogs.ShowMessage("RESTORE ERROR!");
        return;
    }
    if (subkey == kCupsSettingsKey) ApplyUserCupsSettings(store);
}

} // namespace quill::backup
