#pragma once

#include "backup/RegistryKeyFile.h"
#include "platform/RegistryStore.h"
#include "widgets/Dialogs.h"
#include "zip/TZipper.h"

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace quill::backup {

// The settings keys and the names of the files that carry them in a settings archive.
struct SettingsKey {
    const char* subkey;
    const char* file;
};
inline constexpr std::array<SettingsKey, 3> kSettingsKeys{
    {{"Printers\\DevModePerUser", "1.reg"}, {"Printers\\DevModes2", "2.reg"}, {"Printers\\Settings", "3.reg"}}};
// The most entries an archive may hold for its settings to be restored.
inline constexpr int kMaxArchiveEntries = 4096;

// The runtime's pseudo-random generator: a 32-bit seed, 0 at the start, so the numbers
// (and the restore folders' names) repeat from run to run.
class RuntimeRandom {
public:
    // A number below range.
    std::uint32_t Random(std::uint32_t range);
    std::uint32_t RandSeed = 0;
};

// The restore folder's name: "QUILL", a number below 2005, "D", a number below 6000.
std::string RestoreFolderName(RuntimeRandom& random);
// The save folder's name: this, then six characters.
inline constexpr const char* kSaveFolderPrefix = "QUILLsave-";

// The restore folder cannot be made ready.
class EInOutError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What the two workflows work with: the main window's dialogs and ZIP component, the
// user's registry, the program's folder and the runtime's generator.
struct SettingsContext {
    zip::TZipper& Zipper1;
    widgets::Dialogs& dialogs;
    widgets::FileDialogSettings& OpenDialog1;
    widgets::FileDialogSettings& SaveDialog1;
    platform::RegistryStore& registry;
    std::string programFolder;
    RuntimeRandom& random;
    // The folder for the hive files and the restore folders (the user's private
    // temporary folder).
    std::string tempFolder;
};

// Save Settings after the panel is hidden: asks for the archive, saves the three keys
// into hive files of a private temporary folder and zips them into the archive, whose
// entries of these names they always replace. A key that cannot be saved, or a damaged
// store (put aside), raises ESettingsError before the archive is touched. The ZIP
// component's errors go to the caller; the hive files are removed in every case.
void SaveSettings(SettingsContext& context);

// Restore Settings after the panel is hidden: asks for the archive, refuses it
// (ESettingsError) when it holds more than kMaxArchiveEntries entries or a hive entry is
// larger than kMaxHiveSize, extracts the three hives (an entry is a hive by its file
// name, whatever folder and ASCII case it was stored with; the last of a name counts)
// into a restore folder of this run's own, restores the three keys and deletes
// the folder, also when the extraction fails (its error then goes to the caller). A
// damaged store is put aside, the user told so, and the keys restored into a fresh one.
//
// Both first remove the work folders of the user's runs that were killed.
void RestoreSettings(SettingsContext& context);

} // namespace quill::backup
