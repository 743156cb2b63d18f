// Save Settings and Restore Settings through the real window (offscreen), with scripted
// file dialogs, real archives checked by unzip and Python, and a user of the test's own.
#include "SettingsFixture.h"

#include "FakeSpooler.h"
#include "Skips.h"
#include "backup/DeleteFolderTree.h"

#include "zip/TZipper.h"

#include <QFrame>
#include <QTest>

#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace quill;
using platform::RegistryValue;
namespace fs = std::filesystem;

namespace {

class SettingsBackupTest : public test::SettingsUser {
protected:
    void SetUp() override {
        SettingsUser::SetUp();
        form = Window(spooler);
        registry = &form->Registry;
        SetKeys("saved");
    }
    // Gives each of the three keys and the user's lpoptions a value marked with tag.
    void SetKeys(const std::string& tag) {
        ASSERT_TRUE(registry->SetValue("Printers\\DevModePerUser", "Desk", RegistryValue::Bytes("devmode-" + tag)));
        ASSERT_TRUE(registry->SetValue("Printers\\DevModes2", "Desk", RegistryValue::Bytes("devmodes2-" + tag)));
        ASSERT_TRUE(registry->SetValue("Printers\\Settings", "Flags", RegistryValue::Text(tag)));
        Write(home + "/.cups/lpoptions", "Default Desk copies=2 # " + tag + "\n");
    }
    std::string KeyTags() const {
        return registry->Value("Printers\\DevModePerUser", "Desk")->data + "," +
               registry->Value("Printers\\DevModes2", "Desk")->data + "," +
               registry->Value("Printers\\Settings", "Flags")->data + "," + Read(home + "/.cups/lpoptions");
    }
    void Save(const std::string& archive) {
        dialogs.saveAnswers.push_back(archive);
        form->SaveSettingsButtonClick();
    }
    void Restore(const std::string& archive) {
        dialogs.openAnswers.push_back(archive);
        form->RestoreSettingsButtonClick();
    }
    // A small file system mounted at the folder (root only), filled up after prepare.
    void Fill(const std::string& at, const std::function<void()>& prepare) {
        fs::create_directories(at);
        ASSERT_EQ(::system(("mount -t tmpfs -o size=256k,mode=0700 tmpfs '" + at + "' 2>/dev/null").c_str()), 0);
        prepare();
        Run("dd if=/dev/zero of='" + at + "/filler' bs=4k 2>/dev/null");
    }
    // A way a save fails: what spoils it, the parts of the error it shows, and a message of
    // the restore that follows ("": none, the keys back; nullptr: no restore).
    struct SaveFault {
        const char* problem;
        std::function<void()> spoil;
        std::vector<std::string> named;
        const char* afterRestore;
    };
    // Each fault in turn, after a good save: the save fails saying why and leaves the older
    // archive byte for byte and nothing of itself; then the spoiled state is undone.
    void ExpectSaveFaults(const std::vector<SaveFault>& faults) {
        const std::string archive = archives + "/printers.qpk", older = (Save(archive), Read(archive));
        const std::string saved = KeyTags(), config = fs::path(registry->File()).parent_path();
        for (const SaveFault& fault : faults) {
            SCOPED_TRACE(fault.problem);
            dialogs.errors.clear();
            dialogs.messages.clear();
            fault.spoil();
            Save(archive);
            EXPECT_EQ(dialogs.errors.size(), 1u);
            for (const std::string& part : fault.named)
                for (const std::string& error : dialogs.errors) EXPECT_NE(error.find(part), std::string::npos) << part;
            EXPECT_EQ(Read(archive), older);
            // What could not be saved was not put into the store either.
            EXPECT_LT(fs::exists(registry->File()) ? fs::file_size(registry->File()) : 0, 1u << 20);
            for (const auto& item : fs::directory_iterator(zip::PrivateTempFolder()))
                EXPECT_EQ(item.path().filename(), "filler"); // nothing of the save is left
            if (fault.afterRestore) {
                Restore(archive);
                EXPECT_EQ(dialogs.messages.size(), *fault.afterRestore ? 1u : 0u);
                for (const std::string& message : dialogs.messages)
                    EXPECT_NE(message.find(fault.afterRestore), std::string::npos);
                EXPECT_TRUE(*fault.afterRestore || KeyTags() == saved);
            }
            Run("umount -l '" + root + "/full' '" + config + "' 2>/dev/null");
            ::setenv("XDG_RUNTIME_DIR", temp.c_str(), 1);
            fs::remove_all(home + "/.cups/lpoptions");
            SetKeys("saved");
        }
    }

