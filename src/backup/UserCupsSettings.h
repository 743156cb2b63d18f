#pragma once

#include "platform/RegistryStore.h"

#include <string>

namespace quill::backup {

// The key that carries the user's CUPS settings (default printer and per-printer
// options, the file ~/.cups/lpoptions) as its value "lpoptions", and the file itself.
inline constexpr const char* kCupsSettingsKey = "Printers\\Settings";
inline constexpr const char* kLpoptionsValue = "lpoptions";
std::string UserLpoptionsFile();

// Copies the file into the key; a user without the file gets no value. False with the
// reason when the file cannot be read or the key cannot take it.
bool CaptureUserCupsSettings(platform::RegistryStore& store, std::string& error);
// Writes the key's copy back over the file in one step, or removes the file when the key
// holds none. False with the reason when the file cannot be written or removed.
bool ApplyUserCupsSettings(const platform::RegistryStore& store, std::string& error);

} // namespace quill::backup
