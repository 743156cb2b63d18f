// The reader on archives built byte by byte, in a temporary folder.
#include "zip/TUnZipper.h"

#include "ArchiveBuilder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace quill::zip;
using quill::test::ArchiveBuilder;
namespace fs = std::filesystem;

namespace {

std::string Read(const fs::path& path) { return ArchiveBuilder::ReadFile(path); }

std::string Mixed(std::size_t size) {
    std::string s;
    std::uint32_t x = 12345;
    while (s.size() < size) {
        x = x * 1103515245 + 12345;
        s += (x >> 16) % 3 ? static_cast<char>('a' + (x >> 8) % 26) : static_cast<char>(x >> 24);
    }
    return s;
}

class UnZipperTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = quill::test::MakeTempFolder("quill-zip");
        archive = root / "settings.qpk";
        dest = root / "out";
    }
    void TearDown() override { quill::test::RemoveTree(root); }

    // The settings restore's use of the reader.
    int Restore(TUnZipper& zipper) {
        zipper.setZipName(archive);
        zipper.DoAll = true;
        zipper.setDestDir(dest);
        zipper.OverwriteMode = TUZOverwriteMode::Always;
        return zipper.UnZip();
    }
    int Restore() {
        TUnZipper zipper;
        return Restore(zipper);
    }

    std::vector<std::string> Files(const fs::path& folder) {
        std::vector<std::string> names;
        std::error_code ignored;
        for (auto& p : fs::recursive_directory_iterator(folder, ignored))
            names.push_back(fs::relative(p.path(), folder).string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path root, archive, dest;
};

using Names = std::vector<std::string>;

} // namespace