    test::FakeSpooler spooler;
    std::unique_ptr<app::TForm1> form;
    platform::RegistryStore* registry = nullptr;
};

} // namespace

TEST_F(SettingsBackupTest, SaveWritesTheThreeHivesDeflatedInOrderAndLeavesTheUsersFilesAlone) {
    Write(archives + "/1.reg", "the user's own");
    const std::string archive = archives + "/printers.qpk";
    Save(archive);
    EXPECT_EQ(Entries(archive), "1.reg 8 2\n2.reg 8 2\n3.reg 8 2\n");
    EXPECT_NE(Run("unzip -tq '" + archive + "'").find("No errors detected"), std::string::npos);
    EXPECT_NE(Run("unzip -Z '" + archive + "'").find("defX"), std::string::npos);
    EXPECT_EQ(Entry(archive, "3.reg").substr(0, 8), "QUILLHIV");
    EXPECT_EQ(Read(archives + "/1.reg"), "the user's own");
    EXPECT_FALSE(fs::exists(archives + "/2.reg") || fs::exists(archives + "/3.reg"));
    EXPECT_TRUE(TempLeftovers().empty());
    EXPECT_TRUE(dialogs.errors.empty() && dialogs.messages.empty());
    EXPECT_EQ(form->SaveDialog1.InitialDir, form->ProgramFolder);
    EXPECT_EQ(form->SaveDialog1.FileName, archive);
    EXPECT_TRUE(form->Panel1->isVisible());
}

TEST_F(SettingsBackupTest, RestoreBringsBackEveryKeyAndTheCupsSettingsThroughFoldersNamedByTheGenerator) {
    const std::string archive = archives + "/printers.qpk";
    Save(archive);
    const std::string saved = KeyTags();
    std::vector<std::string> seen;
    form->Zipper1.ProcessMessages = [&] {
        for (const auto& name : TempLeftovers())
            if (seen.empty() || seen.back() != name) seen.push_back(name);
    };
    for (const char* tag : {"one", "two", "three"}) {
        SetKeys(tag);
        ASSERT_TRUE(registry->CreateKey("Printers\\Settings\\Added"));
        Restore(archive);
        EXPECT_EQ(KeyTags(), saved);
        EXPECT_FALSE(registry->KeyExists("Printers\\Settings\\Added"));
        EXPECT_TRUE(TempLeftovers().empty());
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"QUILL0D188", "QUILL1726D1215", "QUILL547D4029"}));
    EXPECT_TRUE(dialogs.errors.empty() && dialogs.messages.empty());
    // The open dialog starts in the folder of the archive saved in this run.
    EXPECT_EQ(form->OpenDialog1.InitialDir, archives);

    // A user without CUPS settings at save time has none after the restore.
    fs::remove(home + "/.cups/lpoptions");
    const std::string bare = archives + "/bare.qpk";
    Save(bare);
    SetKeys("again");
    Restore(bare);
    EXPECT_FALSE(fs::exists(home + "/.cups/lpoptions"));
}

