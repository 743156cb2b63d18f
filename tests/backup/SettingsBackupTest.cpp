// Save Settings and Restore Settings through the real window (offscreen), with scripted
// file dialogs, real archives checked by unzip and Python, and a user of the test's own.
#include "SettingsFixture.h"

#include "ArchiveBuilder.h"
#include "FakeSpooler.h"
#include "backup/DeleteFolderTree.h"

#include "zip/TZipper.h"

#include <QFrame>
#include <QTest>

#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <sys/file.h>
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
    // A key that cannot be saved stops the save with an error that names it: no archive.
    ASSERT_TRUE(registry->DeleteKey("Printers\\DevModes2"));
    const std::string partial = archives + "/partial.qpk";
    Save(partial);
    EXPECT_FALSE(fs::exists(partial));
    EXPECT_EQ(dialogs.errors, (std::vector<std::string>{"The settings were not saved: the key Printers\\DevModes2 "
                                                        "cannot be saved: the key does not exist."}));
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_TRUE(TempLeftovers().empty());
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
    if (::system(("mount -t tmpfs -o size=256k tmpfs '" + full + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "mounting a small file system needs root";
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
}

TEST(RestoreFolderName, FollowsTheRuntimeGeneratorFromSeedZero) {
    backup::RuntimeRandom random;
    EXPECT_EQ(backup::RestoreFolderName(random), "QUILL0D188");
    EXPECT_EQ(backup::RestoreFolderName(random), "QUILL1726D1215");
    EXPECT_EQ(backup::RestoreFolderName(random), "QUILL547D4029");
    random.RandSeed = 0xFFFFFFFFu;
    EXPECT_LT(random.Random(2005), 2005u);
}

namespace {

// Deflated zeros that claim to inflate to megabytes: one fully flushed megabyte repeated,
// a few kilobytes per megabyte (the checksum is left wrong: nothing may get far enough to
// check it).
void AddInflating(test::ArchiveBuilder& archive, const std::string& name, std::uint32_t megabytes) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
    const std::string zeros(1 << 20, '\0');
    auto chunk = [&](int flush) {
        std::string out(1 << 20, '\0');
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
        z.avail_in = flush == Z_FINISH ? 0 : static_cast<uInt>(zeros.size());
        z.next_out = reinterpret_cast<Bytef*>(out.data());
        z.avail_out = static_cast<uInt>(out.size());
        deflate(&z, flush);
        out.resize(out.size() - z.avail_out);
        return out;
    };
    std::string data = chunk(Z_FULL_FLUSH);
    const std::string repeated = chunk(Z_FULL_FLUSH);
    for (std::uint32_t i = 2; i < megabytes; ++i) data += repeated;
    data += repeated + chunk(Z_FINISH);
    deflateEnd(&z);
    auto& entry = archive.Add(name, "");
    entry.compressed = data;
    entry.uncompressedSize = megabytes << 20;
    entry.crc = 0;
}

std::uintmax_t LargestFileBelow(const std::string& folder) {
    std::uintmax_t largest = 0;
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(folder, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored))
        if (it->is_regular_file(ignored)) largest = std::max(largest, it->file_size(ignored));
    return largest;
}

} // namespace

