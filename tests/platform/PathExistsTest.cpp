// The file and folder test over real files.
#include "platform/PathExists.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <sys/stat.h>
#include <utime.h>

using quill::platform::PathExists;

namespace {

// A fresh folder under /tmp, removed with its contents afterwards.
struct Folder {
    std::string path;
    Folder() {
        char pattern[] = "/tmp/quill-path-XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~Folder() { std::filesystem::remove_all(path); }
};

} // namespace

TEST(PathExists, FilesFoldersPatternsAndKinds) {
    const Folder folder;
    const std::string dir = folder.path;
    std::ofstream(dir + "/SetupAid.exe") << "x";
    ::mkdir((dir + "/sub").c_str(), 0755);
    const struct {
        std::string path;
        int kind;
        bool exists;
    } cases[] = {
        {dir + "/SetupAid.exe", 0, true},
        {dir + "/SetupAid.exe", 1, false},
        {dir + "/sub", 1, true},
        {dir + "/sub", 0, false},
        {dir + "/missing", 0, false},
        {dir + "/Setup*.exe", 0, true},
        {dir + "/S?tupAid.exe", 0, true},
        {dir + "/su*", 1, true},
        {dir + "/*.none", 0, false},
        {dir + "/SetupAid.exe", 2, false},
        {"", 0, false},
    };
    for (const auto& c : cases) EXPECT_EQ(PathExists(c.path, c.kind), c.exists) << c.path << " kind " << c.kind;
}

TEST(PathExists, EntriesDatedOutsideTheDosRangeCountAsAbsent) {
    const Folder folder;
    const std::string file = folder.path + "/old.txt";
    std::ofstream(file) << "x";
    const utimbuf in1970{86400, 86400};
    ASSERT_EQ(::utime(file.c_str(), &in1970), 0);
    EXPECT_FALSE(PathExists(file, 0));
    const utimbuf in1990{631152000 + 86400, 631152000 + 86400};
    ASSERT_EQ(::utime(file.c_str(), &in1990), 0);
    EXPECT_TRUE(PathExists(file, 0));
}