TEST_F(SettingsBackupTest, SavingOverAnArchiveReplacesTheHivesInPlaceAndKeepsOtherEntries) {
    // An archive from elsewhere, its entries dated 2000: a readme first, then an old 2.reg.
    const std::string archive = archives + "/other.qpk";
    Run("python3 -c 'import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1], \"w\")\n"
        "z.writestr(zipfile.ZipInfo(\"readme.txt\", (2000, 1, 1, 0, 0, 0)), \"kept\")\n"
        "z.writestr(zipfile.ZipInfo(\"2.reg\", (2000, 1, 1, 0, 0, 0)), \"old\")' '" +
        archive + "'");
    Save(archive);
    EXPECT_EQ(Entries(archive), "readme.txt 0 0\n2.reg 8 2\n1.reg 8 2\n3.reg 8 2\n");
    EXPECT_EQ(Entry(archive, "readme.txt"), "kept");
    EXPECT_EQ(Entry(archive, "2.reg").substr(0, 8), "QUILLHIV");

    // Saved again later with other settings: the same entries in the same order, fresh hives.
    ::sleep(2);
    SetKeys("later");
    Save(archive);
    EXPECT_EQ(Entries(archive), "readme.txt 0 0\n2.reg 8 2\n1.reg 8 2\n3.reg 8 2\n");
    EXPECT_NE(Entry(archive, "3.reg").find("later"), std::string::npos);
    EXPECT_NE(Run("unzip -tq '" + archive + "'").find("No errors detected"), std::string::npos);
    EXPECT_TRUE(TempLeftovers().empty());
}

TEST_F(SettingsBackupTest, MissingKeysAndEntriesAndDamagedHivesAreReportedOnceAndTouchNothingElse) {
    // A key that cannot be saved stops the save: no archive.
    ASSERT_TRUE(registry->DeleteKey("Printers\\DevModes2"));
    const std::string partial = archives + "/partial.qpk";
    Save(partial);
    EXPECT_FALSE(fs::exists(partial));
    EXPECT_EQ(dialogs.errors.size(), 1u);
    dialogs.errors.clear();
    ASSERT_TRUE(registry->CreateKey("Printers\\DevModes2"));
    SetKeys("saved");

    // An archive without 3.reg restores the first two keys and reports the third once.
    const std::string full = archives + "/full.qpk";
    Save(full);
    const std::string two = archives + "/two.qpk";
    Run("cd '" + root + "' && mkdir x && cd x && unzip -q '" + full + "' && zip -q '" + two + "' 1.reg 2.reg");
    SetKeys("changed");
    Restore(two);
    EXPECT_EQ(dialogs.messages, (std::vector<std::string>{"RESTORE ERROR!"}));
    EXPECT_EQ(registry->Value("Printers\\DevModePerUser", "Desk")->data, "devmode-saved");
    EXPECT_EQ(registry->Value("Printers\\DevModes2", "Desk")->data, "devmodes2-saved");
    EXPECT_EQ(registry->Value("Printers\\Settings", "Flags")->data, "changed");
    EXPECT_NE(Read(home + "/.cups/lpoptions").find("changed"), std::string::npos);

    // A damaged 3.reg leaves its key (and the CUPS settings) unchanged.
    Run("cd '" + root + "/x' && printf 'QUILLHIV\\001\\000\\000\\000junk' > 3.reg && zip -q '" + two + "' 3.reg");
    dialogs.messages.clear();
    Restore(two);
    EXPECT_EQ(dialogs.messages, (std::vector<std::string>{"RESTORE ERROR!"}));
    EXPECT_EQ(registry->Value("Printers\\Settings", "Flags")->data, "changed");
    EXPECT_NE(Read(home + "/.cups/lpoptions").find("changed"), std::string::npos);

    // A file that is no ZIP archive: the component's error, no key touched, no folder left.
    dialogs.messages.clear();
    Write(archives + "/plain.qpk", "not an archive at all");
    Restore(archives + "/plain.qpk");
    EXPECT_EQ(dialogs.errors, (std::vector<std::string>{"Incomplete Zip File"}));
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_EQ(registry->Value("Printers\\DevModePerUser", "Desk")->data, "devmode-saved");
    EXPECT_EQ(registry->Value("Printers\\Settings", "Flags")->data, "changed");
    EXPECT_TRUE(TempLeftovers().empty());
    EXPECT_TRUE(form->Panel1->isVisible());

    // Saving over it fails the same way and leaves it as it was.
    dialogs.errors.clear();
    Save(archives + "/plain.qpk");
    EXPECT_EQ(dialogs.errors, (std::vector<std::string>{"Incomplete Zip File"}));
    EXPECT_EQ(Read(archives + "/plain.qpk"), "not an archive at all");
    EXPECT_TRUE(TempLeftovers().empty());
    EXPECT_TRUE(form->Panel1->isVisible());
}

