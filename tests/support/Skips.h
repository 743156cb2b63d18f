#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

namespace quill::test {

// Whether the tests run as root. A normal user runs them with a private cupsd of the
// user's own; only what truly needs root skips for a normal user, with one of the
// reasons below as its skip message (scripts/test counts the skipped tests by reason).
inline bool RunsAsRoot() { return ::geteuid() == 0; }

// The managed printer's backend starts as root and gives up root for the job's user.
inline constexpr const char* kNeedsRootToChangeUser =
    "needs root: the managed printer's backend starts as root and becomes the job's user";
// A second computer: network namespaces joined by a virtual cable (tests/support/two-computers).
inline constexpr const char* kNeedsRootForNetworkNamespaces =
    "needs root: another computer in network namespaces of the test's own";
// A test that becomes another user for a while: one whom CUPS does not let administer.
inline constexpr const char* kNeedsRootToBecomeAnotherUser =
    "needs root: the test becomes another user for a while (nobody, whom CUPS refuses)";
// A full disk: a small tmpfs mounted over a folder.
inline constexpr const char* kNeedsRootToMount = "needs root: a full disk is a small tmpfs mounted for the test";

// Tests against a private cupsd where cupsd is not installed.
inline constexpr const char* kNoCupsd = "no private cupsd: /usr/sbin/cupsd is not installed";
// Tests of D-Bus signals where the private cupsd can have no system bus of its own.
inline constexpr const char* kNoDbusDaemon = "no private system bus: /usr/bin/dbus-daemon is not installed";

} // namespace quill::test

// Skips a test against a private cupsd where none can run (cupsd not installed). Where one
// is installed but did not start, the test fails instead: a broken start never passes as
// a skip.
#define QUILL_SKIP_WITHOUT_CUPSD(running)                                                                              \
    if (running) {                                                                                                     \
    } else if (::quill::test::CupsSandbox::Possible())                                                                 \
        GTEST_FAIL() << "the private cupsd did not start: see the failure of the suite's set-up";                      \
    else GTEST_SKIP() << ::quill::test::kNoCupsd

// Skips the test with reason unless it runs as root; more may be streamed after it.
#define QUILL_SKIP_UNLESS_ROOT(reason)                                                                                 \
    if (::quill::test::RunsAsRoot()) {                                                                                 \
    } else GTEST_SKIP() << (reason)

// Skips a test of D-Bus signals where the private cupsd has no bus because dbus-daemon is
// not installed; one that is installed but did not start fails the test.
#define QUILL_SKIP_WITHOUT_BUS(sandbox)                                                                                \
    if ((sandbox).HasBus()) {                                                                                          \
    } else if (::quill::test::CupsSandbox::BusPossible())                                                              \
        GTEST_FAIL() << "the private cupsd's system bus is not running";                                               \
    else GTEST_SKIP() << ::quill::test::kNoDbusDaemon
