#include "app/CheckPrevious.h"

#include "platform/PosixSharedSection.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quill;
using app::CheckPrevious;

namespace {

// Sections in memory, with failures on request.
class FakeSections final : public platform::SharedSection {
public:
    struct Section {
        unsigned char bytes[8] = {};
    };
    std::map<std::string, Section> sections;
    int createError = 0;   // CreateFileMappingA fails with this
    bool failOpen = false; // OpenFileMappingA fails
    int starts = 0;        // LockStarts calls

    Created CreateFileMappingA(const std::string& name) override {
        Created created;
        if (createError) {
            created.error = createError;
            return created;
        }
        created.alreadyExists = sections.count(name) > 0;
        created.handle = std::make_unique<Handle>(sections[name]);
        return created;
    }
    std::unique_ptr<platform::SectionHandle> OpenFileMappingA(const std::string& name) override {
        if (failOpen || !sections.count(name)) return nullptr;
        return std::make_unique<Handle>(sections[name]);
    }
    std::unique_ptr<platform::StartLock> LockStarts(const std::string&) override {
        ++starts;
        return nullptr;
    }

private:
    struct View final : platform::SectionView {
        explicit View(Section& s) : section(s) {}
        unsigned char* bytes() override { return section.bytes; }
        Section& section;
    };
    struct Handle final : platform::SectionHandle {
        explicit Handle(Section& s) : section(s) {}
        std::unique_ptr<platform::SectionView> MapViewOfFile() override { return std::make_unique<View>(section); }
        Section& section;
    };
};

class FakeWindows final : public platform::WindowActivator {
public:
    bool iconic = false;
    std::vector<std::string> calls;
    bool IsIconic(std::uint32_t w) override {
        calls.push_back("IsIconic " + std::to_string(w));
        return iconic;
    }
    bool ShowWindow(std::uint32_t w, int command) override {
        calls.push_back("ShowWindow " + std::to_string(w) + " " + std::to_string(command));
        return true;
    }
    bool SetForegroundWindow(std::uint32_t w) override {
        calls.push_back("SetForegroundWindow " + std::to_string(w));
        return true;
    }
};

// Windows that are never there.
struct NoWindows final : platform::WindowActivator {
    bool IsIconic(std::uint32_t) override { return false; }
    bool ShowWindow(std::uint32_t, int) override { return false; }
    bool SetForegroundWindow(std::uint32_t) override { return false; }
};

const std::string kPath = "C:\\Tools\\Mgr.exe";
const std::string kKey = "C:ToolsMgr.exe";

void Put(FakeSections& sections, std::uint32_t window, std::int32_t count) {
    app::SetRecordWindow(sections.sections[kKey].bytes, window);
    app::SetRecordCount(sections.sections[kKey].bytes, count);
}
std::int32_t Count(FakeSections& sections) { return app::RecordCount(sections.sections[kKey].bytes); }
std::uint32_t Window(FakeSections& sections) { return app::RecordWindow(sections.sections[kKey].bytes); }

} // namespace

TEST(InstanceKey, BackslashesAreRemovedAndNothingElseChanges) {
    EXPECT_EQ(app::InstanceKey("C:\\Tools\\Mgr.exe"), "C:ToolsMgr.exe");
    EXPECT_EQ(app::InstanceKey("D:\\A\\B.exe"), "D:AB.exe");
    EXPECT_EQ(app::InstanceKey("/usr/bin/Quill Server"), "/usr/bin/Quill Server");
    EXPECT_EQ(app::InstanceKey("\\\\srv\\\\x"), "srvx");
}