TEST_F(SettingsBackupTest, SymbolicLinksInTheRestoreFolderAreNeverFollowed) {
    const std::string archive = archives + "/printers.qpk";
    Save(archive);
    // What a crashed run of the same name left behind, with links to the user's files.
    const std::string victims = root + "/victims";
    fs::create_directories(victims + "/folder");
    Write(victims + "/file", "precious");
    Write(victims + "/folder/inside", "precious too");
    fs::create_directories(temp + "/QUILL0D188");
    fs::create_symlink(victims + "/file", temp + "/QUILL0D188/3.reg");
    fs::create_symlink(victims + "/folder", temp + "/QUILL0D188/linked");
    // And links planted while the archive is extracted.
    form->Zipper1.ProcessMessages = [&] {
        std::error_code ignored;
        fs::create_symlink(victims + "/file", temp + "/QUILL0D188/2.reg", ignored);
        fs::create_symlink(victims + "/folder", temp + "/QUILL0D188/planted", ignored);
    };
    SetKeys("changed");
    Restore(archive);
    EXPECT_EQ(Read(victims + "/file"), "precious");
    EXPECT_EQ(Read(victims + "/folder/inside"), "precious too");
    EXPECT_TRUE(TempLeftovers().empty());
    EXPECT_EQ(registry->Value("Printers\\DevModePerUser", "Desk")->data, "devmode-saved");

    // A link standing where the next restore folder goes leads nowhere either.
    form->Zipper1.ProcessMessages = nullptr;
    fs::create_symlink(victims + "/folder", temp + "/QUILL1726D1215");
    SetKeys("changed");
    Restore(archive);
    EXPECT_EQ(Read(victims + "/folder/inside"), "precious too");
    EXPECT_EQ(std::distance(fs::directory_iterator(victims + "/folder"), fs::directory_iterator()), 1);
    EXPECT_EQ(registry->Value("Printers\\DevModePerUser", "Desk")->data, "devmode-saved");
    EXPECT_TRUE(TempLeftovers().empty());

    // Asked to delete a link to a folder, the tree deletes nothing.
    fs::create_symlink(victims + "/folder", root + "/link");
    backup::DeleteFolderTree(root + "/link");
    EXPECT_EQ(Read(victims + "/folder/inside"), "precious too");
}

