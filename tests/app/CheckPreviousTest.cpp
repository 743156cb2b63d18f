#include "app/CheckPrevious.h"

#include "platform/PosixSharedSection.h"
#include "platform/UnixActivationChannel.h"

#include "Skips.h"

#include "PrivateRuntime.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <map>
#include <sys/file.h>
#include <sys/stat.h>
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

// A channel that records what the guard does with it and fails on request.
struct FakeActivation final : platform::ActivationChannel {
    bool fail = false;
    std::vector<std::string> calls;
    bool Listen(const std::string& key) override {
        calls.push_back("Listen " + key);
        return !fail;
    }
    bool SendActivation(const std::string& key, const std::string& token) override {
        calls.push_back("Send " + key + " " + token);
        return !fail;
    }
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

// Asking the compositor for a token costs a round trip: only a second start that reaches
// a running copy asks. A channel that fails changes nothing of the section's rule.
TEST(CheckPrevious, OnlyASecondStartAsksForItsTokenAndAFailingChannelChangesNothing) {
    for (bool fail : {false, true}) {
        SCOPED_TRACE(fail ? "failing channel" : "working channel");
        FakeSections sections;
        FakeWindows windows;
        FakeActivation activation;
        activation.fail = fail;
        int asked = 0;
        const auto token = [&asked] {
            ++asked;
            return std::string("t");
        };
        CheckPrevious first(sections, windows, kPath, &activation, token);
        EXPECT_FALSE(first.EnterInstanceGuard(7, 1));
        EXPECT_EQ(asked, 0);
        CheckPrevious second(sections, windows, kPath, &activation, token);
        EXPECT_TRUE(second.EnterInstanceGuard(8, 1));
        EXPECT_EQ(asked, 1);
        EXPECT_EQ(activation.calls, (std::vector<std::string>{"Listen " + kKey, "Send " + kKey + " t"}));
        EXPECT_EQ(windows.calls, (std::vector<std::string>{"IsIconic 7", "SetForegroundWindow 7"}));
        EXPECT_EQ(Count(sections), 1);
    }
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

// The real sections: files in a private runtime folder of the test's own.
class PosixSharedSectionTest : public ::testing::Test {
protected:
    std::string name = "/tmp/quill-test\\" + std::to_string(::getpid()) + "\\" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name();
    platform::PosixSharedSection sections;
    test::PrivateRuntime runtimeFolder{"quill-runtime"};
    const std::string runtime = runtimeFolder.path;
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

// Whichever copy is counted in last takes the second starts' tokens; a second start hands
// over its token and still brings the recorded window forward (X11).
TEST_F(PosixSharedSectionTest, SecondStartHandsItsTokenToTheCopyCountedInLast) {
    const std::string key = app::InstanceKey(name);
    FakeWindows windows;
    auto firstChannel = std::make_unique<platform::UnixActivationChannel>();
    auto first = std::make_unique<CheckPrevious>(sections, windows, name, firstChannel.get(),
                                                 [] { return std::string("first-token"); });
    ASSERT_FALSE(first->EnterInstanceGuard(1, 1));
    ASSERT_NE(firstChannel->listener(), nullptr);

    platform::UnixActivationChannel secondChannel;
    {
        CheckPrevious second(sections, windows, name, &secondChannel, [] { return std::string("second-token"); });
        EXPECT_TRUE(second.EnterInstanceGuard(2, 1));
    }
    EXPECT_EQ(secondChannel.listener(), nullptr) << "a copy that gives way listens to nobody";
    EXPECT_EQ(firstChannel->listener()->Receive().value_or("?"), "second-token");
    EXPECT_EQ(windows.calls, (std::vector<std::string>{"IsIconic 1", "SetForegroundWindow 1"}));

    // Two copies allowed: the later one counts in and takes over the requests.
    platform::UnixActivationChannel laterChannel;
    CheckPrevious later(sections, windows, name, &laterChannel);
    ASSERT_FALSE(later.EnterInstanceGuard(3, 2));
    {
        platform::UnixActivationChannel thirdChannel;
        CheckPrevious third(sections, windows, name, &thirdChannel, [] { return std::string(); });
        EXPECT_TRUE(third.EnterInstanceGuard(4, 2));
    }
    EXPECT_FALSE(firstChannel->listener()->Receive().has_value());
    EXPECT_EQ(laterChannel.listener()->Receive().value_or("?"), "");

    // The first copy that ends leaves the later copy reachable.
    first.reset();
    firstChannel.reset();
    platform::UnixActivationChannel probe;
    EXPECT_TRUE(probe.SendActivation(key, "still there"));
    EXPECT_EQ(laterChannel.listener()->Receive().value_or("?"), "still there");
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

// No runtime folder, and what would be the user's folder is taken (here by a file): no
// copy can find another, so each runs as the first, rather than fail or give way.
TEST_F(PosixSharedSectionTest, WithoutAPrivateFolderEachCopyRunsAsTheFirst) {
    ::unsetenv("XDG_RUNTIME_DIR");
    const std::string parent = runtime + "/parent";
    std::filesystem::create_directories(parent);
    std::ofstream(parent + "/quill-" + std::to_string(::geteuid())) << "taken";
    platform::PosixSharedSection nowhere({parent});
    NoWindows windows;
    CheckPrevious first(nowhere, windows, name);
    CheckPrevious second(nowhere, windows, name);
    EXPECT_FALSE(first.EnterInstanceGuard(1, 1));
    EXPECT_FALSE(second.EnterInstanceGuard(2, 1));
    EXPECT_EQ(std::filesystem::file_size(parent + "/quill-" + std::to_string(::geteuid())), 5u);
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
    EXPECT_TRUE(std::filesystem::is_empty(runtime)) << "the section or its start lock is left behind";
}

namespace {

// Another local user against the section: uid kOther prepares, before the user (uid
// kUser) starts, what a start might take for the running copy's section, and folders
// where the user's private folder might be looked for.
constexpr uid_t kUser = 61001;
constexpr uid_t kOther = 61002;
constexpr std::uint32_t kForeignWindow = 0x0BADC0DE;

// Runs body in a child process as uid (its group too); what it returns, or "crashed".
std::string AsUser(uid_t uid, const std::function<std::string()>& body, int keepOpen = -1) {
    int out[2];
    if (::pipe(out) != 0) return "no pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(out[0]);
        if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0)
            ::_exit(1);
        std::string text;
        try {
            text = body();
        } catch (const std::exception& e) {
            text = std::string("error ") + e.what();
        }
        [[maybe_unused]] ssize_t n = ::write(out[1], text.data(), text.size());
        ::close(out[1]);
        if (keepOpen >= 0) {
            char byte;
            n = ::read(keepOpen, &byte, 1); // stays until the test is done
        }
        ::_exit(0);
    }
    ::close(out[1]);
    std::string text;
    char buffer[256];
    ssize_t n;
    while ((n = ::read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
    ::close(out[0]);
    if (keepOpen < 0) ::waitpid(child, nullptr, 0);
    return text.empty() ? "crashed" : text;
}

std::string Folder(const std::string& path, uid_t owner, mode_t mode) {
    std::filesystem::create_directories(path);
    if (::chown(path.c_str(), owner, owner) != 0 || ::chmod(path.c_str(), mode) != 0) return "";
    return path;
}

class SectionOfAnotherUserTest : public ::testing::TestWithParam<std::tuple<mode_t, std::string>> {};

} // namespace

// Whatever the other user placed (a section object as the program once used, open to the
// user or not, naming a window of the other user's choosing, held by a running process;
// folders and a link where the private folder is looked for), the user's start runs as
// the first copy and brings nothing forward; the user's own second start still finds it.
TEST_P(SectionOfAnotherUserTest, CannotStopOrTakeOverTheStart) {
    QUILL_SKIP_UNLESS_ROOT(test::kNeedsRootToBecomeAnotherUser);
    // Named variables, not a structured binding: the lambdas below capture them.
    const auto objectMode = std::get<0>(GetParam());
    const auto runtimeKind = std::get<1>(GetParam());
    char made[] = "/tmp/quill-users-XXXXXX";
    ASSERT_TRUE(::mkdtemp(made));
    const std::string root = made;
    ::chmod(root.c_str(), 0755);
    const std::string key = root + "/Mgr.exe";
    const std::string own = "/quill-" + std::to_string(::getuid()) + "-";
    const std::string oldObject =
        "/quill-" + std::to_string(kUser) + "-" + platform::PosixSharedSection::ObjectName(key).substr(own.size());
    const std::string userFolder = "quill-" + std::to_string(kUser);
    // Where the private folder is looked for without a runtime folder: a folder the other
    // user made, a link to a folder of the user's, and a place still free.
    const std::vector<std::string> parents = {Folder(root + "/p1", 0, 01777), Folder(root + "/p2", 0, 01777),
                                              Folder(root + "/p3", 0, 01777)};
    const std::string linked = Folder(root + "/users-own", kUser, 0700);
    std::string runtime;
    if (runtimeKind == "own") runtime = Folder(root + "/run-own", kUser, 0700);
    else if (runtimeKind == "other's") runtime = Folder(root + "/run-other", kOther, 0700);
    else if (runtimeKind == "open") runtime = Folder(root + "/run-open", kUser, 0777);

    ::shm_unlink(oldObject.c_str());
    int hold[2];
    ASSERT_EQ(::pipe(hold), 0);
    const std::string placed = AsUser(
        kOther,
        [&]() -> std::string {
            ::close(hold[1]);
            const int fd = ::shm_open(oldObject.c_str(), O_RDWR | O_CREAT | O_EXCL, objectMode);
            if (fd < 0 || ::fchmod(fd, objectMode) != 0 || ::ftruncate(fd, 8) != 0) return "no object";
            auto* record = static_cast<unsigned char*>(::mmap(nullptr, 8, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
            if (record == MAP_FAILED) return "no map";
            app::SetRecordWindow(record, kForeignWindow);
            app::SetRecordCount(record, 5);
            ::flock(fd, LOCK_SH); // as a running copy holds it
            if (::mkdir((parents[0] + "/" + userFolder).c_str(), 0777) != 0 ||
                ::chmod((parents[0] + "/" + userFolder).c_str(), 0777) != 0 ||
                ::symlink(linked.c_str(), (parents[1] + "/" + userFolder).c_str()) != 0)
                return "no squat";
            return "placed";
        },
        hold[0]);
    ASSERT_EQ(placed, "placed");

    const std::string outcome = AsUser(kUser, [&] {
        if (runtime.empty()) ::unsetenv("XDG_RUNTIME_DIR");
        else ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        platform::PosixSharedSection userSections(parents);
        FakeWindows windows;
        CheckPrevious first(userSections, windows, key);
        std::string text = first.EnterInstanceGuard(1111, 1) ? "first ends" : "first runs";
        CheckPrevious second(userSections, windows, key);
        text += second.EnterInstanceGuard(2222, 1) ? ", second ends" : ", second runs";
        for (const auto& call : windows.calls) text += "; " + call;
        return text;
    });
    ::close(hold[1]);
    ::close(hold[0]);
    ::wait(nullptr);
    ::shm_unlink(oldObject.c_str());

    EXPECT_EQ(outcome, "first runs, second ends; IsIconic 1111; SetForegroundWindow 1111");
    // Nothing of the user's went into the other user's folder or through the link.
    EXPECT_TRUE(std::filesystem::is_empty(parents[0] + "/" + userFolder));
    EXPECT_TRUE(std::filesystem::is_empty(linked));
    std::filesystem::remove_all(root);
}

INSTANTIATE_TEST_SUITE_P(PosixSharedSectionOfAnotherUser, SectionOfAnotherUserTest,
                         ::testing::Combine(::testing::Values(0600, 0666),
                                            ::testing::Values("own", "other's", "open", "none")));