TEST_F(SettingsBackupTest, ASaveThatCannotSaveAKeyNamesItAndLeavesTheOlderArchiveByteForByte) {
    const std::string archive = archives + "/printers.qpk";
    Save(archive);
    const std::string older = Read(archive);
    const std::string store = registry->File();
    struct Case {
        const char* problem;
        std::function<bool()> spoil; // false: cannot be tried here
        std::vector<std::string> named;
    };
    const Case cases[] = {
        {"a full temporary folder",
         [&] {
             if (!Mount(root + "/fulltemp")) return false;
             ::setenv("XDG_RUNTIME_DIR", (root + "/fulltemp").c_str(), 1);
             return true;
         },
         {"Printers\\DevModePerUser", "No space left on device"}},
        {"a full configuration file system",
         [&] {
             if (!Mount(fs::path(store).parent_path(), false)) return false;
             SetKeys("on the small file system");
             Run("dd if=/dev/zero of='" + fs::path(store).parent_path().string() + "/filler' bs=4k 2>/dev/null");
             Write(home + "/.cups/lpoptions", "Default Desk copies=3\n");
             return true;
         },
         {"Printers\\Settings", store, "No space left on device"}},
        {"CUPS settings that cannot be read",
         [&] {
             fs::remove(home + "/.cups/lpoptions");
             fs::create_directory(home + "/.cups/lpoptions");
             return true;
         },
         {"Printers\\Settings", "lpoptions cannot be read", "Is a directory"}},
        {"a damaged store",
         [&] {
             std::string bytes = Read(store);
             bytes[bytes.size() / 2] ^= 0x20;
             Write(store, bytes);
             return true;
         },
         {store, "is damaged", "kept as " + store + ".damaged-"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.problem);
        if (!c.spoil()) {
            std::printf("not tried (needs root): %s\n", c.problem);
            continue;
        }
        const std::string spoiled = Read(store);
        dialogs.errors.clear();
        Save(archive);
        ASSERT_EQ(dialogs.errors.size(), 1u);
        for (const std::string& part : c.named) EXPECT_NE(dialogs.errors[0].find(part), std::string::npos) << part;
        EXPECT_EQ(Read(archive), older);
        EXPECT_TRUE(form->Panel1->isVisible());
        for (const auto& item : fs::directory_iterator(zip::PrivateTempFolder()))
            EXPECT_EQ(item.path().filename().string().rfind(backup::kSaveFolderPrefix, 0), std::string::npos);
        if (std::string(c.problem) == "a damaged store") {
            // Kept aside byte for byte; the next save starts from a fresh store.
            std::vector<std::string> kept;
            for (const auto& item : fs::directory_iterator(fs::path(store).parent_path()))
                if (item.path().string().rfind(store + ".damaged-", 0) == 0) kept.push_back(item.path());
            ASSERT_EQ(kept.size(), 1u);
            EXPECT_EQ(Read(kept[0]), spoiled);
        }
        Unmount();
        ::setenv("XDG_RUNTIME_DIR", temp.c_str(), 1);
        fs::remove_all(home + "/.cups/lpoptions");
        SetKeys("saved");
    }
}

TEST_F(SettingsBackupTest, TwoSavesWithinASecondHoldTheSecondSavesSettings) {
    const std::string archive = archives + "/printers.qpk";
    Save(archive);
    SetKeys("second");
    Save(archive);
    EXPECT_EQ(Entries(archive), "1.reg 8 2\n2.reg 8 2\n3.reg 8 2\n");
    for (const char* entry : {"1.reg", "2.reg", "3.reg"})
        EXPECT_NE(Entry(archive, entry).find("second"), std::string::npos) << entry;
    EXPECT_TRUE(dialogs.errors.empty());
}

// Padded device settings deflate so well that the hive's last compressed bytes inflate
// to more than one chunk after the input is used up.
TEST_F(SettingsBackupTest, SettingsWithLongRunsOfOneByteComeBackWhole) {
    const std::string padded(4 << 20, 'a');
    ASSERT_TRUE(registry->SetValue("Printers\\DevModePerUser", "Desk", RegistryValue::Bytes(padded)));
    const std::string archive = archives + "/printers.qpk";
    Save(archive);
    SetKeys("changed");
    Restore(archive);
    EXPECT_TRUE(dialogs.errors.empty() && dialogs.messages.empty());
    EXPECT_TRUE(registry->Value("Printers\\DevModePerUser", "Desk")->data == padded);
}

TEST_F(SettingsBackupTest, ARestoreExtractsOnlyTheHivesAndRefusesOnesLargerThanSettingsCanBe) {
    const std::string saved = archives + "/printers.qpk";
    Save(saved);
    const std::string tags = KeyTags();
    auto hive = [&](test::ArchiveBuilder& archive, const char* name) { archive.Add(name, Entry(saved, name), 0); };
    // Whatever gets extracted is watched; a large file stops the restore.
    std::uintmax_t largest = 0;
    form->Zipper1.ProcessMessages = [&] {
        largest = std::max(largest, LargestFileBelow(temp));
        if (largest > (1u << 20)) form->Zipper1.Cancel();
    };
    struct Case {
        const char* archive;
        std::function<void(test::ArchiveBuilder&)> build;
        bool restored;
    };
    const Case cases[] = {
        {"inflating 1.reg",
         [&](test::ArchiveBuilder& a) {
             AddInflating(a, "1.reg", 3072);
             hive(a, "2.reg");
             hive(a, "3.reg");
         },
         false},
        {"inflating 3.REG",
         [&](test::ArchiveBuilder& a) {
             hive(a, "1.reg");
             hive(a, "2.reg");
             AddInflating(a, "3.REG", 64);
         },
         false},
        {"large unrelated entry",
         [&](test::ArchiveBuilder& a) {
             hive(a, "1.reg");
             AddInflating(a, "big.bin", 3072);
             hive(a, "2.reg");
             hive(a, "3.reg");
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.archive);
        const std::string archive = archives + "/" + c.archive + ".qpk";
        test::ArchiveBuilder builder;
        c.build(builder);
        builder.Write(archive);
        SetKeys("changed");
        const std::string changed = KeyTags();
        dialogs.errors.clear();
        dialogs.messages.clear();
        const auto started = std::chrono::steady_clock::now();
        Restore(archive);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
        EXPECT_LT(largest, 1u << 20);
        EXPECT_TRUE(dialogs.messages.empty());
        if (c.restored) {
            EXPECT_TRUE(dialogs.errors.empty());
            EXPECT_EQ(KeyTags(), tags);
        } else {
            ASSERT_EQ(dialogs.errors.size(), 1u);
            EXPECT_NE(dialogs.errors[0].find("more than settings can"), std::string::npos) << dialogs.errors[0];
            EXPECT_EQ(KeyTags(), changed);
        }
        EXPECT_TRUE(TempLeftovers().empty());
    }
}

// A damaged store is put aside and the keys restored into a fresh one; the user's CUPS
// settings that cannot be written back are reported with the reason.
TEST_F(SettingsBackupTest, ARestoreRebuildsADamagedStoreAndReportsCupsSettingsItCannotWrite) {
    const std::string archive = archives + "/printers.qpk";
    Save(archive);
    const std::string tags = KeyTags();
    Write(registry->File(), Read(registry->File()).substr(0, 40));
    Restore(archive);
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_NE(dialogs.messages[0].find("is damaged. It was kept as"), std::string::npos) << dialogs.messages[0];
    EXPECT_EQ(KeyTags(), tags);
    dialogs.messages.clear();
    Restore(archive);
    EXPECT_TRUE(dialogs.messages.empty());

    SetKeys("changed");
    fs::remove(home + "/.cups/lpoptions");
    fs::create_directories(home + "/.cups/lpoptions/in the way");
    Restore(archive);
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_NE(dialogs.messages[0].find("lpoptions cannot be written: Is a directory"), std::string::npos)
        << dialogs.messages[0];
    EXPECT_EQ(registry->Value("Printers\\Settings", "Flags")->data, "saved");
}

// What killed runs left (a store's temporary file, save and restore folders) goes with
// the next run; what a live run holds stays.
TEST_F(SettingsBackupTest, LeftoversOfKilledRunsAreRemovedAndThoseOfLiveRunsKept) {
    const std::string archive = archives + "/printers.qpk";
    Save(archive);
    const std::string storeTemporary = registry->File() + ".aB3xYz";
    Write(storeTemporary, "half a store");
    fs::create_directories(temp + "/QUILLsave-Q1w2E3");
    Write(temp + "/QUILLsave-Q1w2E3/3.reg", "lpoptions of a killed save");
    fs::create_directories(temp + "/QUILL12D34");
    fs::create_directories(temp + "/QUILL7D7");
    const int live = ::open((temp + "/QUILL7D7").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(::flock(live, LOCK_EX), 0);
    Write(temp + "/QUILLnotes", "the user's own");

    Restore(archive);
    EXPECT_FALSE(fs::exists(storeTemporary));
    std::vector<std::string> left = TempLeftovers();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"QUILL7D7", "QUILLnotes"}));
    ::close(live);
    Save(archive);
    EXPECT_EQ(TempLeftovers(), std::vector<std::string>{"QUILLnotes"});
    EXPECT_TRUE(dialogs.errors.empty() && dialogs.messages.empty());
}

// Two programs restoring different archives at once, through the same temporary folder
// and with the same folder names from the generator, each into a store of its own.
TEST_F(SettingsBackupTest, TwoProgramsRestoringAtOnceEachGetTheirOwnArchivesKeys) {
    std::vector<std::string> commands;
    for (const char* tag : {"alpha", "beta"}) {
        SetKeys(tag);
        Save(archives + "/" + tag + ".qpk");
        commands.push_back(std::string(QUILL_RESTORE_RUNNER) + " '" + archives + "/" + tag + ".qpk' '" + root + "/" +
                           tag + "' '" + temp + "' 50 " + tag);
    }
    FILE* first = ::popen(commands[0].c_str(), "r");
    FILE* second = ::popen(commands[1].c_str(), "r");
    for (FILE* runner : {first, second}) {
        char line[256] = "";
        const bool answered = std::fgets(line, sizeof line, runner) != nullptr;
        const int status = ::pclose(runner);
        EXPECT_TRUE(answered);
        EXPECT_EQ(status, 0) << line;
    }
    EXPECT_TRUE(TempLeftovers().empty());
}
