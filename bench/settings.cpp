// Save Settings and Restore Settings end to end through the real window (offscreen),
// with an lpoptions of 200 printers, against zip -9 and unzip on the same three hive
// files. Prints the median of 10 runs of each.
#include "app/TForm1.h"

#include "FakeDialogs.h"
#include "FakeLauncher.h"
#include "FakeSpooler.h"

#include <QApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace fs = std::filesystem;
using namespace quill;

namespace {

double MedianMs(const std::function<void()>& prepare, const std::function<void()>& run) {
    std::vector<double> times;
    for (int i = 0; i < 10; ++i) {
        prepare();
        const auto start = std::chrono::steady_clock::now();
        run();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return (times[4] + times[5]) / 2;
}

void Shell(const std::string& line) {
    if (std::system(line.c_str()) != 0) std::fprintf(stderr, "failed: %s\n", line.c_str());
}

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    char pattern[] = "/tmp/quill-settings-bench-XXXXXX";
    const std::string root = ::mkdtemp(pattern);
    const std::string home = root + "/home", temp = root + "/run";
    fs::create_directories(home + "/.cups");
    fs::create_directories(temp);
    ::chmod(temp.c_str(), 0700);
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", temp.c_str(), 1);
    {
        std::ofstream lpoptions(home + "/.cups/lpoptions");
        for (int i = 0; i < 200; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "Printer%03d", i);
            lpoptions << (i == 17 ? "Default " : "Dest ") << name
                      << " copies=2 media=iso_a4_210x297mm sides=two-sided-long-edge print-color-mode=monochrome"
                      << " print-quality=5 number-up=2 orientation-requested=4 job-sheets=none,none\n";
        }
    }

    QApplication application(argc, argv);
    test::FakeSpooler spooler;
    test::FakeDialogs dialogs;
    test::FakeLauncher launcher;
    app::TForm1 form(spooler, dialogs, launcher, [] { return 2026; });
    const std::string archive = root + "/settings.qpk";

    const double save = MedianMs(
        [&] {
            fs::remove(archive);
            dialogs.saveAnswers.push_back(archive);
        },
        [&] { form.SaveSettingsButtonClick(); });
    const double restore =
        MedianMs([&] { dialogs.openAnswers.push_back(archive); }, [&] { form.RestoreSettingsButtonClick(); });
    if (!dialogs.errors.empty() || !dialogs.messages.empty()) std::fprintf(stderr, "the workflows reported errors\n");

    // The same three hive files for the tools.
    const std::string hives = root + "/hives";
    fs::create_directories(hives);
    for (const auto& key : backup::kSettingsKeys) form.Registry.SaveKey(key.subkey, hives + "/" + key.file);
    const std::string toolArchive = root + "/tool.zip";
    const double zip =
        MedianMs([&] { fs::remove(toolArchive); },
                 [&] { Shell("cd '" + hives + "' && zip -q -9 '" + toolArchive + "' 1.reg 2.reg 3.reg"); });
    const double unzip = MedianMs([&] { fs::remove_all(root + "/out"); },
                                  [&] { Shell("unzip -q -o '" + toolArchive + "' -d '" + root + "/out'"); });

    std::printf("hive files: %ju + %ju + %ju bytes (lpoptions of 200 printers: %ju bytes)\n",
                static_cast<std::uintmax_t>(fs::file_size(hives + "/1.reg")),
                static_cast<std::uintmax_t>(fs::file_size(hives + "/2.reg")),
                static_cast<std::uintmax_t>(fs::file_size(hives + "/3.reg")),
                static_cast<std::uintmax_t>(fs::file_size(home + "/.cups/lpoptions")));
    std::printf("archive: ours %ju bytes, zip -9 %ju bytes\n", static_cast<std::uintmax_t>(fs::file_size(archive)),
                static_cast<std::uintmax_t>(fs::file_size(toolArchive)));
    std::printf("Save Settings, end to end     median of 10: %8.2f ms\n", save);
    std::printf("zip -9 of the three files     median of 10: %8.2f ms\n", zip);
    std::printf("Restore Settings, end to end  median of 10: %8.2f ms\n", restore);
    std::printf("unzip of the three files      median of 10: %8.2f ms\n", unzip);
    fs::remove_all(root);
    return 0;
}
