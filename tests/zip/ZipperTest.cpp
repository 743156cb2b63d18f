// The writer and the update of an existing archive, on real files.
#include "zip/TZipper.h"

#include "ArchiveBuilder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quill::zip;
using quill::test::ArchiveBuilder;
namespace fs = std::filesystem;

namespace {

std::string Read(const fs::path& path) { return ArchiveBuilder::ReadFile(path); }

void Write(const fs::path& path, const std::string& data) { ArchiveBuilder::WriteFile(path, data); }

void SetTime(const fs::path& path, std::time_t t) {
    const struct timespec times[2] = {{t, 0}, {t, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

std::string Random(std::size_t size, std::uint32_t seed) {
    std::string s(size, '\0');
    for (auto& c : s) {
        seed = seed * 1664525 + 1013904223;
        c = static_cast<char>(seed >> 24);
    }
    return s;
}

std::uint16_t U16(const std::string& s, std::size_t at) {
    return Get16(reinterpret_cast<const unsigned char*>(s.data() + at));
}
std::uint32_t U32(const std::string& s, std::size_t at) {
    return Get32(reinterpret_cast<const unsigned char*>(s.data() + at));
}

// The output of a shell command, and its exit status.
std::pair<std::string, int> Shell(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return {"", -1};
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    const int status = ::pclose(pipe);
    return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The archive as tools nobody here wrote see it: unzip -t passes, bsdtar lists it where it is
// installed, and Python's zipfile reads every entry (checking its CRC). The result is one
// line per entry, "name size crc32", as Python decodes the name.
std::string CheckedByOtherTools(const fs::path& archive, const std::string& password = "") {
    const std::string pw = password.empty() ? "" : "-P " + Quoted(password) + " ";
    const auto [testOutput, testStatus] = Shell("unzip -tqq " + pw + Quoted(archive) + " 2>&1");
    EXPECT_EQ(testStatus, 0) << "unzip -t: " << testOutput;
    if (Shell("command -v bsdtar").second == 0 && password.empty()) {
        const auto [list, listStatus] = Shell("bsdtar -tf " + Quoted(archive) + " 2>&1");
        EXPECT_EQ(listStatus, 0) << "bsdtar: " << list;
    }
    const std::string script = "import sys, zipfile, zlib\n"
                               "pw = sys.argv[2].encode() or None\n"
                               "with zipfile.ZipFile(sys.argv[1]) as z:\n"
                               "    for i in z.infolist():\n"
                               "        d = z.read(i, pwd=pw)\n"
                               "        print(i.filename, len(d), zlib.crc32(d))\n";
    const auto [lines, status] = Shell("PYTHONIOENCODING=utf-8 python3 -c " + Quoted(script) + " " + Quoted(archive) +
                                       " " + Quoted(password) + " 2>&1");
    EXPECT_EQ(status, 0) << "Python's zipfile: " << lines;
    return lines;
}

std::string Line(const std::string& name, const std::string& data) {
    return name + " " + std::to_string(data.size()) + " " + std::to_string(Crc32(data.data(), data.size())) + "\n";
}

class ZipperTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = quill::test::MakeTempFolder("quill-zipper");
        archive = root / "settings.qpk";
        temp = root / "temp";
        fs::create_directories(temp);
        for (int i = 1; i <= 3; ++i) Write(root / (std::to_string(i) + ".reg"), Text(i));
    }
    void TearDown() override { quill::test::RemoveTree(root); }

    static std::string Text(int i) {
        std::string s = "Windows Registry Editor Version 5.00\r\n";
        for (int k = 0; k < 100 * i; ++k)
            s += "\"Printer" + std::to_string(k) + "\"=dword:0000000" + std::to_string(i) + "\r\n";
        return s;
    }

    // The settings save's use of the writer.
    int Save(TZipper& zipper, std::vector<std::string> names = {"1.reg", "2.reg", "3.reg"}) {
        zipper.setZipName(archive);
        for (const auto& n : names) zipper.FilesList().push_back((root / n).string());
        zipper.Recurse = false;
        zipper.setStorePaths(false);
        zipper.PackLevel = 9;
        zipper.TempPath = temp;
        return zipper.Zip();
    }
    int Save(std::vector<std::string> names = {"1.reg", "2.reg", "3.reg"}) {
        TZipper zipper;
        return Save(zipper, names);
    }

    std::vector<std::string> Listed(const fs::path& path) {
        TUnZipper reader;
        reader.setZipName(path);
        reader.ReadZip();
        std::vector<std::string> names;
        for (int i = 0; i < reader.Count(); ++i) names.push_back(reader.Entry(i).Directory + reader.Filename(i));
        return names;
    }

    fs::path root, archive, temp;
};

using Names = std::vector<std::string>;

} // namespace

TEST_F(ZipperTest, ThreeFilesAtLevelNineHaveTheDocumentedBytes) {
    EXPECT_EQ(Save(), 3);
    const std::string a = Read(archive);
    std::size_t at = 0;
    std::vector<std::size_t> locals;
    for (int i = 1; i <= 3; ++i) {
        SCOPED_TRACE(i);
        locals.push_back(at);
        EXPECT_EQ(U32(a, at), 0x04034B50u);
        EXPECT_EQ(U16(a, at + 4), 20);     // version needed
        EXPECT_EQ(U16(a, at + 6), 0x0002); // level 9
        EXPECT_EQ(U16(a, at + 8), 8);
        EXPECT_EQ(U32(a, at + 14), Crc32(Text(i).data(), Text(i).size()));
        EXPECT_EQ(U32(a, at + 22), Text(i).size());
        EXPECT_EQ(U16(a, at + 26), 5);
        EXPECT_EQ(U16(a, at + 28), 0);
        EXPECT_EQ(a.substr(at + 30, 5), std::to_string(i) + ".reg");
        at += 30 + 5 + U32(a, at + 18);
    }
    const std::size_t central = at;
    for (int i = 1; i <= 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(U32(a, at), 0x02014B50u);
        EXPECT_EQ(U16(a, at + 4), 45);
        EXPECT_EQ(U16(a, at + 6), 20);
        EXPECT_EQ(U16(a, at + 8), 0x0002);
        EXPECT_EQ(U16(a, at + 30), 0); // extra
        EXPECT_EQ(U16(a, at + 32), 0); // comment
        EXPECT_EQ(U16(a, at + 36), 0); // internal attributes
        EXPECT_EQ(U32(a, at + 38), 0x20u);
        EXPECT_EQ(U32(a, at + 42), locals[static_cast<std::size_t>(i - 1)]);
        at += 46 + 5;
    }
    EXPECT_EQ(at - central, 153u);
    ASSERT_EQ(a.size(), at + 22);
    const std::string expectedEnd = std::string("PK\x05\x06\0\0\0\0\x03\0\x03\0\x99\0\0\0", 16);
    EXPECT_EQ(a.substr(at, 16), expectedEnd);
    EXPECT_EQ(U32(a, at + 16), central);
    EXPECT_EQ(U16(a, at + 20), 0);
}

TEST_F(ZipperTest, NoFileFoundMakesTheEmptyArchive) {
    std::vector<std::string> missing;
    TZipper zipper;
    zipper.OnNoSuchFile = [&](TZipper*, const std::string& name) { missing.push_back(name); };
    EXPECT_EQ(Save(zipper, {"7.reg", "8.reg", "9.reg"}), 0);
    EXPECT_EQ(missing.size(), 3u);
    EXPECT_EQ(Read(archive), std::string("PK\x05\x06\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 22));
    EXPECT_TRUE(zipper.FilesList().empty());
}

TEST_F(ZipperTest, EmptyAndIncompressibleFilesAreDeflatedAnyway) {
    Write(root / "empty.reg", "");
    Write(root / "noise.bin", Random(100000, 7));
    EXPECT_EQ(Save({"empty.reg", "noise.bin"}), 2);
    TUnZipper reader;
    reader.setZipName(archive);
    reader.ReadZip();
    const auto& empty = reader.Entry(0);
    EXPECT_EQ(empty.CompressionMethod, 8);
    EXPECT_EQ(empty.UncompressedSize(), 0u);
    EXPECT_EQ(empty.CompressedSize(), 2u);
    EXPECT_EQ(empty.CRC32, 0u);
    const auto& noise = reader.Entry(1);
    EXPECT_EQ(noise.CompressionMethod, 8);
    EXPECT_GT(noise.CompressedSize(), noise.UncompressedSize());
}

TEST_F(ZipperTest, NamesOutsideTheOemCodePageAreStoredAsUtf8) {
    Write(root / "\xE2\x82\xAC.reg", "euro"); // no OEM form
    Write(root / "\xC3\xA4.reg", "a-umlaut"); // OEM 0x84
    EXPECT_EQ(Save({"\xE2\x82\xAC.reg", "\xC3\xA4.reg", "1.reg"}), 3);
    const std::string a = Read(archive);
    const std::size_t central = U32(a, a.size() - 6);
    EXPECT_EQ(U16(central == 0 ? a : a, central + 4), 0x0B2D);
    EXPECT_EQ(U16(a, central + 8) & 0x0800, 0x0800);
    EXPECT_EQ(a.substr(central + 46, 3), "\xE2\x82\xAC");
    const std::size_t second = central + 46 + 7;
    EXPECT_EQ(U16(a, second + 4), 45);
    EXPECT_EQ(U16(a, second + 8) & 0x0800, 0);
    EXPECT_EQ(a.substr(second + 46, 5), "\x84.reg");
    EXPECT_EQ(Listed(archive), (Names{"\xE2\x82\xAC.reg", "\xC3\xA4.reg", "1.reg"}));
}

TEST_F(ZipperTest, PackLevelSetsMethodAndFlags) {
    const std::pair<int, std::uint16_t> rows[] = {{0, 0x0004}, {1, 0x0004}, {2, 0x0004}, {5, 0}, {8, 0x0002}};
    for (const auto& [level, flags] : rows) {
        fs::remove(archive);
        TZipper zipper;
        zipper.setZipName(archive);
        zipper.FilesList() = {(root / "1.reg").string()};
        zipper.PackLevel = level;
        zipper.Zip();
        TUnZipper reader;
        reader.setZipName(archive);
        reader.ReadZip();
        EXPECT_EQ(reader.Entry(0).Flag, flags) << level;
        EXPECT_EQ(reader.Entry(0).CompressionMethod, level == 0 ? 0 : 8) << level;
    }
}

TEST_F(ZipperTest, SecondFileOfTheSameNameAndHiddenFilesAreLeftOut) {
    fs::create_directories(root / "other");
    Write(root / "other" / "1.REG", "another one");
    Write(root / ".hidden.reg", "hidden");
    std::vector<TSkipReason> skipped;
    std::vector<std::string> missing;
    TZipper zipper;
    zipper.OnSkippingFile = [&](TUnZipper*, TSkipReason r, const std::string&, int index, bool&) {
        skipped.push_back(r);
        EXPECT_EQ(index, -1);
    };
    zipper.OnNoSuchFile = [&](TZipper*, const std::string& name) { missing.push_back(name); };
    EXPECT_EQ(Save(zipper, {"1.reg", "other/1.REG", ".hidden.reg"}), 1);
    EXPECT_EQ(skipped, (std::vector<TSkipReason>{TSkipReason::srNoOverwrite}));
    EXPECT_EQ(missing, (Names{(root / ".hidden.reg").string()}));
    fs::remove(archive);
    TZipper withHidden;
    withHidden.setIncludeHiddenFiles(true);
    EXPECT_EQ(withHidden.SearchAttributes(), 0x3Bu);
    EXPECT_EQ(Save(withHidden, {".hidden.reg"}), 1);
    EXPECT_EQ(TZipper().SearchAttributes(), 0x39u);
}

TEST_F(ZipperTest, SavedDirectoryServesTheReaderAtOnce) {
    TZipper zipper;
    zipper.setSortMode(TZipSortMode::ByName);
    Save(zipper, {"3.reg", "1.reg"});
    EXPECT_EQ(zipper.SortMode(), TZipSortMode::ByName);
    ASSERT_EQ(zipper.Count(), 2);
    EXPECT_EQ(zipper.Filename(0), "1.reg");
    EXPECT_FALSE(zipper.Busy());
    EXPECT_TRUE(zipper.FilesList().empty());
    // The restore right after the save reads nothing again: the archive may even go.
    const std::string bytes = Read(archive);
    zipper.DoAll = true;
    zipper.setDestDir(root / "out");
    zipper.OverwriteMode = TUZOverwriteMode::Always;
    EXPECT_EQ(zipper.UnZip(), 2);
    EXPECT_EQ(Read(root / "out" / "3.reg"), Text(3));
}

TEST_F(ZipperTest, FailureRemovesTheNewArchiveAndRestoresTheComponent) {
    TZipper zipper;
    zipper.setSortMode(TZipSortMode::ByDate);
    zipper.OnEndZip = [](TZipper*, const std::string&, std::uint64_t, std::uint64_t, std::uint64_t) {
        throw std::runtime_error("stop");
    };
    EXPECT_THROW(Save(zipper), std::runtime_error);
    EXPECT_FALSE(fs::exists(archive));
    EXPECT_TRUE(zipper.FilesList().empty());
    EXPECT_EQ(zipper.SortMode(), TZipSortMode::ByDate);
    EXPECT_FALSE(zipper.KeepZipOpen);
    EXPECT_FALSE(zipper.Busy());

    TZipper cancelled;
    cancelled.OnStartZipInfo = [](TZipper*, int files, std::uint64_t bytes, TEndCentral&, bool& stop) {
        EXPECT_EQ(files, 3);
        EXPECT_GT(bytes, 0u);
        stop = true;
    };
    try {
        Save(cancelled);
        FAIL();
    } catch (const EUserCanceled& e) {
        EXPECT_STREQ(e.what(), "User canceled Zip operation");
    }
    EXPECT_FALSE(fs::exists(archive));

    TZipper nowhere;
    nowhere.setZipName(root / "missing-folder" / "x.qpk");
    nowhere.FilesList() = {(root / "1.reg").string()};
    EXPECT_THROW(nowhere.Zip(), EFOpenError);
    EXPECT_TRUE(nowhere.FilesList().empty());
}

TEST_F(ZipperTest, ShortReadWarnsAndRecordsWhatWasRead) {
    TZipper zipper;
    std::string warning;
    zipper.OnHandleMessage = [&](TUnZipper*, int id, const std::string& text, const std::string& caption, unsigned,
                                 int&) { warning = std::to_string(id) + " " + caption + " " + text; };
    // The file shrinks after it was opened.
    zipper.OnStartZip = [&](TZipper*, const std::string& name, TZipHeaderInfo&, bool&) {
        ::truncate(name.c_str(), 10);
    };
    Save(zipper, {"2.reg"});
    EXPECT_EQ(warning.rfind("208 " + (root / "2.reg").string(), 0), 0u) << warning;
    TUnZipper reader;
    reader.setZipName(archive);
    reader.ReadZip();
    EXPECT_EQ(reader.Entry(0).UncompressedSize(), 10u);
    EXPECT_EQ(reader.Entry(0).CRC32, Crc32(Text(2).data(), 10));
}

TEST_F(ZipperTest, UpdateWithinTheSameTwoSecondsCarriesEverythingOver) {
    for (int i = 1; i <= 3; ++i) SetTime(root / (std::to_string(i) + ".reg"), 1700000000);
    EXPECT_EQ(Save(), 3);
    const std::string first = Read(archive);
    std::vector<TUpdateAction> actions;
    TZipper zipper;
    zipper.OnUpdate = [&](TZipper*, TUpdateAction a, int) { actions.push_back(a); };
    EXPECT_EQ(Save(zipper), 0);
    EXPECT_EQ(actions, std::vector<TUpdateAction>(3, TUpdateAction::uaKeeping));
    EXPECT_EQ(Read(archive), first);
    EXPECT_TRUE(fs::is_empty(temp));
}

TEST_F(ZipperTest, UpdateWithNewerFilesReplacesInPlaceAndAppendsNewNames) {
    ArchiveBuilder older;
    older.Add("0.txt", "before", 0).dosDateTime = MakeDosDateTime(2030, 1, 1, 0, 0, 0);
    older.Add("1.reg", "old one").dosDateTime = MakeDosDateTime(2000, 1, 1, 0, 0, 0);
    auto& keep = older.Add("9.txt", Random(5000, 3));
    keep.comment = "kept comment";
    keep.dosDateTime = MakeDosDateTime(2030, 1, 1, 0, 0, 0);
    older.Add("2.reg", "newer than the file").dosDateTime = MakeDosDateTime(2099, 1, 1, 0, 0, 0);
    older.comment = "archive comment";
    older.Write(archive);
    const std::string before = Read(archive);
    Write(root / "4.reg", "new name");
    TZipper zipper;
    EXPECT_EQ(Save(zipper, {"1.reg", "2.reg", "4.reg"}), 2);
    EXPECT_EQ(Listed(archive), (Names{"0.txt", "1.reg", "9.txt", "2.reg", "4.reg"}));
    EXPECT_EQ(zipper.EndCentral().Comment, "archive comment");
    TUnZipper reader;
    reader.setZipName(archive);
    reader.ReadZip();
    EXPECT_EQ(reader.EndCentral().Comment, "archive comment");
    // Carried-over data, byte for byte; its comment stays.
    const std::string after = Read(archive);
    const auto& nine = reader.Entry(2);
    EXPECT_NE(after.find(ArchiveBuilder::Deflate(Random(5000, 3))), std::string::npos);
    EXPECT_EQ(nine.FileCommentLength, 12);
    reader.setDestDir(root / "out");
    reader.DoAll = true;
    reader.OverwriteMode = TUZOverwriteMode::Always;
    EXPECT_EQ(reader.UnZip(), 5);
    EXPECT_EQ(Read(root / "out" / "1.reg"), Text(1));
    EXPECT_EQ(Read(root / "out" / "2.reg"), "newer than the file");
    EXPECT_EQ(Read(root / "out" / "9.txt"), Random(5000, 3));
    EXPECT_TRUE(fs::is_empty(temp));
}

TEST_F(ZipperTest, ReplaceTakesEvenOlderFiles) {
    ArchiveBuilder older;
    older.Add("1.reg", "from the future").dosDateTime = MakeDosDateTime(2099, 1, 1, 0, 0, 0);
    older.Write(archive);
    TZipper zipper;
    zipper.ZipAction = TZipAction::zaReplace;
    EXPECT_EQ(Save(zipper, {"1.reg"}), 1);
    zipper.setDestDir(root / "out");
    zipper.DoAll = true;
    zipper.OverwriteMode = TUZOverwriteMode::Always;
    zipper.UnZip();
    EXPECT_EQ(Read(root / "out" / "1.reg"), Text(1));
}

TEST_F(ZipperTest, DataDescriptorsAreDroppedWithBitThreeCleared) {
    ArchiveBuilder older;
    older.Add("a.txt", "described").flags = 0x0008;
    older.Write(archive);
    EXPECT_EQ(Save({"1.reg"}), 1);
    const std::string a = Read(archive);
    EXPECT_EQ(U16(a, 6) & 0x0008, 0);
    EXPECT_EQ(U32(a, 14), Crc32("described", 9));
    TUnZipper reader;
    reader.setZipName(archive);
    reader.ReadZip();
    EXPECT_EQ(reader.Entry(0).Flag & 0x0008, 0);
}

TEST_F(ZipperTest, AVanishedReplacementLeavesTheOldEntry) {
    ArchiveBuilder older;
    older.Add("1.reg", "old").dosDateTime = MakeDosDateTime(2000, 1, 1, 0, 0, 0);
    older.Write(archive);
    TZipper zipper;
    zipper.ZipAction = TZipAction::zaReplace;
    zipper.OnStartZipInfo = [&](TZipper*, int, std::uint64_t, TEndCentral&, bool&) { fs::remove(root / "1.reg"); };
    EXPECT_EQ(Save(zipper, {"1.reg"}), 0);
    EXPECT_EQ(Listed(archive), (Names{"1.reg"}));
}

TEST_F(ZipperTest, FailedUpdateLeavesTheOlderArchiveAndNoTemporaryFile) {
    Save();
    const std::string before = Read(archive);
    for (int i = 1; i <= 3; ++i) SetTime(root / (std::to_string(i) + ".reg"), std::time(nullptr) + 100);
    TZipper zipper;
    zipper.OnEndZip = [](TZipper*, const std::string&, std::uint64_t, std::uint64_t, std::uint64_t) {
        throw std::runtime_error("disk trouble");
    };
    EXPECT_THROW(Save(zipper), std::runtime_error);
    EXPECT_EQ(Read(archive), before);
    EXPECT_TRUE(fs::is_empty(temp));
    // An existing file that is no archive: its error, and the file untouched.
    Write(archive, "not an archive at all, but long enough for the end record search");
    EXPECT_THROW(Save(), EIncompleteZip);
    EXPECT_EQ(Read(archive), "not an archive at all, but long enough for the end record search");
    EXPECT_TRUE(fs::is_empty(temp));
}

TEST_F(ZipperTest, AKilledUpdateLeavesEitherArchiveWhole) {
    Save();
    const std::string older = Read(archive);
    for (int i = 1; i <= 3; ++i) Write(root / (std::to_string(i) + ".reg"), Text(i + 3));
    for (int i = 1; i <= 3; ++i) SetTime(root / (std::to_string(i) + ".reg"), std::time(nullptr) + 100);
    bool completed = false;
    for (int step = 1; step < 200 && !completed; ++step) {
        const pid_t child = ::fork();
        if (child == 0) {
            int events = 0;
            auto tick = [&] {
                if (++events == step) ::kill(::getpid(), SIGKILL);
            };
            TZipper zipper;
            zipper.OnStartZipInfo = [&](TZipper*, int, std::uint64_t, TEndCentral&, bool&) { tick(); };
            zipper.OnUpdate = [&](TZipper*, TUpdateAction, int) { tick(); };
            zipper.OnStartZip = [&](TZipper*, const std::string&, TZipHeaderInfo&, bool&) { tick(); };
            zipper.OnFilePercentDone = [&](TUnZipper*, int) { tick(); };
            zipper.OnEndZip = [&](TZipper*, const std::string&, std::uint64_t, std::uint64_t, std::uint64_t) {
                tick();
            };
            zipper.OnTotalPercentDone = [&](TUnZipper*, int) { tick(); };
            Save(zipper);
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        completed = WIFEXITED(status);
        const std::string now = Read(archive);
        if (now != older) {
            // Then it is the complete new archive.
            TUnZipper reader;
            reader.setZipName(archive);
            reader.DoAll = true;
            reader.setDestDir(root / "check");
            reader.OverwriteMode = TUZOverwriteMode::Always;
            ASSERT_EQ(reader.UnZip(), 3) << "step " << step;
            for (int i = 1; i <= 3; ++i) ASSERT_EQ(Read(root / "check" / (std::to_string(i) + ".reg")), Text(i + 3));
        }
        for (const auto& f : fs::directory_iterator(temp)) fs::remove(f.path()); // what a kill leaves behind
    }
    EXPECT_TRUE(completed);
}

TEST_F(ZipperTest, FreshenZipsOnlyFilesThatAreInTheArchive) {
    ArchiveBuilder older;
    older.Add("1.reg", "old").dosDateTime = MakeDosDateTime(2000, 1, 1, 0, 0, 0);
    older.Write(archive);
    std::vector<TSkipReason> skipped;
    TZipper zipper;
    zipper.ZipAction = TZipAction::zaFreshen;
    zipper.OnSkippingFile = [&](TUnZipper*, TSkipReason r, const std::string&, int, bool&) { skipped.push_back(r); };
    EXPECT_EQ(Save(zipper, {"1.reg", "2.reg"}), 1);
    EXPECT_EQ(skipped, (std::vector<TSkipReason>{TSkipReason::srNoFileToFreshen}));
    EXPECT_EQ(Listed(archive), (Names{"1.reg"}));
}

TEST_F(ZipperTest, ADiskThatFillsUpRaisesNotEnoughRoomAndRemovesTheArchive) {
    Write(root / "big.bin", Random(200000, 5));
    const pid_t child = ::fork();
    if (child == 0) {
        // Files of this process may not grow beyond 50,000 bytes: writes fail as on a full disk.
        ::signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit = {50000, 50000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        TZipper zipper;
        zipper.setZipName(archive);
        zipper.FilesList() = {(root / "big.bin").string()};
        zipper.PackLevel = 0;
        try {
            zipper.Zip();
        } catch (const ENotEnoughRoom& e) {
            ::_exit(std::string(e.what()) == "Not enough room to write archive" ? 0 : 2);
        } catch (...) {
            ::_exit(3);
        }
        ::_exit(4);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(fs::exists(archive));
}

TEST_F(ZipperTest, AnArchiveWhoseDirectoryHadToBeRepairedIsNotUpdated) {
    // Entries followed by data descriptors, as a streaming writer makes them.
    ASSERT_EQ(Shell("cd " + Quoted(root) + " && zip -q - -fd 1.reg 2.reg 3.reg > streamed.zip").second, 0);
    const std::string streamed = Read(root / "streamed.zip");
    ASSERT_NE(streamed.find("PK\x07\x08"), std::string::npos);
    std::string spoiled = streamed;
    spoiled[spoiled.find("PK\x01\x02", spoiled.find("PK\x01\x02") + 4) + 3] = 'X';
    // Without descriptors: two central headers name one local header, and the entry found
    // only by the scan would lose its comment and attributes.
    ArchiveBuilder doubled;
    doubled.Add("a.txt", "first");
    auto& second = doubled.Add("b.txt", "second");
    second.localOffset = 0;
    second.comment = "a comment";
    second.externalAttributes = 0x21;
    const std::string archives[] = {"#!/bin/sh\nexec unzip \"$0\"\n" + streamed, spoiled, doubled.Build()};
    for (int i = 1; i <= 3; ++i) SetTime(root / (std::to_string(i) + ".reg"), std::time(nullptr) + 100);
    Write(root / "4.reg", "new");
    for (const std::string& bytes : archives) {
        Write(archive, bytes);
        TZipper zipper;
        try {
            Save(zipper, {"1.reg", "4.reg"});
            ADD_FAILURE() << "updated";
        } catch (const EBadZipFile& e) {
            EXPECT_EQ(e.what(), TZipper::DamagedArchiveError(archive));
        }
        EXPECT_TRUE(Read(archive) == bytes);
        EXPECT_TRUE(fs::is_empty(temp));
        EXPECT_TRUE(zipper.FilesList().empty());
    }
}

TEST_F(ZipperTest, EncryptedEntriesAreCarriedOverWithTheirFlagsAndDescriptors) {
    ASSERT_EQ(Shell("cd " + Quoted(root) + " && zip -q -P secret " + Quoted(archive) + " 1.reg 2.reg").second, 0);
    ASSERT_EQ(U16(Read(archive), 6), 0x0009); // encrypted, checked against the time
    Write(root / "4.reg", "new");
    EXPECT_EQ(Save({"4.reg"}), 1);
    const std::string a = Read(archive);
    EXPECT_EQ(U16(a, 6), 0x0009);
    EXPECT_EQ(CheckedByOtherTools(archive, "secret"),
              Line("1.reg", Text(1)) + Line("2.reg", Text(2)) + Line("4.reg", "new"));
    // Both descriptors came along: the second entry starts right after the first one's.
    const std::size_t first = 30 + U16(a, 26) + U16(a, 28) + U32(a, 18);
    EXPECT_EQ(U32(a, first), 0x08074B50u);
    EXPECT_EQ(U32(a, first + 16), 0x04034B50u);
}

namespace {

// A writer whose local headers without zip64 sizes hold 200,000 bytes at most, so that
// small files stand in for files of 4 GiB.
class SmallHeaderZipper : public TZipper {
protected:
    std::uint64_t NarrowSizeLimit() const override { return 200000; }
};

} // namespace

TEST_F(ZipperTest, AFileGrowingPastWhatItsLocalHeaderHoldsFailsTheZipInsteadOfCorruptingIt) {
    EXPECT_EQ(Save({"1.reg"}), 1);
    const std::string before = Read(archive);
    auto growWhileZipped = [this](TZipper& zipper, const std::string& name, std::size_t by) {
        zipper.OnFilePercentDone = [this, name, by, grown = false](TUnZipper*, int) mutable {
            if (grown) return;
            grown = true;
            std::ofstream(root / name, std::ios::binary | std::ios::app) << Random(by, 9);
        };
    };
    Write(root / "grow.reg", Random(1000, 8));
    SmallHeaderZipper growing;
    growWhileZipped(growing, "grow.reg", 300000);
    try {
        Save(growing, {"grow.reg"});
        FAIL();
    } catch (const EZipperException& e) {
        EXPECT_EQ(e.what(), TZipper::GrewPastLimitError((root / "grow.reg").string()));
    }
    EXPECT_TRUE(Read(archive) == before);
    EXPECT_TRUE(fs::is_empty(temp));
    // A file that was large already when it was opened has room for zip64 sizes: it may
    // grow and is still written whole.
    Write(root / "large.reg", Random(150000, 7));
    SmallHeaderZipper large;
    growWhileZipped(large, "large.reg", 100000);
    EXPECT_EQ(Save(large, {"large.reg"}), 1);
    EXPECT_EQ(CheckedByOtherTools(archive), Line("1.reg", Text(1)) + Line("large.reg", Read(root / "large.reg")));
    EXPECT_EQ(Read(root / "large.reg").size(), 250000u);
}

TEST_F(ZipperTest, AStrayAesBlockOnAPlainEntryDoesNotMakeItAesOnUpdate) {
    ArchiveBuilder older;
    auto& plain = older.Add("plain.txt", Random(3000, 4));
    std::string aes(11, '\0');
    auto* p = reinterpret_cast<unsigned char*>(aes.data());
    Put16(p, 0x9901);
    Put16(p + 2, 7);
    Put16(p + 4, 2);
    Put16(p + 6, 0x4541); // "AE"
    p[8] = 3;
    Put16(p + 9, 8);
    plain.centralExtra = aes;
    older.Write(archive);
    Write(root / "4.reg", "new");
    EXPECT_EQ(Save({"4.reg"}), 1);
    EXPECT_EQ(CheckedByOtherTools(archive), Line("plain.txt", Random(3000, 4)) + Line("4.reg", "new"));
    TUnZipper reader;
    reader.setZipName(archive);
    reader.ReadZip();
    EXPECT_EQ(reader.Entry(0).CompressionMethod, 8);
    EXPECT_FALSE(reader.Entry(0).IsEncrypted());
    EXPECT_NE(Read(archive).find(aes), std::string::npos); // the block itself stays as it stood
}

TEST_F(ZipperTest, ANameThatIsNotUtf8IsStoredAsItIsWithoutTheUtf8Flag) {
    const std::string latin1 = "caf\xE9.reg"; // a file system name in Latin-1
    Write(root / latin1, "latin-1 name");
    EXPECT_EQ(Save({latin1, "1.reg"}), 2);
    const std::string a = Read(archive);
    EXPECT_EQ(U16(a, 6) & 0x0800, 0);
    EXPECT_EQ(a.substr(30, latin1.size()), latin1);
    const std::string lines = CheckedByOtherTools(archive);
    EXPECT_NE(lines.find(Line("1.reg", Text(1))), std::string::npos) << lines;
    EXPECT_NE(lines.find(" 12 " + std::to_string(Crc32("latin-1 name", 12))), std::string::npos) << lines;
    // Read back by this component under the very same bytes.
    TUnZipper reader;
    reader.setZipName(archive);
    reader.DoAll = true;
    reader.setDestDir(root / "out");
    reader.OverwriteMode = TUZOverwriteMode::Always;
    EXPECT_EQ(reader.UnZip(), 2);
    EXPECT_EQ(Read(root / "out" / latin1), "latin-1 name");
}

TEST_F(ZipperTest, SmallerFaultsFifoSymbolicLinkedArchiveAndStaleTemporaryFiles) {
    // A FIFO is no file to zip: it is skipped as unreadable instead of waiting for a writer.
    ASSERT_EQ(::mkfifo((root / "fifo.reg").c_str(), 0600), 0);
    ::alarm(60); // a hang ends the test program
    std::vector<TSkipReason> skipped;
    TZipper zipper;
    zipper.OnSkippingFile = [&](TUnZipper*, TSkipReason r, const std::string&, int, bool&) { skipped.push_back(r); };
    const fs::path real = archive;
    archive = root / "link.qpk";
    fs::create_symlink(real, archive);
    EXPECT_EQ(Save(zipper, {"1.reg", "fifo.reg"}), 1);
    ::alarm(0);
    EXPECT_EQ(skipped, (std::vector<TSkipReason>{TSkipReason::srFileOpenError}));
    // A ZipName that is a symbolic link: the file it names is updated, the link stays.
    Write(temp / "ARXstale0", "left by a killed update");
    SetTime(temp / "ARXstale0", std::time(nullptr) - 3600);
    Write(temp / "ARXyoung0", "an update that just began");
    SetTime(root / "2.reg", std::time(nullptr) + 100);
    EXPECT_EQ(Save({"2.reg"}), 1);
    EXPECT_TRUE(fs::is_symlink(archive));
    EXPECT_EQ(CheckedByOtherTools(real), Line("1.reg", Text(1)) + Line("2.reg", Text(2)));
    // Temporary files of killed updates go; one too young to tell stays.
    EXPECT_FALSE(fs::exists(temp / "ARXstale0"));
    EXPECT_TRUE(fs::exists(temp / "ARXyoung0"));
}

TEST_F(ZipperTest, AnExtraFieldLongerThanItsSixteenBitLengthIsRefusedAndTheOlderArchiveStays) {
    // An entry whose disk is given in a zip64 block gets one in its new local header too:
    // 8 bytes more than the local extra field it carries over. Names and comments cannot
    // outgrow their lengths here (a path is at most 4,096 bytes, a carried one as it was).
    const struct {
        std::size_t localExtra;
        bool fits;
    } kRows[] = {{65527, true}, {65528, false}, {65535, false}};
    for (const auto& row : kRows) {
        ArchiveBuilder older;
        auto& kept = older.Add("kept.txt", "kept");
        kept.localExtra.assign(row.localExtra, '\x5A');
        auto* block = reinterpret_cast<unsigned char*>(kept.localExtra.data());
        Put16(block, 0xCAFE);
        Put16(block + 2, static_cast<std::uint16_t>(row.localExtra - 4));
        kept.centralExtra = std::string("\x01\x00\x04\x00\x00\x00\x00\x00", 8); // zip64: disk 0
        kept.diskStart = 0xFFFF;
        older.Write(archive);
        const std::string before = Read(archive);
        Write(root / "4.reg", "new");
        if (row.fits) {
            EXPECT_EQ(Save({"4.reg"}), 1);
            EXPECT_EQ(CheckedByOtherTools(archive), Line("4.reg", "new") + Line("kept.txt", "kept"));
            continue;
        }
        try {
            Save({"4.reg"});
            ADD_FAILURE() << row.localExtra << " bytes were written";
        } catch (const EZipperException& e) {
            EXPECT_STREQ(e.what(), "An extra field is too long for a zip archive") << row.localExtra;
        }
        EXPECT_EQ(Read(archive), before) << row.localExtra;
        EXPECT_TRUE(fs::is_empty(temp)) << row.localExtra;
    }
}
