#pragma once

#include "platform/RegistryStore.h"
#include "widgets/Dialogs.h"

#include <stdexcept>
#include <string>

namespace quill::backup {

// A settings key cannot be saved, or an archive cannot be restored; the text names what
// and why.
class ESettingsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Writes a subkey of the user's registry into a hive file. An older file of that name is
// deleted first. The key "Printers\Settings" first takes in the user's CUPS settings.
// When the key cannot be saved, ESettingsError names the key and the reason, and nothing
// is at the path.
void SaveKeyToFile(platform::RegistryStore& store, const std::string& subkey, const std::string& file);

// Loads a hive file over a subkey of the user's registry; on failure the key stays as it
// was and "RESTORE ERROR!" is shown. After "Printers\Settings" has been restored, the
// user's CUPS settings are written back from it; when they cannot be, the message says
// why.
void RestoreKeyFromFile(platform::RegistryStore& store, widgets::Dialogs& dialogs, const std::string& subkey,
                        const std::string& file);

} // namespace quill::backup
