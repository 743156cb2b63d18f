#pragma once

#include "platform/RegistryStore.h"
#include "widgets/Dialogs.h"

#include <string>

namespace quill::backup {

// Writes a subkey of the user's registry into a hive file. An older file of that name is
// deleted first; when the save fails, nothing is at the path afterwards and nothing is
// shown. The key "Printers\Settings" first takes in the user's CUPS settings.
void SaveKeyToFile(platform::RegistryStore& store, const std::string& subkey, const std::string& file);

// Loads a hive file over a subkey of the user's registry; on failure the key stays as it
// was and "RESTORE ERROR!" is shown. After "Printers\Settings" has been restored, the
// user's CUPS settings are written back from it.
void RestoreKeyFromFile(platform::RegistryStore& store, widgets::Dialogs& dialogs, const std::string& subkey,
                        const std::string& file);

} // namespace quill::backup