TEST_F(UnZipperTest, RestoresStoredAndDeflatedEntriesWithTheirDatesAndAttributes) {
    ArchiveBuilder b;
    b.Add("1.reg", Mixed(100000));
    b.Add("2.reg", "two", 0);
    auto& three = b.Add("3.reg", Mixed(5000));
    three.externalAttributes = 0x21; // read-only
    b.Write(archive);
    EXPECT_EQ(Restore(), 3);
    EXPECT_EQ(Read(dest / "1.reg"), Mixed(100000));
    EXPECT_EQ(Read(dest / "2.reg"), "two");
    EXPECT_EQ(Read(dest / "3.reg"), Mixed(5000));
    struct stat st {};
    ASSERT_EQ(::stat((dest / "3.reg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u); // read-only, and still dated
    EXPECT_EQ(TimeToDosDateTime(st.st_mtime), MakeDosDateTime(2013, 5, 5, 6, 42, 38));
    ASSERT_EQ(::stat((dest / "1.reg").c_str(), &st), 0);
    EXPECT_NE(st.st_mode & 0200, 0u);
}

TEST_F(UnZipperTest, EmptyAndTinyFiles) {
    ArchiveBuilder::WriteFile(archive, "");
    EXPECT_EQ(Restore(), 0);
    EXPECT_TRUE(Files(dest).empty());
    for (std::size_t size : {1u, 5u, 21u}) {
        ArchiveBuilder::WriteFile(archive, std::string(size, 'P'));
        TUnZipper zipper;
        try {
            Restore(zipper);
            FAIL() << size;
        } catch (const EIncompleteZip& e) {
            EXPECT_STREQ(e.what(), "Incomplete Zip File");
        }
    }
    ArchiveBuilder::WriteFile(archive, "this is a text file, long enough to be searched for an end record");
    TUnZipper zipper;
    zipper.IncompleteZipMode = TIncompleteZipMode::izAssumeNotAZip;
    try {
        Restore(zipper);
        FAIL();
    } catch (const ENotAZipFile& e) {
        EXPECT_STREQ(e.what(), "Not a valid zip file!");
    }
}

TEST_F(UnZipperTest, EndRecordBehindTheLongestCommentIsFound) {
    ArchiveBuilder b;
    b.Add("1.reg", "one");
    b.comment = std::string(65535, 'c');
    b.Write(archive);
    TUnZipper zipper;
    EXPECT_EQ(Restore(zipper), 1);
    EXPECT_TRUE(zipper.EndCentral().Comment == b.comment);
    EXPECT_EQ(zipper.EndCentral().CommentPosition, fs::file_size(archive) - 65535);
}

TEST_F(UnZipperTest, EndSignatureInsideTheCommentClosestToTheEndWins) {
    ArchiveBuilder b;
    b.Add("1.reg", "one");
    b.Add("2.reg", "two");
    const std::string whole = b.Build();
    // The comment holds a copy of the real end record that counts one entry only.
    std::string fake = whole.substr(whole.size() - 22);
    quill::zip::Put16(reinterpret_cast<unsigned char*>(fake.data()) + 8, 1);
    quill::zip::Put16(reinterpret_cast<unsigned char*>(fake.data()) + 10, 1);
    b.comment = std::string(1000, 'c') + fake + std::string(500, 'c');
    b.Write(archive);
    TUnZipper zipper;
    zipper.setZipName(archive);
    zipper.ReadZip();
    EXPECT_EQ(zipper.Count(), 1);
    EXPECT_EQ(zipper.EndCentral().CommentPosition, fs::file_size(archive) - 500);
}

TEST_F(UnZipperTest, DuplicateLocalOffsetsStartTheRepairFromLocalHeaders) {
    ArchiveBuilder b;
    b.Add("1.reg", "first");
    b.Add("2.reg", "second").localOffset = 0; // claims the first entry's header
    b.Write(archive);
    TUnZipper zipper;
    zipper.setZipName(archive);
    zipper.ReadZip();
    ASSERT_EQ(zipper.Count(), 2);
    EXPECT_EQ(zipper.Filename(0), "1.reg");
    EXPECT_EQ(zipper.Filename(1), "2.reg");
    EXPECT_EQ(Restore(zipper), 2);
    EXPECT_EQ(Read(dest / "2.reg"), "second");
}

TEST_F(UnZipperTest, LocalHeadersAloneAreRepairedWhenTheModeSaysSo) {
    ArchiveBuilder b;
    b.Add("1.reg", "first");
    b.Add("2.reg", "second", 0);
    std::string bytes = b.Build();
    bytes.resize(bytes.find("PK\x01\x02")); // no central directory, no end record
    ArchiveBuilder::WriteFile(archive, bytes);
    TUnZipper zipper;
    zipper.IncompleteZipMode = TIncompleteZipMode::izAssumeBad;
    zipper.setZipName(archive);
    zipper.DoAll = true;
    zipper.setDestDir(dest);
    zipper.OverwriteMode = TUZOverwriteMode::Always;
    TIncompleteZipMode asked = TIncompleteZipMode::izAssumeMulti;
    zipper.OnInCompleteZip = [&](TUnZipper*, TIncompleteZipMode& mode) { asked = mode; };
    EXPECT_EQ(zipper.UnZip(), 2);
    EXPECT_EQ(asked, TIncompleteZipMode::izAssumeBad);
    EXPECT_EQ(Read(dest / "1.reg"), "first");
    EXPECT_EQ(Read(dest / "2.reg"), "second");
}

TEST_F(UnZipperTest, AFalseExtraFieldLengthIsToleratedOnce) {
    ArchiveBuilder b;
    b.Add("1.reg", "first").centralExtraLength = 12; // claims 12 bytes that are not there
    b.Add("2.reg", "second");
    b.Write(archive);
    EXPECT_EQ(Restore(), 2);
    EXPECT_EQ(Read(dest / "2.reg"), "second");
}

TEST_F(UnZipperTest, DatesOutOfRangeAreClamped) {
    ArchiveBuilder b;
    b.Add("1.reg", "x").dosDateTime = (33u * 512 + 0 * 32 + 5) << 16 | (31u * 2048 + 42 * 32 + 19);
    b.Write(archive);
    TUnZipper zipper;
    EXPECT_EQ(Restore(zipper), 1);
    EXPECT_EQ(zipper.Entry(0).ModDateTime, MakeDosDateTime(2013, 1, 5, 23, 42, 38));
    struct stat st {};
    ::stat((dest / "1.reg").c_str(), &st);
    EXPECT_EQ(TimeToDosDateTime(st.st_mtime), MakeDosDateTime(2013, 1, 5, 23, 42, 38));
}

TEST_F(UnZipperTest, OverwriteModesDecideAboutExistingFiles) {
    ArchiveBuilder b;
    b.Add("1.reg", "from the archive"); // dated 2013
    b.Write(archive);
    struct Row {
        TUZOverwriteMode mode;
        std::time_t existingDate;
        bool replaced;
    };
    const std::time_t older = DosDateTimeToTime(MakeDosDateTime(2010, 1, 1, 0, 0, 0));
    const std::time_t newer = DosDateTimeToTime(MakeDosDateTime(2020, 1, 1, 0, 0, 0));
    const Row rows[] = {
        {TUZOverwriteMode::Always, newer, true},  {TUZOverwriteMode::Never, older, false},
        {TUZOverwriteMode::ifNewer, older, true}, {TUZOverwriteMode::ifNewer, newer, false},
        {TUZOverwriteMode::ifOlder, newer, true}, {TUZOverwriteMode::ifOlder, older, false},
        {TUZOverwriteMode::Prompt, older, false}, // nobody answers: the file stays
    };
    for (const auto& row : rows) {
        fs::create_directories(dest);
        ArchiveBuilder::WriteFile(dest / "1.reg", "already here");
        const struct timespec times[2] = {{row.existingDate, 0}, {row.existingDate, 0}};
        ::utimensat(AT_FDCWD, (dest / "1.reg").c_str(), times, 0);
        TUnZipper zipper;
        zipper.setZipName(archive);
        zipper.DoAll = true;
        zipper.setDestDir(dest);
        zipper.OverwriteMode = row.mode;
        std::vector<TSkipReason> skips;
        zipper.OnSkippingFile = [&](TUnZipper*, TSkipReason reason, const std::string&, int, bool&) {
            skips.push_back(reason);
        };
        EXPECT_EQ(zipper.UnZip(), row.replaced ? 1 : 0) << static_cast<int>(row.mode);
        EXPECT_EQ(Read(dest / "1.reg"), row.replaced ? "from the archive" : "already here");
        EXPECT_EQ(skips.size(), row.replaced ? 0u : 1u);
        if (!skips.empty()) {
            EXPECT_EQ(skips[0], TSkipReason::srNoOverwrite);
        }
    }
    // A prompt answered yes replaces.
    TUnZipper zipper;
    zipper.setZipName(archive);
    zipper.DoAll = true;
    zipper.setDestDir(dest);
    std::string asked;
    zipper.OnHandleMessage = [&](TUnZipper*, int, const std::string& text, const std::string& caption, unsigned,
                                 int& answer) {
        asked = caption + ": " + text;
        answer = IDYES;
    };
    EXPECT_EQ(zipper.UnZip(), 1);
    EXPECT_EQ(asked, "File Exists Alert: Replace existing file 1.reg?");
}

TEST_F(UnZipperTest, ReadOnlyTargetIsKeptUnlessReplaceReadOnly) {
    ArchiveBuilder b;
    b.Add("1.reg", "new");
    b.Write(archive);
    fs::create_directories(dest);
    ArchiveBuilder::WriteFile(dest / "1.reg", "old");
    ::chmod((dest / "1.reg").c_str(), 0444);
    std::vector<TSkipReason> skips;
    TUnZipper zipper;
    zipper.OnSkippingFile = [&](TUnZipper*, TSkipReason r, const std::string&, int, bool&) { skips.push_back(r); };
    EXPECT_EQ(Restore(zipper), 0);
    EXPECT_EQ(Read(dest / "1.reg"), "old");
    ASSERT_EQ(skips.size(), 1u);
    EXPECT_EQ(skips[0], TSkipReason::srCreateError);
    TUnZipper replacing;
    replacing.ReplaceReadOnly = true;
    EXPECT_EQ(Restore(replacing), 1);
    EXPECT_EQ(Read(dest / "1.reg"), "new");
}

TEST_F(UnZipperTest, TargetThatIsAFolderIsSkippedAsNotCreatable) {
    ArchiveBuilder b;
    b.Add("1.reg", "one");
    b.Add("2.reg", "two");
    b.Write(archive);
    fs::create_directories(dest / "1.reg");
    EXPECT_EQ(Restore(), 1);
    EXPECT_EQ(Read(dest / "2.reg"), "two");
}

TEST_F(UnZipperTest, BadCrcDeletesTheTargetAndLowersTheCount) {
    ArchiveBuilder b;
    b.Add("1.reg", "good");
    b.Add("2.reg", "bad").crc = 0x12345678;
    b.Add("3.reg", "unchecked", 0).crc = 0; // a stored CRC of 0 is accepted
    b.Write(archive);
    TUnZipper zipper;
    std::vector<std::uint32_t> bad;
    zipper.OnBadCRC = [&](TUnZipper*, std::uint32_t computed, std::uint32_t stored, int index) {
        bad = {computed, stored, static_cast<std::uint32_t>(index)};
    };
    EXPECT_EQ(Restore(zipper), 2);
    EXPECT_EQ(Files(dest), (Names{"1.reg", "3.reg"}));
    EXPECT_EQ(bad, (std::vector<std::uint32_t>{Crc32("bad", 3), 0x12345678u, 1u}));
}

TEST_F(UnZipperTest, InflationBeyondTheStoredSizeFails) {
    ArchiveBuilder b;
    b.Add("1.reg", Mixed(70000)).uncompressedSize = 1000;
    auto& zero = b.Add("2.reg", Mixed(70000));
    zero.uncompressedSize = 1000;
    zero.crc = 0;
    b.Add("3.reg", "fine");
    b.Write(archive);
    EXPECT_EQ(Restore(), 1);
    // Deleted, except where the stored CRC is 0: the cut output stays, decoded bytes only.
    EXPECT_EQ(Files(dest), (Names{"2.reg", "3.reg"}));
    EXPECT_EQ(Read(dest / "2.reg"), Mixed(70000).substr(0, 1000));
}

TEST_F(UnZipperTest, TruncatedStoredDataRaisesAndLeavesOnlyDecodedBytes) {
    ArchiveBuilder b;
    b.Add("1.reg", Mixed(50000), 0);
    std::string bytes = b.Build();
    bytes.resize(30 + 5 + 20000);
    // An end record after the cut, pointing at a central header that is copied there.
    ArchiveBuilder c;
    c.Add("1.reg", Mixed(50000), 0);
    const std::string whole = c.Build();
    const std::string central = whole.substr(whole.find("PK\x01\x02"));
    std::string cut = bytes + central;
    quill::zip::Put32(reinterpret_cast<unsigned char*>(cut.data()) + cut.size() - 22 + 16,
                      static_cast<std::uint32_t>(bytes.size()));
    ArchiveBuilder::WriteFile(archive, cut);
    TUnZipper zipper;
    try {
        Restore(zipper);
        FAIL();
    } catch (const EFatalUnzipError& e) {
        EXPECT_STREQ(e.what(), "Premature end of file reached");
    }
    // No tail of zeros up to the stored size: the target holds a part of the data only.
    const std::string left = Read(dest / "1.reg");
    EXPECT_LT(left.size(), 30000u);
    EXPECT_EQ(left, Mixed(50000).substr(0, left.size()));
}

TEST_F(UnZipperTest, DeflateStreamThatEndsEarlyFailsInsteadOfReadingStaleInput) {
    const std::string data = Mixed(200000);
    const std::string packed = ArchiveBuilder::Deflate(data);
    ArchiveBuilder b;
    auto& e = b.Add("1.reg", data);
    e.compressed = packed.substr(0, packed.size() - 100); // the stream's last bytes are missing
    b.Write(archive);
    TUnZipper zipper;
    EXPECT_THROW(Restore(zipper), EFatalUnzipError);
}

TEST_F(UnZipperTest, CorruptDeflateDataRaisesZlibError) {
    ArchiveBuilder b;
    b.Add("1.reg", "some text").compressed = std::string("\xFF\xFF\xFF\xFF\xFF\xFF", 6);
    b.Write(archive);
    try {
        Restore();
        FAIL();
    } catch (const EZCompressionError& e) {
        EXPECT_STREQ(e.what(), "error");
    }
}

TEST_F(UnZipperTest, FoldersAreIgnoredUnlessRecreated) {
    ArchiveBuilder b;
    b.Add("sub/", "", 0);
    b.Add("sub/dir/1.reg", "deep");
    b.Add("other/1.reg", "later wins");
    b.Add("2.reg", "top");
    b.Write(archive);
    EXPECT_EQ(Restore(), 3);
    EXPECT_EQ(Files(dest), (Names{"1.reg", "2.reg"}));
    EXPECT_EQ(Read(dest / "1.reg"), "later wins");

    fs::remove_all(dest);
    TUnZipper zipper;
    zipper.RecreateDirs = true;
    EXPECT_EQ(Restore(zipper), 4);
    EXPECT_EQ(Files(dest), (Names{"2.reg", "other", "other/1.reg", "sub", "sub/dir", "sub/dir/1.reg"}));
    EXPECT_EQ(Read(dest / "sub/dir/1.reg"), "deep");
}

TEST_F(UnZipperTest, NoNameLeadsOutsideTheDestination) {
    ArchiveBuilder b;
    b.Add("../escape.reg", "a");
    b.Add("/etc/absolute.reg", "b");
    b.Add("..\\..\\back.reg", "c");
    b.Add("sub/..", "d");
    b.Add("sub/.", "e");
    b.Add(std::string("nul\0/../x.reg", 13), "f");
    b.Add("C:\\drive.reg", "g");
    b.Add("ok.reg", "h");
    b.Write(archive);
    for (bool recreate : {false, true}) {
        fs::remove_all(dest);
        TUnZipper zipper;
        zipper.RecreateDirs = recreate;
        Restore(zipper);
        for (const auto& p : fs::recursive_directory_iterator(root))
            EXPECT_EQ(p.path().string().rfind(dest.string(), 0) == 0 || p.path() == archive, true) << p.path();
        EXPECT_EQ(Read(dest / "ok.reg"), "h");
    }
    // Without recreated folders only the file name part counts.
    fs::remove_all(dest);
    Restore();
    EXPECT_EQ(Files(dest), (Names{"absolute.reg", "back.reg", "drive.reg", "escape.reg", "ok.reg"}));
    // With them, a ".." anywhere skips the entry.
    fs::remove_all(dest);
    TUnZipper zipper;
    zipper.RecreateDirs = true;
    Restore(zipper);
    EXPECT_EQ(Files(dest), (Names{"drive.reg", "etc", "etc/absolute.reg", "ok.reg"}));
}

TEST_F(UnZipperTest, SymbolicLinksInTheDestinationAreNotFollowed) {
    ArchiveBuilder b;
    b.Add("1.reg", "payload");
    b.Write(archive);
    fs::create_directories(dest);
    fs::create_symlink(root / "victim", dest / "1.reg");
    Restore();
    EXPECT_FALSE(fs::exists(root / "victim"));
}

// A folder on the way that is a symbolic link to a folder outside (planted before the
// run, or by an earlier entry's handler) is never followed: the entry is refused as a
// file that cannot be created, and nothing outside is made, replaced or removed.
TEST_F(UnZipperTest, FoldersOnTheWayThatAreSymbolicLinksAreNotFollowed) {
    ArchiveBuilder b;
    b.Add("a/x.txt", "into a");
    b.Add("b/c/y.txt", "into b/c");
    b.Add("d/", "", 0);
    b.Add("d/e/", "", 0);
    b.Add("ok/z.txt", "stays inside");
    b.Write(archive);
    const fs::path outside = root / "outside";
    fs::create_directories(outside);
    ArchiveBuilder::WriteFile(outside / "x.txt", "outside, before");
    fs::create_directories(dest / "b");
    fs::create_symlink("../outside", dest / "a");
    fs::create_symlink("../../outside", dest / "b" / "c");
    fs::create_symlink("../outside", dest / "d");
    for (const auto overwrite : {TUZOverwriteMode::Always, TUZOverwriteMode::ifOlder}) {
        fs::remove_all(dest / "ok");
        TUnZipper zipper;
        zipper.RecreateDirs = true;
        std::vector<std::pair<TSkipReason, std::string>> skips;
        zipper.OnSkippingFile = [&](TUnZipper*, TSkipReason r, const std::string& name, int, bool&) {
            skips.emplace_back(r, name.substr(dest.string().size() + 1));
        };
        zipper.setZipName(archive);
        zipper.DoAll = true;
        zipper.setDestDir(dest);
        zipper.OverwriteMode = overwrite;
        EXPECT_EQ(zipper.UnZip(), 1);
        EXPECT_EQ(skips, (std::vector<std::pair<TSkipReason, std::string>>{{TSkipReason::srCreateError, "a/x.txt"},
                                                                           {TSkipReason::srCreateError, "b/c/y.txt"},
                                                                           {TSkipReason::srCreateError, "d"},
                                                                           {TSkipReason::srCreateError, "d/e"}}));
        EXPECT_EQ(Files(outside), (Names{"x.txt"}));
        EXPECT_EQ(Read(outside / "x.txt"), "outside, before");
        EXPECT_EQ(Read(dest / "ok/z.txt"), "stays inside");
        EXPECT_TRUE(fs::is_symlink(dest / "a"));
    }
}

// The handlers that may rename a target: the file goes where they say, also to a folder
// of the caller's own choosing outside the destination.
TEST_F(UnZipperTest, TargetsRenamedByTheHandlersAreWrittenThere) {
    ArchiveBuilder b;
    b.Add("1.reg", "one");
    b.Add("2.reg", "two");
    b.Add("3.reg", "three");
    b.Write(archive);
    fs::create_directories(dest);
    ArchiveBuilder::WriteFile(dest / "3.reg", "old three");
    TUnZipper zipper;
    zipper.setZipName(archive);
    zipper.DoAll = true;
    zipper.setDestDir(dest);
    zipper.OverwriteMode = TUZOverwriteMode::Prompt;
    zipper.OnStartUnZip = [&](TUnZipper*, int, std::string& name, bool&) {
        if (name.ends_with("1.reg")) name = (dest / "renamed.reg").string();
        if (name.ends_with("2.reg")) name = (root / "chosen" / "2.reg").string();
    };
    zipper.OnPromptForOverwrite = [&](TUnZipper*, bool& write, int, std::string& name) {
        name = (dest / "3-new.reg").string();
        write = true;
    };
    EXPECT_EQ(zipper.UnZip(), 3);
    EXPECT_EQ(Files(dest), (Names{"3-new.reg", "3.reg", "renamed.reg"}));
    EXPECT_EQ(Read(dest / "renamed.reg"), "one");
    EXPECT_EQ(Read(root / "chosen" / "2.reg"), "two");
    EXPECT_EQ(Read(dest / "3.reg"), "old three");
    EXPECT_EQ(Read(dest / "3-new.reg"), "three");
}

TEST_F(UnZipperTest, SelectionByPatternsOnLowerCasedNames) {
    EXPECT_TRUE(MatchPattern("*", ""));
    EXPECT_TRUE(MatchPattern("*.reg", "sub\\1.reg"));
    EXPECT_TRUE(MatchPattern("?.reg", "1.reg"));
    EXPECT_FALSE(MatchPattern("?.reg", "12.reg"));
    EXPECT_TRUE(MatchPattern("<1-2>.reg", "2.reg"));
    EXPECT_FALSE(MatchPattern("<1-2>.reg", "3.reg"));
    EXPECT_TRUE(MatchPattern("<!1-2>.reg", "3.reg"));
    EXPECT_TRUE(MatchPattern("<^ab>.reg", "c.reg"));
    EXPECT_FALSE(MatchPattern("<1-2.reg", "1.reg")); // a malformed set matches nothing

    ArchiveBuilder b;
    b.Add("Sub/1.REG", "1");
    b.Add("2.reg", "2");
    b.Add("3.txt", "3");
    b.Write(archive);
    TUnZipper zipper;
    zipper.setZipName(archive);
    zipper.setDestDir(dest);
    zipper.OverwriteMode = TUZOverwriteMode::Always;
    zipper.FilesList() = {"sub\\*.reg", "2.*"};
    int announced = -1;
    zipper.OnStartUnZipInfo = [&](TUnZipper*, int files, std::uint64_t, bool&) { announced = files; };
    EXPECT_EQ(zipper.UnZip(), 2);
    EXPECT_EQ(announced, 2);
    EXPECT_EQ(Files(dest), (Names{"1.REG", "2.reg"}));
    EXPECT_TRUE(zipper.FilesList().empty()); // cleared after the run
}

TEST_F(UnZipperTest, ViewSortModesAndEntryAccess) {
    ArchiveBuilder b;
    auto& c = b.Add("b/c.reg", std::string(300, 'c'), 0);
    c.dosDateTime = MakeDosDateTime(2001, 1, 1, 0, 0, 0);
    auto& a = b.Add("a/z.reg", Mixed(1000), 0);
    a.dosDateTime = MakeDosDateTime(2005, 1, 1, 0, 0, 0);
    auto& d = b.Add("a.reg", std::string(5000, 'd'));
    d.dosDateTime = MakeDosDateTime(2003, 1, 1, 0, 0, 0);
    b.Write(archive);
    TUnZipper zipper;
    zipper.setZipName(archive);
    zipper.ReadZip();
    auto order = [&] {
        Names names;
        for (int i = 0; i < zipper.Count(); ++i) names.push_back(zipper.Entry(i).Directory + zipper.Filename(i));
        return names;
    };
    EXPECT_EQ(order(), (Names{"b\\c.reg", "a\\z.reg", "a.reg"}));
    zipper.setSortMode(TZipSortMode::ByName);
    EXPECT_EQ(order(), (Names{"a.reg", "a\\z.reg", "b\\c.reg"}));
    zipper.setSortMode(TZipSortMode::ByFileName);
    EXPECT_EQ(order(), (Names{"a.reg", "b\\c.reg", "a\\z.reg"}));
    zipper.setSortMode(TZipSortMode::ByDate);
    EXPECT_EQ(order(), (Names{"a\\z.reg", "a.reg", "b\\c.reg"}));
    zipper.setSortMode(TZipSortMode::ByUnCompressedSize);
    EXPECT_EQ(order(), (Names{"a.reg", "a\\z.reg", "b\\c.reg"}));
    zipper.setSortMode(TZipSortMode::ByRate);
    EXPECT_EQ(order().front(), "b\\c.reg"); // stored: 100 percent
    try {
        zipper.Entry(3);
        FAIL();
    } catch (const EListError& e) {
        EXPECT_STREQ(e.what(), "Index 3 is out of range");
    }
    EXPECT_THROW(zipper.Entry(-1), EListError);
}

TEST_F(UnZipperTest, DirectoryIsCachedUntilTheArchiveChangesEvenWithinOneDosTimeStep) {
    ArchiveBuilder b;
    b.Add("1.reg", "one");
    b.Write(archive);
    TUnZipper zipper;
    zipper.setZipName(archive);
    zipper.ReadZip();
    ASSERT_EQ(zipper.Count(), 1);
    const struct timespec fixed[2] = {{1000000000, 0}, {1000000000, 0}};
    ::utimensat(AT_FDCWD, archive.c_str(), fixed, 0);
    zipper.setZipName(archive); // a name that was not changed keeps what was read
    zipper.ReadZip();
    EXPECT_EQ(zipper.Count(), 1);
    // Rewritten by another program with the same date: read again, not taken from the cache.
    ArchiveBuilder two;
    two.Add("1.reg", "one");
    two.Add("2.reg", "two");
    two.Write(archive);
    ::utimensat(AT_FDCWD, archive.c_str(), fixed, 0);
    zipper.setZipName(archive.string().substr(0, archive.string().size() - 3) + "QPK"); // case-insensitive
    zipper.ReadZip();
    EXPECT_EQ(zipper.Count(), 2);
    // Rewritten in place to the same size and the same modification time to the
    // nanosecond: the change time still tells.
    ArchiveBuilder same;
    same.Add("3.reg", "one");
    same.Add("4.reg", "six");
    ASSERT_EQ(same.Build().size(), two.Build().size());
    // The kernel's file times advance in clock ticks of a few milliseconds.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    {
        std::fstream out(archive, std::ios::in | std::ios::out | std::ios::binary);
        out << same.Build();
    }
    ::utimensat(AT_FDCWD, archive.c_str(), fixed, 0);
    zipper.DoAll = true;
    zipper.setDestDir(dest);
    zipper.OverwriteMode = TUZOverwriteMode::Always;
    EXPECT_EQ(zipper.UnZip(), 2);
    EXPECT_EQ(zipper.Filename(0), "3.reg");
    EXPECT_EQ(Read(dest / "4.reg"), "six");
    EXPECT_EQ(zipper.UnZip(), 2); // twice from the directory held
    // Replaced by another file of the same date while the archive is kept open: the
    // directory comes from the file that has the name now, not from the one held open.
    zipper.KeepZipOpen = true;
    zipper.ReadZip();
    ArchiveBuilder replacement;
    replacement.Add("5.reg", "five");
    replacement.Write(root / "replacement.qpk");
    ::utimensat(AT_FDCWD, (root / "replacement.qpk").c_str(), fixed, 0);
    fs::rename(root / "replacement.qpk", archive);
    EXPECT_EQ(zipper.UnZip(), 1);
    EXPECT_EQ(Read(dest / "5.reg"), "five");
}

TEST_F(UnZipperTest, DestDirAndRootDirSetterRules) {
    TUnZipper zipper;
    zipper.setDestDir("/tmp/x/");
    EXPECT_EQ(zipper.DestDir(), "/tmp/x");
    zipper.setDestDir("/");
    EXPECT_EQ(zipper.DestDir(), "");
    zipper.setRootDir("base");
    EXPECT_EQ(zipper.RootDir(), "base\\");
    EXPECT_EQ(zipper.RelativePathList(), (Names{"base\\"}));
    zipper.setRootDir("");
    EXPECT_TRUE(zipper.RelativePathList().empty());
    zipper.setDestDir("?");
    EXPECT_EQ(zipper.UnZip(), 0);
}

TEST_F(UnZipperTest, NamesDecodeFromOemOrUtf8) {
    ArchiveBuilder b;
    b.Add("\x84rger.reg", "oem");                           // CP437 a-umlaut
    b.Add("caf\xC3\xA9.reg", "utf8").flags = 0x0800;        // UTF-8 flag
    b.Add("\xCE\xBB.reg", "madeby").versionMadeBy = 0x0B2D; // UTF-8 by version made by
    b.Write(archive);
    EXPECT_EQ(Restore(), 3);
    EXPECT_EQ(Files(dest), (Names{"caf\xC3\xA9.reg", "\xC3\xA4rger.reg", "\xCE\xBB.reg"}));
}

TEST_F(UnZipperTest, UnicodePathExtraFieldGivesTheName) {
    ArchiveBuilder b;
    auto& e = b.Add("old.reg", "x");
    const std::string utf8 = "dir/\xC3\xBC.reg";
    std::string extra(9, '\0');
    quill::zip::Put16(reinterpret_cast<unsigned char*>(extra.data()), 0x7075);
    quill::zip::Put16(reinterpret_cast<unsigned char*>(extra.data()) + 2, static_cast<std::uint16_t>(5 + utf8.size()));
    extra[4] = 1;
    e.centralExtra = extra + utf8;
    b.Write(archive);
    TUnZipper zipper;
    EXPECT_EQ(Restore(zipper), 1);
    EXPECT_EQ(zipper.Entry(0).Directory, "dir\\");
    EXPECT_EQ(Files(dest), (Names{"\xC3\xBC.reg"}));
}

TEST_F(UnZipperTest, EncryptedAndUnknownEntriesAreNotExtracted) {
    ArchiveBuilder b;
    b.Add("secret.reg", "x").flags = 1;
    b.Add("odd.reg", "y", 77);
    b.Add("plain.reg", "z");
    b.Write(archive);
    TUnZipper zipper;
    std::vector<TSkipReason> skips;
    zipper.OnSkippingFile = [&](TUnZipper*, TSkipReason r, const std::string&, int, bool&) { skips.push_back(r); };
    std::string message;
    zipper.OnHandleMessage = [&](TUnZipper*, int, const std::string& text, const std::string& caption, unsigned, int&) {
        message = caption + ": " + text;
    };
    EXPECT_EQ(Restore(zipper), 1);
    EXPECT_EQ(skips, (std::vector<TSkipReason>{TSkipReason::srBadPassword}));
    EXPECT_EQ(message, "Zip Error: Unknown Compression Method");
    EXPECT_EQ(Files(dest), (Names{"plain.reg"}));
}

TEST_F(UnZipperTest, CancelDuringTheRunRaisesAndStillReportsTheEnd) {
    ArchiveBuilder b;
    b.Add("1.reg", "1");
    b.Add("2.reg", "2");
    b.Write(archive);
    TUnZipper zipper;
    int complete = -1;
    zipper.OnUnZipComplete = [&](TUnZipper*, int count) { complete = count; };
    zipper.OnEndUnZip = [&](TUnZipper* z, int, const std::string&) { z->Cancel(); };
    try {
        Restore(zipper);
        FAIL();
    } catch (const EUserCanceled& e) {
        EXPECT_STREQ(e.what(), "User Aborted Operation");
    }
    EXPECT_EQ(complete, 1);
    EXPECT_FALSE(zipper.Busy());
}

TEST_F(UnZipperTest, LegacyArchivesExtractWithMatchingCrcs) {
    const fs::path legacy = QUILL_ZIP_DATA_DIR;
    const std::pair<const char*, int> archives[] = {
        {"shrink.zip", 1}, {"reduce.zip", 1}, {"implode.zip", 1}, {"implode2.zip", 5}};
    for (const auto& [name, count] : archives) {
        SCOPED_TRACE(name);
        fs::remove_all(dest);
        TUnZipper zipper;
        zipper.setZipName(legacy / name);
        zipper.DoAll = true;
        zipper.setDestDir(dest);
        zipper.OverwriteMode = TUZOverwriteMode::Always;
        int bad = 0;
        zipper.OnBadCRC = [&](TUnZipper*, std::uint32_t, std::uint32_t, int) { ++bad; };
        EXPECT_EQ(zipper.UnZip(), count);
        EXPECT_EQ(bad, 0);
        for (int i = 0; i < zipper.Count(); ++i) {
            const std::string data = Read(dest / zipper.Filename(i));
            EXPECT_EQ(Crc32(data.data(), data.size()), zipper.Entry(i).CRC32);
        }
    }
}

TEST_F(UnZipperTest, SavedCentralDirectoryFileStandsInForAMissingEndRecord) {
    ArchiveBuilder b;
    b.Add("1.reg", "one");
    b.Add("2.reg", Mixed(3000));
    const std::string whole = b.Build();
    const std::size_t central = whole.find("PK\x01\x02");
    ArchiveBuilder::WriteFile(archive, whole.substr(0, central));
    ArchiveBuilder::WriteFile(root / "settings.zfc", whole.substr(central));
    EXPECT_EQ(Restore(), 2);
    EXPECT_EQ(Read(dest / "2.reg"), Mixed(3000));
}

TEST_F(UnZipperTest, PartNamesOfSplitArchives) {
    TUnZipper zipper;
    zipper.setZipName("/data/backup.zip");
    EXPECT_EQ(zipper.PartName(0), "/data/backup.zip"); // a single part is the last one
    zipper.BlockMode = TBlockMode::bmClassic;
    EXPECT_EQ(zipper.PartName(0), "/data/backup.001");
    EXPECT_EQ(zipper.PartName(11), "/data/backup.012");
}

TEST_F(UnZipperTest, ADeclaredSizeThatTheDataDoesNotFillFailsWithoutALongTarget) {
    ArchiveBuilder b;
    b.Add("huge.reg", "tiny", 0).uncompressedSize = 0xFFFFFFF0u; // 4 bytes that claim almost 4 GiB
    auto& deflated = b.Add("short.reg", Mixed(1000));
    deflated.uncompressedSize = 5000;
    auto& unchecked = b.Add("unchecked.reg", Mixed(1000));
    unchecked.uncompressedSize = 5000;
    unchecked.crc = 0; // a CRC of 0 does not let a size mismatch pass either
    b.Add("fine.reg", "fine");
    b.Write(archive);
    TUnZipper zipper;
    std::vector<int> bad;
    zipper.OnBadCRC = [&](TUnZipper*, std::uint32_t, std::uint32_t, int index) { bad.push_back(index); };
    EXPECT_EQ(Restore(zipper), 1);
    EXPECT_EQ(Files(dest), (Names{"fine.reg"}));
    EXPECT_TRUE(bad.empty()); // the CRCs are right: only the sizes lie
}

TEST_F(UnZipperTest, EntriesWhoseDataOverlapAreRefused) {
    // "outer.reg" stores bytes that hold the whole local header and data of "inner.reg";
    // the central directory names both, so the same bytes would be extracted twice.
    std::string inner(30, '\0');
    auto* h = reinterpret_cast<unsigned char*>(inner.data());
    Put32(h, kLocalHeaderSignature);
    Put16(h + 4, 20);
    Put32(h + 10, MakeDosDateTime(2013, 5, 5, 6, 42, 38));
    Put32(h + 14, Crc32("payload", 7));
    Put32(h + 18, 7);
    Put32(h + 22, 7);
    Put16(h + 26, 9);
    inner += "inner.regpayload";
    ArchiveBuilder b;
    b.Add("outer.reg", inner, 0);
    b.Add("inner.reg", "payload", 0).localOffset = 30 + 9; // inside outer's data
    b.Add("zeros.reg", std::string(5 << 20, '\0'));        // honest and highly compressed
    b.Write(archive);
    TUnZipper zipper;
    std::vector<std::pair<TSkipReason, int>> skips;
    zipper.OnSkippingFile = [&](TUnZipper*, TSkipReason reason, const std::string&, int index, bool&) {
        skips.emplace_back(reason, index);
    };
    EXPECT_EQ(Restore(zipper), 2);
    EXPECT_EQ(Files(dest), (Names{"outer.reg", "zeros.reg"}));
    EXPECT_EQ(skips, (std::vector<std::pair<TSkipReason, int>>{{TSkipReason::srCreateError, 1}}));
    EXPECT_EQ(fs::file_size(dest / "zeros.reg"), 5u << 20);
    // Sorted otherwise, the entry met second is the one refused.
    fs::remove_all(dest);
    TUnZipper byName;
    byName.setSortMode(TZipSortMode::ByName);
    EXPECT_EQ(Restore(byName), 2);
    EXPECT_EQ(Files(dest), (Names{"inner.reg", "zeros.reg"}));
}

TEST_F(UnZipperTest, AReplacedTargetIsANewFileNeverOneReachedThroughALink) {
    ArchiveBuilder b;
    b.Add("1.reg", "from the archive");
    b.Add("2.reg", "second");
    b.Write(archive);
    fs::create_directories(dest);
    ArchiveBuilder::WriteFile(root / "outside.txt", "outside the destination");
    fs::create_hard_link(root / "outside.txt", dest / "1.reg");
    fs::create_symlink(root / "victim.txt", dest / "2.reg");
    EXPECT_EQ(Restore(), 2);
    EXPECT_EQ(Read(root / "outside.txt"), "outside the destination");
    EXPECT_FALSE(fs::exists(root / "victim.txt"));
    EXPECT_EQ(Read(dest / "1.reg"), "from the archive");
    EXPECT_EQ(fs::hard_link_count(dest / "1.reg"), 1u);
    EXPECT_EQ(Read(dest / "2.reg"), "second");
    EXPECT_FALSE(fs::is_symlink(dest / "2.reg"));
}

TEST_F(UnZipperTest, ModesAndTimesGoToTheFileWrittenNotToWhatItsPathNamesLater) {
    ArchiveBuilder b;
    b.Add("1.reg", "payload").externalAttributes = 0x21; // read-only, dated 2013
    b.Write(archive);
    const fs::path outside = root / "outside.txt";
    ArchiveBuilder::WriteFile(outside, "outside the destination");
    const struct timespec stamp[2] = {{1600000000, 0}, {1600000000, 0}};
    ::utimensat(AT_FDCWD, outside.c_str(), stamp, 0);
    TUnZipper zipper;
    // Once all data is written, the target's name is made to point outside.
    zipper.OnFilePercentDone = [&](TUnZipper*, int percent) {
        if (percent < 100) return;
        fs::rename(dest / "1.reg", dest / "moved.reg");
        fs::create_symlink(outside, dest / "1.reg");
    };
    EXPECT_EQ(Restore(zipper), 1);
    struct stat st {};
    ASSERT_EQ(::stat(outside.c_str(), &st), 0);
    EXPECT_NE(st.st_mode & 0200, 0u);
    EXPECT_EQ(st.st_mtime, 1600000000);
    ASSERT_EQ(::stat((dest / "moved.reg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);
    EXPECT_EQ(TimeToDosDateTime(st.st_mtime), MakeDosDateTime(2013, 5, 5, 6, 42, 38));
}

TEST_F(UnZipperTest, AnEmptyDestDirIsRefused) {
    const std::string name = "quill-zip-test-empty-destdir.reg";
    ArchiveBuilder b;
    b.Add(name, "never in the root folder");
    b.Write(archive);
    for (const std::string& destDir : {std::string(), std::string("/")}) {
        TUnZipper zipper;
        zipper.setZipName(archive);
        zipper.DoAll = true;
        zipper.setDestDir(destDir);
        zipper.OverwriteMode = TUZOverwriteMode::Always;
        try {
            zipper.UnZip();
            ADD_FAILURE() << "extracted with DestDir \"" << destDir << "\"";
        } catch (const EZipperException& e) {
            EXPECT_STREQ(e.what(), "No destination folder for the extracted files (DestDir is empty)");
        }
        EXPECT_FALSE(fs::exists("/" + name));
        fs::remove("/" + name);
    }
}