TEST(CheckPrevious, RecordIsLittleEndianWindowThenSignedCount) {
    unsigned char bytes[8] = {};
    app::SetRecordWindow(bytes, 0x04030201);
    app::SetRecordCount(bytes, -2);
    const unsigned char expected[8] = {1, 2, 3, 4, 0xFE, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(0, std::memcmp(bytes, expected, 8));
}

TEST(CheckPrevious, NoSectionMakesTheFirstCopy) {
    FakeSections sections;
    FakeWindows windows;
    CheckPrevious guard(sections, windows, kPath);
    EXPECT_FALSE(guard.EnterInstanceGuard(77, 1));
    EXPECT_TRUE(guard.countedIn());
    EXPECT_EQ(Count(sections), 1);
    EXPECT_EQ(Window(sections), 77u);
    EXPECT_TRUE(windows.calls.empty());
    guard.LeaveInstanceGuard();
    EXPECT_EQ(Count(sections), 0);
}

TEST(CheckPrevious, CountBelowTheAllowedNumberCountsInAndRecordsItsWindow) {
    FakeSections sections;
    FakeWindows windows;
    Put(sections, 5, 0); // another copy is just leaving
    CheckPrevious guard(sections, windows, kPath);
    EXPECT_FALSE(guard.EnterInstanceGuard(9, 1));
    EXPECT_EQ(Count(sections), 1);
    EXPECT_EQ(Window(sections), 9u);

    Put(sections, 5, 1);
    CheckPrevious second(sections, windows, kPath);
    EXPECT_FALSE(second.EnterInstanceGuard(10, 2)); // two copies allowed
    EXPECT_EQ(Count(sections), 2);
    EXPECT_EQ(Window(sections), 10u);
}

TEST(CheckPrevious, RunningCopyIsRestoredWhenMinimisedAndBroughtForward) {
    FakeSections sections;
    FakeWindows windows;
    Put(sections, 42, 1);
    windows.iconic = true;
    {
        CheckPrevious guard(sections, windows, kPath);
        EXPECT_TRUE(guard.EnterInstanceGuard(9, 1));
        EXPECT_FALSE(guard.countedIn());
    } // leaving gives nothing back for a copy that was not counted in
    EXPECT_EQ(Count(sections), 1);
    EXPECT_EQ(Window(sections), 42u);
    EXPECT_EQ(windows.calls, (std::vector<std::string>{"IsIconic 42", "ShowWindow 42 9", "SetForegroundWindow 42"}));
}

TEST(CheckPrevious, VisibleRunningCopyIsOnlyBroughtForward) {
    FakeSections sections;
    FakeWindows windows;
    Put(sections, 42, 3);
    CheckPrevious guard(sections, windows, kPath);
    EXPECT_TRUE(guard.EnterInstanceGuard(9, 1));
    EXPECT_EQ(Count(sections), 3);
    EXPECT_EQ(windows.calls, (std::vector<std::string>{"IsIconic 42", "SetForegroundWindow 42"}));
}

TEST(CheckPrevious, SectionThatCannotBeOpenedEndsQuietly) {
    FakeSections sections;
    FakeWindows windows;
    Put(sections, 42, 1);
    sections.failOpen = true;
    CheckPrevious guard(sections, windows, kPath);
    EXPECT_TRUE(guard.EnterInstanceGuard(9, 1));
    EXPECT_EQ(Count(sections), 1);
    EXPECT_TRUE(windows.calls.empty());
}

TEST(CheckPrevious, SectionThatCannotBeCreatedRaisesTheSystemError) {
    FakeSections sections;
    FakeWindows windows;
    sections.createError = EACCES;
    CheckPrevious guard(sections, windows, kPath);
    try {
        guard.EnterInstanceGuard(9, 1);
        FAIL() << "no error";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), EACCES);
    }
}

TEST(CheckPrevious, StartsAndEndsAreSerialised) {
    FakeSections sections;
    FakeWindows windows;
    {
        CheckPrevious guard(sections, windows, kPath);
        guard.EnterInstanceGuard(1, 1);
        guard.SetInstanceWindow(1234);
        EXPECT_EQ(Window(sections), 1234u);
    }
    EXPECT_EQ(sections.starts, 3); // enter, the window, leave
}

// The real sections: POSIX shared memory with a unique name per test run.
class PosixSharedSectionTest : public ::testing::Test {
protected:
    std::string name = "/tmp/quill-test\\" + std::to_string(::getpid()) + "\\" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name();
    platform::PosixSharedSection sections;
    void TearDown() override {
        const std::string object = platform::PosixSharedSection::ObjectName(name);
        ::shm_unlink(object.c_str());
        ::shm_unlink((object + ".start").c_str());
    }
};

TEST_F(PosixSharedSectionTest, ObjectNamesAreValidAndDistinct) {
    const std::string a = platform::PosixSharedSection::ObjectName("/a/b c");
    EXPECT_EQ(a.rfind('/'), 0u);
    EXPECT_NE(a, platform::PosixSharedSection::ObjectName("/a/b_c"));
    const std::string longName(1000, 'x');
    const std::string longer = platform::PosixSharedSection::ObjectName(longName);
    EXPECT_LE(longer.size(), 240u);
    EXPECT_NE(longer, platform::PosixSharedSection::ObjectName(longName + "y"));
}

