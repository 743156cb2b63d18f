// Restores one settings archive COUNT times into a store and HOME of its own, the
// restore folders in the shared TEMP folder; after each, the keys must hold TAG as the
// test's SetKeys put it there. Prints and exits with the number of restores that did not.
//   settings_restore_runner ARCHIVE HOME TEMP COUNT TAG
#include "backup/SettingsWorkflows.h"

#include "FakeDialogs.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

using namespace quill;

int main(int argc, char** argv) {
    if (argc != 6) return 2;
    const std::string archive = argv[1], home = argv[2], temp = argv[3], tag = argv[5];
    std::filesystem::create_directories(home + "/.cups");
    ::setenv("HOME", home.c_str(), 1);
    platform::RegistryStore store(home + "/registry");
    test::FakeDialogs dialogs;
    zip::TZipper zipper;
    zipper.OverwriteMode = zip::TUZOverwriteMode::Always;
    widgets::FileDialogSettings open, save;
    backup::RuntimeRandom random;
    backup::SettingsContext context{zipper, dialogs, open, save, store, home, random, temp};
    int wrong = 0;
    for (int i = 0; i < std::atoi(argv[4]); ++i) {
        store.SetValue("Printers\\DevModePerUser", "Desk", platform::RegistryValue::Bytes("none"));
        store.SetValue("Printers\\Settings", "Flags", platform::RegistryValue::Text("none"));
        dialogs.openAnswers.push_back(archive);
        try {
            backup::RestoreSettings(context);
        } catch (const std::exception& e) {
            std::printf("%s\n", e.what());
            ++wrong;
            continue;
        }
        const auto devmode = store.Value("Printers\\DevModePerUser", "Desk");
        const auto flags = store.Value("Printers\\Settings", "Flags");
        if (!dialogs.messages.empty() || !devmode || devmode->data != "devmode-" + tag || !flags || flags->data != tag)
            ++wrong;
        dialogs.messages.clear();
    }
    std::printf("%d wrong\n", wrong);
    return wrong;
}
