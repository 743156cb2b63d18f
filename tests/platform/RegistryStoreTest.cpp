// The user's registry store and its hive files, on real files.
#include "platform/RegistryStore.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

using namespace quill::platform;
namespace fs = std::filesystem;

namespace {

class RegistryStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quill-registry-test-XXXXXX";
        dir = ::mkdtemp(pattern);
    }
    void TearDown() override { fs::remove_all(dir); }

    static std::string Read(const std::string& path) {
        std::ifstream file(path, std::ios::binary);
        std::stringstream content;
        content << file.rdbuf();
        return content.str();
    }
    static void Write(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    }
    // A store with a few typed values under Printers\Settings and a subkey below it.
    RegistryStore Filled() {
        RegistryStore store(dir + "/config/registry");
        EXPECT_TRUE(store.SetValue("Printers\\Settings", "text", RegistryValue::Text("Desk")));
        EXPECT_TRUE(store.SetValue("Printers\\Settings", "bytes", RegistryValue::Bytes(std::string("\0\xff", 2))));
        EXPECT_TRUE(store.CreateKey("Printers\\Settings\\Sub\\Deeper"));
        EXPECT_TRUE(store.SetValue("Printers\\Settings\\Sub", "n", RegistryValue::Number(0x01020304)));
        return store;
    }

    std::string dir;
};

} // namespace

TEST_F(RegistryStoreTest, PrinterKeysExistForEveryUserAndValuesKeepTheirTypesAcrossStores) {
    RegistryStore store(dir + "/config/registry");
    for (const auto& key : RegistryStore::DefaultKeys()) EXPECT_TRUE(store.KeyExists(key)) << key;
    EXPECT_FALSE(fs::exists(store.File())); // nothing written before a change
    Filled();
    RegistryStore again(dir + "/config/registry");
    EXPECT_EQ(again.Value("Printers\\Settings", "text"), RegistryValue::Text("Desk"));
    EXPECT_EQ(again.Value("Printers\\Settings", "bytes"), RegistryValue::Bytes(std::string("\0\xff", 2)));
    EXPECT_EQ(again.Value("Printers\\Settings\\Sub", "n")->data, std::string("\x04\x03\x02\x01"));
    EXPECT_TRUE(again.KeyExists("Printers\\Settings\\Sub\\Deeper"));
    EXPECT_FALSE(again.SetValue("Printers\\Missing", "x", RegistryValue::Text("y")));
    EXPECT_FALSE(again.CreateKey("Printers\\\\Empty"));
    // Only the store and its lock file are left in the folder: no temporary file.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir + "/config"), fs::directory_iterator()), 2);
    EXPECT_EQ(fs::status(store.File()).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(RegistryStoreTest, SaveWritesTheSubtreeRefusesToOverwriteAndLeavesNothingForAMissingKey) {
    RegistryStore store = Filled();
    const std::string hive = dir + "/3.reg";
    ASSERT_TRUE(store.SaveKey("Printers\\Settings", hive));
    EXPECT_EQ(Read(hive).substr(0, 8), "QUILLHIV");
    const auto decoded = RegistryStore::Decode(Read(hive), "QUILLHIV");
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, *store.Subtree("Printers\\Settings"));
    EXPECT_EQ(decoded->count("Sub\\Deeper"), 1u);

    Write(hive, "older");
    EXPECT_FALSE(store.SaveKey("Printers\\Settings", hive));
    EXPECT_EQ(Read(hive), "older");
    EXPECT_FALSE(store.SaveKey("Printers\\Nothing", dir + "/none.reg"));
    EXPECT_FALSE(fs::exists(dir + "/none.reg"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2); // config and 3.reg
}

TEST_F(RegistryStoreTest, RestoreReplacesTheWholeSubtreeAndNothingElse) {
    RegistryStore store = Filled();
    const std::string hive = dir + "/3.reg";
    ASSERT_TRUE(store.SaveKey("Printers\\Settings", hive));
    const auto saved = store.Subtree("Printers\\Settings");
    ASSERT_TRUE(store.SetValue("Printers\\Settings", "text", RegistryValue::Text("Other")));
    ASSERT_TRUE(store.CreateKey("Printers\\Settings\\Added"));
    ASSERT_TRUE(store.DeleteKey("Printers\\Settings\\Sub"));
    ASSERT_TRUE(store.SetValue("Printers\\DevModes2", "kept", RegistryValue::Number(7)));
    ASSERT_TRUE(store.CreateKey("Printers\\SettingsTwin")); // shares the prefix, not the subtree

    ASSERT_TRUE(store.RestoreKey("Printers\\Settings", hive));
    EXPECT_EQ(store.Subtree("Printers\\Settings"), saved);
    EXPECT_EQ(store.Value("Printers\\DevModes2", "kept"), RegistryValue::Number(7));
    EXPECT_TRUE(store.KeyExists("Printers\\SettingsTwin"));
    // A hive restores under another key too; a key that does not exist is not created.
    ASSERT_TRUE(store.RestoreKey("Printers\\DevModes2", hive));
    EXPECT_EQ(store.Value("Printers\\DevModes2", "text"), RegistryValue::Text("Desk"));
    EXPECT_FALSE(store.RestoreKey("Printers\\Nothing", hive));
    EXPECT_FALSE(store.KeyExists("Printers\\Nothing"));
}

TEST_F(RegistryStoreTest, DamagedMissingOrForeignHivesLeaveTheKeyAsItWas) {
    RegistryStore store = Filled();
    const std::string hive = dir + "/3.reg";
    ASSERT_TRUE(store.SaveKey("Printers\\Settings", hive));
    const std::string good = Read(hive);
    ASSERT_TRUE(store.SetValue("Printers\\Settings", "text", RegistryValue::Text("Changed")));
    const auto before = store.Subtree("Printers\\Settings");

    std::string flipped = good;
    flipped[flipped.size() - 3] ^= 0x10;
    std::string badVersion = good;
    badVersion[8] = 2;
    std::string longer = good + "x";
    std::string storeMagic = good;
    storeMagic.replace(0, 8, "QUILLREG");
    for (const std::string& bytes : {flipped, good.substr(0, good.size() - 1), good.substr(0, 20), std::string(),
                                     badVersion, longer, storeMagic, std::string("regf\0\0\0\0", 8) + good.substr(8)}) {
        Write(hive, bytes);
        EXPECT_FALSE(store.RestoreKey("Printers\\Settings", hive)) << bytes.size();
        EXPECT_EQ(store.Subtree("Printers\\Settings"), before);
    }
    EXPECT_FALSE(store.RestoreKey("Printers\\Settings", dir + "/missing.reg"));
    EXPECT_EQ(store.Subtree("Printers\\Settings"), before);
}

TEST_F(RegistryStoreTest, PathsLongerThan255CharactersArePassedWhole) {
    RegistryStore store = Filled();
    for (std::size_t length : {255u, 300u, 1000u}) {
        std::string folder = dir;
        while (folder.size() + 1 + 100 < length) {
            folder += "/" + std::string(std::min<std::size_t>(100, length - folder.size() - 110), 'd');
            fs::create_directories(folder);
        }
        std::string file = folder + "/" + std::string(length - folder.size() - 1 - 4, 'f') + ".reg";
        ASSERT_EQ(file.size(), length);
        ASSERT_TRUE(store.SaveKey("Printers\\Settings", file)) << length;
        EXPECT_TRUE(store.RestoreKey("Printers\\DevModePerUser", file)) << length;
        EXPECT_EQ(store.Value("Printers\\DevModePerUser", "text"), RegistryValue::Text("Desk"));
    }
}