TEST_F(PosixSharedSectionTest, SecondCreateSeesTheFirstAndSharesItsBytes) {
    auto first = sections.CreateFileMappingA(name);
    ASSERT_TRUE(first.handle);
    EXPECT_FALSE(first.alreadyExists);
    auto view = first.handle->MapViewOfFile();
    ASSERT_TRUE(view);
    EXPECT_EQ(0, std::memcmp(view->bytes(), "\0\0\0\0\0\0\0\0", 8)); // new sections read as zeros
    view->bytes()[4] = 1;

    auto second = sections.CreateFileMappingA(name);
    ASSERT_TRUE(second.handle);
    EXPECT_TRUE(second.alreadyExists);
    auto opened = sections.OpenFileMappingA(name);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->MapViewOfFile()->bytes()[4], 1);
}

TEST_F(PosixSharedSectionTest, LastHandleRemovesTheSection) {
    {
        auto first = sections.CreateFileMappingA(name);
        ASSERT_TRUE(first.handle);
    }
    EXPECT_FALSE(sections.OpenFileMappingA(name));
    EXPECT_FALSE(sections.CreateFileMappingA(name).alreadyExists);
}

TEST_F(PosixSharedSectionTest, SectionOfAKilledCopyCountsAsNew) {
    const pid_t child = ::fork();
    if (child == 0) {
        auto created = sections.CreateFileMappingA(name);
        auto view = created.handle->MapViewOfFile();
        app::SetRecordCount(view->bytes(), 1);
        ::_exit(0); // no destructors: as if killed
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(sections.OpenFileMappingA(name)) << "the object outlives the dead copy";
    auto created = sections.CreateFileMappingA(name);
    ASSERT_TRUE(created.handle);
    EXPECT_FALSE(created.alreadyExists);
    EXPECT_EQ(app::RecordCount(created.handle->MapViewOfFile()->bytes()), 0);
}

TEST_F(PosixSharedSectionTest, GuardOverRealSectionsLetsOneCopyRunAtATime) {
    NoWindows windows;
    auto first = std::make_unique<CheckPrevious>(sections, windows, name);
    EXPECT_FALSE(first->EnterInstanceGuard(1, 1));
    {
        CheckPrevious second(sections, windows, name);
        EXPECT_TRUE(second.EnterInstanceGuard(2, 1));
    }
    first.reset();
    CheckPrevious third(sections, windows, name);
    EXPECT_FALSE(third.EnterInstanceGuard(3, 1));
}

TEST_F(PosixSharedSectionTest, SimultaneousStartsLetExactlyOneCopyRun) {
    constexpr int kStarts = 8;
    int go[2], results[2];
    ASSERT_EQ(::pipe(go), 0);
    ASSERT_EQ(::pipe(results), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < kStarts; ++i) {
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(go[1]);
            char byte;
            [[maybe_unused]] ssize_t n = ::read(go[0], &byte, 1); // all start together when the pipe closes
            NoWindows windows;
            platform::PosixSharedSection childSections;
            CheckPrevious guard(childSections, windows, name);
            const char ran = guard.EnterInstanceGuard(static_cast<std::uint32_t>(i + 1), 1) ? '0' : '1';
            n = ::write(results[1], &ran, 1);
            ::usleep(300000); // a running copy stays a while
            guard.LeaveInstanceGuard();
            ::_exit(0);
        }
        children.push_back(child);
    }
    ::close(go[0]);
    ::close(go[1]);
    ::close(results[1]);
    int running = 0;
    char byte;
    for (int i = 0; i < kStarts; ++i) {
        ASSERT_EQ(::read(results[0], &byte, 1), 1);
        running += byte == '1';
    }
    ::close(results[0]);
    for (pid_t child : children) ::waitpid(child, nullptr, 0);
    EXPECT_EQ(running, 1);
}

TEST_F(PosixSharedSectionTest, EveryCountedCopyKeepsTheSectionAndTheLastLeavesNothing) {
    NoWindows windows;
    auto first = std::make_unique<CheckPrevious>(sections, windows, name);
    auto second = std::make_unique<CheckPrevious>(sections, windows, name);
    EXPECT_FALSE(first->EnterInstanceGuard(1, 2));
    EXPECT_FALSE(second->EnterInstanceGuard(2, 2));
    first.reset(); // the second copy still runs: the section stays
    auto third = std::make_unique<CheckPrevious>(sections, windows, name);
    EXPECT_FALSE(third->EnterInstanceGuard(3, 2));
    CheckPrevious fourth(sections, windows, name);
    EXPECT_TRUE(fourth.EnterInstanceGuard(4, 2)); // two run already
    fourth.LeaveInstanceGuard();
    second.reset();
    third.reset();
    const std::string object = platform::PosixSharedSection::ObjectName(name);
    for (const std::string& left : {object, object + ".start"}) {
        const int fd = ::shm_open(left.c_str(), O_RDONLY, 0);
        EXPECT_LT(fd, 0) << left << " is left behind";
        if (fd >= 0) ::close(fd);
    }
}
