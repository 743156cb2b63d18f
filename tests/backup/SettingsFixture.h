#pragma once

// A user of their own for the settings tests: HOME, the configuration folder (the
// registry store) and the private temporary folder lie in a fresh folder per test.
#include "app/TForm1.h"
#include "backup/SettingsWorkflows.h"

#include "FakeDialogs.h"
#include "FakeLauncher.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <sys/stat.h>

namespace quill::test {

namespace fs = std::filesystem;

class SettingsUser : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quill-settings-test-XXXXXX";
        root = ::mkdtemp(pattern);
        home = root + "/home";
        temp = root + "/run";
        fs::create_directories(home + "/.cups");
        fs::create_directories(temp);
        ::chmod(temp.c_str(), 0700);
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("CUPS_SERVERROOT", home.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", temp.c_str(), 1);
        archives = root + "/archives";
        fs::create_directories(archives);
    }
    void TearDown() override {
        ::system(("umount -l " + root + "/full 2>/dev/null").c_str());
        fs::remove_all(root);
    }

    template <class Spooler> std::unique_ptr<app::TForm1> Window(Spooler& spooler) {
        auto form = std::make_unique<app::TForm1>(spooler, dialogs, launcher, [] { return 2026; });
        // A program folder the user may write to (the build's may not be a normal user's).
        form->ProgramFolder = root + "/program";
        fs::create_directories(form->ProgramFolder);
        form->show();
        QApplication::processEvents();
        return form;
    }

    static std::string Read(const std::string& path) {
        std::ifstream file(path, std::ios::binary);
        std::stringstream content;
        content << file.rdbuf();
        return content.str();
    }
    static void Write(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    }
    // The standard output of a shell command line.
    static std::string Run(const std::string& commandLine) {
        std::string out;
        if (FILE* pipe = ::popen(commandLine.c_str(), "r")) {
            char buffer[4096];
            std::size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
            ::pclose(pipe);
        }
        return out;
    }
    // An archive's entries as Python's zipfile reads them: "name method flags" per line.
    static std::string Entries(const std::string& archive) {
        return Run("python3 -c 'import sys, zipfile\nfor i in zipfile.ZipFile(sys.argv[1]).infolist(): "
                   "print(i.filename, i.compress_type, i.flag_bits)' '" +
                   archive + "' 2>&1");
    }
    static std::string Entry(const std::string& archive, const std::string& name) {
        return Run("python3 -c 'import sys, zipfile\nsys.stdout.buffer.write(zipfile.ZipFile(sys.argv[1])."
                   "read(sys.argv[2]))' '" +
                   archive + "' '" + name + "'");
    }
    // Folders left in the private temporary folder.
    std::vector<std::string> TempLeftovers() const {
        std::vector<std::string> names;
        for (const auto& item : fs::directory_iterator(temp)) names.push_back(item.path().filename().string());
        return names;
    }

    std::string root, home, temp, archives;
    FakeDialogs dialogs;
    FakeLauncher launcher;
};

} // namespace quill::test