TEST_F(SettingsBackupTest, AFullDiskWhileSavingLeavesTheOlderArchiveWhole) {
    const std::string full = root + "/full";
    fs::create_directories(full);
    QUILL_SKIP_UNLESS_ROOT(test::kNeedsRootToMount);
    if (::system(("mount -t tmpfs -o size=256k tmpfs '" + full + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "mounting a small file system failed";
    const std::string archive = full + "/printers.qpk";
    Run("python3 -c 'import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1], \"w\")\n"
        "z.writestr(zipfile.ZipInfo(\"1.reg\", (2000, 1, 1, 0, 0, 0)), \"old\")' '" +
        archive + "'");
    const std::string older = Read(archive);
    Run("dd if=/dev/zero of='" + full + "/filler' bs=4k 2>/dev/null");
    // Settings that do not compress and need more room than is left.
    std::string noise(200000, '\0');
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 2654435761u) >> 13);
    ASSERT_TRUE(registry->SetValue("Printers\\DevModePerUser", "Big", RegistryValue::Bytes(noise)));
    Save(archive);
    ASSERT_EQ(dialogs.errors.size(), 1u);
    EXPECT_EQ(Read(archive), older);
    EXPECT_TRUE(TempLeftovers().empty());
    EXPECT_TRUE(form->Panel1->isVisible());
}

TEST_F(SettingsBackupTest, CancelledDialogsDoNothingAndThePanelIsHiddenOnlyWhileAWorkflowRuns) {
    const std::string before = KeyTags();
    form->SaveSettingsButtonClick(); // no answer: cancelled
    form->RestoreSettingsButtonClick();
    EXPECT_EQ(dialogs.fileDialogs.size(), 2u);
    EXPECT_EQ(KeyTags(), before);
    EXPECT_TRUE(fs::is_empty(archives));
    EXPECT_TRUE(form->Panel1->isVisible());
    EXPECT_EQ(form->SaveDialog1.InitialDir, form->ProgramFolder);
    EXPECT_EQ(form->OpenDialog1.InitialDir, form->ProgramFolder);

    // While a workflow runs the panel is hidden, and clicks on either settings button
    // are refused.
    std::vector<bool> panelShown;
    form->Zipper1.ProcessMessages = [&] {
        panelShown.push_back(form->Panel1->isVisible());
        QTest::mouseClick(form->SaveSettingsButton, Qt::LeftButton);
        QTest::mouseClick(form->RestoreSettingsButton, Qt::LeftButton);
    };
    const std::string archive = archives + "/printers.qpk";
    Save(archive);
    Restore(archive);
    EXPECT_EQ(dialogs.fileDialogs.size(), 4u);
    ASSERT_FALSE(panelShown.empty());
    EXPECT_EQ(std::count(panelShown.begin(), panelShown.end(), true), 0);
    EXPECT_TRUE(form->Panel1->isVisible());
    EXPECT_EQ(KeyTags(), before);

    // Installed where the user may not write, the dialogs start at home (this home has
    // no documents folder). Root may write everywhere.
    if (::geteuid() != 0) {
        auto installed = Window(spooler);
        installed->ProgramFolder = "/usr/bin";
        installed->SaveSettingsButtonClick();
        EXPECT_EQ(installed->SaveDialog1.InitialDir, home);
    }
}

TEST(RestoreFolderName, FollowsTheRuntimeGeneratorFromSeedZero) {
    backup::RuntimeRandom random;
    EXPECT_EQ(backup::RestoreFolderName(random), "QUILL0D188");
    EXPECT_EQ(backup::RestoreFolderName(random), "QUILL1726D1215");
    EXPECT_EQ(backup::RestoreFolderName(random), "QUILL547D4029");
    random.RandSeed = 0xFFFFFFFFu;
    EXPECT_LT(random.Random(2005), 2005u);
}

// A key that cannot be saved stops the save with a message naming it and the reason; a
// restore then mends what it can.
TEST_F(SettingsBackupTest, ASaveThatCannotSaveAKeySaysWhyAndLeavesTheOlderArchiveByteForByte) {
    const std::string store = registry->File(), lpoptions = home + "/.cups/lpoptions";
    ExpectSaveFaults({
        {"unreadable CUPS settings",
         [&] { ASSERT_TRUE(fs::remove(lpoptions) && fs::create_directory(lpoptions)); },
         {"Printers\\Settings", "lpoptions cannot be read: Is a directory"},
         "lpoptions cannot be written: Is a directory"},
        {"CUPS settings that are a FIFO",
         [&] { ASSERT_TRUE(fs::remove(lpoptions) && ::mkfifo(lpoptions.c_str(), 0600) == 0); },
         {"Printers\\Settings", "lpoptions cannot be read: Invalid argument"},
         nullptr},
        {"CUPS settings larger than settings can be",
         [&] { fs::resize_file(lpoptions, platform::kMaxHiveSize + 1); },
         {"Printers\\Settings", "lpoptions are larger than settings can be"},
         ""},
        {"damaged store",
         [&] { Write(store, Read(store).substr(0, 60)); },
         {store + " is damaged. It was kept as " + store + ".damaged-"},
         ""},
    });
}

// The same where the disk is full: full file systems are small ones.
TEST_F(SettingsBackupTest, ASaveOnAFullDiskSaysWhyAndLeavesTheOlderArchiveByteForByte) {
    QUILL_SKIP_UNLESS_ROOT(test::kNeedsRootToMount);
    const std::string store = registry->File(), config = fs::path(store).parent_path();
    const std::string lpoptions = home + "/.cups/lpoptions", full = root + "/full";
    ExpectSaveFaults({
        {"full temporary folder",
         [&] {
             Fill(full, [] {});
             ::setenv("XDG_RUNTIME_DIR", full.c_str(), 1);
         },
         {"Printers\\DevModePerUser", "No space left on device"},
         nullptr},
        {"full configuration file system",
         [&] {
             Fill(config, [&] { SetKeys("on the small file system"); });
             Write(lpoptions, "new\n");
         },
         {"Printers\\Settings", store + " cannot be written: No space left on device"},
         nullptr},
    });
}

TEST_F(SettingsBackupTest, ASecondSaveWithinASecondReplacesTheHivesAndLongRunsComeBackWhole) {
    const std::string archive = archives + "/printers.qpk";
    Save(archive);
    SetKeys("second");
    // Padded device settings: the hive's last compressed bytes inflate to more than one
    // chunk after the input is used up.
    ASSERT_TRUE(
        registry->SetValue("Printers\\DevModePerUser", "Desk", RegistryValue::Bytes(std::string(4 << 20, 'a'))));
    const std::string second = KeyTags();
    Save(archive);
    EXPECT_EQ(Entries(archive), "1.reg 8 2\n2.reg 8 2\n3.reg 8 2\n");
    SetKeys("changed");
    Restore(archive);
    EXPECT_TRUE(dialogs.errors.empty() && dialogs.messages.empty());
    EXPECT_TRUE(KeyTags() == second);
}

// A hive entry of 64 MiB (names compared as the extraction compares them) refuses the
// archive before anything is extracted; a large entry of another name is left in it.
TEST_F(SettingsBackupTest, ARestoreExtractsOnlyTheHivesAndRefusesOnesLargerThanSettingsCanBe) {
    const std::string saved = archives + "/printers.qpk";
    Save(saved);
    const std::string tags = KeyTags();
    std::uintmax_t largest = 0; // of the files extracted; a large one stops the restore
    form->Zipper1.ProcessMessages = [&] {
        for (const auto& item : fs::recursive_directory_iterator(temp))
            if (item.is_regular_file()) largest = std::max(largest, item.file_size());
        if (largest > (1u << 20)) form->Zipper1.Cancel();
    };
    for (const auto& [large, refused] : {std::pair{"1.reg", true}, {"3.REG", true}, {"big.bin", false}}) {
        SCOPED_TRACE(large);
        const std::string archive = archives + "/" + large + ".qpk";
        Run("python3 -c 'import sys, zipfile\nold = zipfile.ZipFile(sys.argv[1])\n"
            "z = zipfile.ZipFile(sys.argv[2], \"w\", zipfile.ZIP_DEFLATED)\nfor n in old.namelist():\n"
            "  if n.lower() != sys.argv[3].lower(): z.writestr(n, old.read(n))\n"
            "z.writestr(sys.argv[3], bytes(64 << 20))' '" +
            saved + "' '" + archive + "' " + large);
        SetKeys("changed");
        const std::string changed = KeyTags();
        dialogs.errors.clear();
        Restore(archive);
        EXPECT_LT(largest, 1u << 20);
        EXPECT_EQ(KeyTags(), refused ? changed : tags);
        EXPECT_EQ(dialogs.errors.size(), refused ? 1u : 0u);
        for (const std::string& error : dialogs.errors)
            EXPECT_NE(error.find("more than settings can"), std::string::npos);
        EXPECT_TRUE(dialogs.messages.empty() && TempLeftovers().empty());
    }
}

// Two programs restoring different archives at once through the same temporary folder,
// the generator giving both the same folder names; each into a store of its own. What
// killed runs left goes with the next run; what a live run holds stays.
TEST_F(SettingsBackupTest, TwoProgramsRestoringAtOnceEachGetTheirOwnArchivesKeys) {
    for (const char* folder : {"/QUILLsave-Q1w2E3", "/QUILL12D34", "/QUILL7D7"}) fs::create_directories(temp + folder);
    const int live = ::open((temp + "/QUILL7D7").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(::flock(live, LOCK_EX), 0);
    Write(registry->File() + ".aB3xYz", "left by a killed change");
    std::vector<FILE*> programs;
    for (const char* tag : {"alpha", "beta"}) {
        SetKeys(tag);
        Save(archives + "/" + tag + ".qpk");
        programs.push_back(::popen(("QUILL_RESTORE_TAG=" + std::string(tag) + " QUILL_RESTORE_TEMP='" + temp +
                                    "' /proc/" + std::to_string(::getpid()) +
                                    "/exe --gtest_also_run_disabled_tests --gtest_filter='*DISABLED_RestoreRepeatedly' "
                                    "--gtest_brief=1 2>&1")
                                       .c_str(),
                                   "r"));
    }
    for (FILE* program : programs) {
        char line[256] = "";
        std::fread(line, 1, sizeof line - 1, program);
        EXPECT_EQ(::pclose(program), 0) << line;
    }
    EXPECT_EQ(TempLeftovers(), std::vector<std::string>{"QUILL7D7"});
    EXPECT_FALSE(fs::exists(registry->File() + ".aB3xYz"));
    ::close(live);
}

// One of the two programs above: 50 restores of the archive of its tag, with a user of its
// own but the other program's temporary folder.
TEST_F(SettingsBackupTest, DISABLED_RestoreRepeatedly) {
    const char* tag = std::getenv("QUILL_RESTORE_TAG");
    if (!tag) GTEST_SKIP();
    SetKeys(tag);
    const std::string expected = KeyTags();
    ::setenv("XDG_RUNTIME_DIR", std::getenv("QUILL_RESTORE_TEMP"), 1);
    // Both start restoring once both are ready.
    const fs::path shared = fs::path(std::getenv("QUILL_RESTORE_TEMP")).parent_path();
    Write(shared / ("ready-" + std::string(tag)), "");
    for (int wait = 0; wait < 3000 && !(fs::exists(shared / "ready-alpha") && fs::exists(shared / "ready-beta"));
         ++wait)
        ::usleep(10000);
    for (int i = 0; i < 50; ++i) {
        SetKeys("none");
        Restore(shared / "archives" / (std::string(tag) + ".qpk"));
        ASSERT_EQ(KeyTags(), expected) << i;
        ASSERT_TRUE(dialogs.messages.empty() && dialogs.errors.empty()) << i;
    }
}

// Hives stored under folders or in another case are the hives of their file names; of
// several entries of one name the last counts, each read once; an archive of thousands
// of entries is refused before anything is extracted.
TEST_F(SettingsBackupTest, HivesAreFoundByTheirFileNamesWhateverFolderAndCaseAndHugeListsAreRefused) {
    const std::string saved = archives + "/printers.qpk";
    Save(saved);
    const std::string tags = KeyTags();
    // python3 rewrite.py SAVED TARGET: each entry of SAVED under the names the script gives.
    const auto rewrite = [&](const std::string& target, const std::string& body) {
        Run("python3 -c 'import sys, zipfile\nold = zipfile.ZipFile(sys.argv[1])\n"
            "z = zipfile.ZipFile(sys.argv[2], \"w\", zipfile.ZIP_DEFLATED)\n" +
            body + "' '" + saved + "' '" + target + "'");
    };
    const struct {
        const char* name;
        std::string body;
        bool restored;
    } kArchives[] = {
        {"folders and case",
         "for n, s in ((\"1.reg\", \"sub/dir/1.reg\"), (\"2.reg\", \"2.REG\"), (\"3.reg\", \"x/3.Reg\")):\n"
         "  z.writestr(s, old.read(n))",
         true},
        {"the last of 300 of a name",
         "for i in range(299): z.writestr(\"1.reg\", b\"damaged\")\n"
         "for n in old.namelist(): z.writestr(n, old.read(n))",
         true},
        {"5000 entries",
         "for i in range(5000): z.writestr(\"f%d\" % i, b\"\")\n"
         "for n in old.namelist(): z.writestr(n, old.read(n))",
         false},
    };
    for (const auto& archive : kArchives) {
        SCOPED_TRACE(archive.name);
        const std::string path = archives + "/rewritten.qpk";
        fs::remove(path);
        rewrite(path, archive.body);
        SetKeys("changed");
        const std::string changed = KeyTags();
        dialogs.errors.clear();
        dialogs.messages.clear();
        Restore(path);
        EXPECT_TRUE(dialogs.messages.empty()) << dialogs.messages.front();
        EXPECT_EQ(KeyTags(), archive.restored ? tags : changed);
        EXPECT_EQ(dialogs.errors.size(), archive.restored ? 0u : 1u);
        for (const std::string& error : dialogs.errors)
            EXPECT_NE(error.find("5003 entries"), std::string::npos) << error;
        EXPECT_TRUE(TempLeftovers().empty());
    }
}
