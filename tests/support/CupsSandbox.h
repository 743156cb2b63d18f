#pragma once

#include "Skips.h"

#include <string>
#include <vector>

namespace quill::test {

// A private cupsd in a temporary folder, started by the cups-sandbox script, with
// libcups of this process pointed at it. One per test program: it takes about 50 ms to
// start and up to 2 s to stop. Started by a normal user, it runs as that user, who
// administers it.
//
// It comes with a system bus of its own (where dbus-daemon is installed), to which cupsd's
// D-Bus notifier sends; DBUS_SYSTEM_BUS_ADDRESS of this process and of Run's commands names
// it. Without a bus the variable names the same socket, where nothing listens: the
// program under test finds no system bus, never the computer's.
class CupsSandbox {
public:
    // Private: cupsd's notifiers signal on a bus of the sandbox's own; CupsdToo: cupsd
    // itself talks to that bus as well, as the system's cupsd talks to the system bus on
    // Debian; None: no bus at all.
    enum class Bus { Private, None, CupsdToo };

    // With webInterface, cupsd also serves its web pages on its TCP port; listenAlso:
    // another address of this computer that cupsd listens on, at its port.
    explicit CupsSandbox(bool webInterface = false, const std::string& listenAlso = "", Bus bus = Bus::Private);
    explicit CupsSandbox(Bus bus) : CupsSandbox(false, "", bus) {}
    ~CupsSandbox();
    CupsSandbox(const CupsSandbox&) = delete;
    CupsSandbox& operator=(const CupsSandbox&) = delete;

    // Whether a private cupsd can run here: cupsd is installed (root or not).
    static bool Possible();
    // Whether it can have a system bus of its own: dbus-daemon is installed.
    static bool BusPossible();

    const std::string& dir() const { return m_dir; }
    std::string server() const { return m_dir + "/run/cups.sock"; }
    // The TCP port it listens on (127.0.0.1), and the process id of cupsd.
    int port() const;
    int pid() const;

    // A raw queue that discards its jobs; device may name another URI.
    void AddQueue(const std::string& name, const std::string& info = "", const std::string& device = "discard:/");
    // Stops the server, writes raw queues with these names into its printers.conf in place
    // of those it had, and starts it again: thousands of queues in a second.
    void ReplaceQueues(const std::vector<std::string>& names);
    void DeleteQueue(const std::string& name);
    void DeleteAllQueues();
    void SetShared(const std::string& name, bool shared);
    void AddClass(const std::string& name, const std::string& member);
    std::vector<std::string> Queues();

    // The managed printer's driver and port: the built PPD and pdfinst backend, the files
    // that the install component managed-printer installs.
    void InstallManagedPrinterDriver();
    // Where pdfinst writes the PDFs of known users (each file owned by its user), and those
    // of users this computer does not know (root's), instead of ~/PDF and its spool folder.
    std::string PdfFolder() const { return m_dir + "/pdf"; }
    std::string UnclaimedPdfFolder() const { return m_dir + "/unclaimed"; }
    // Waits (up to 20 s) until the job has ended, then the path of its PDF in folder
    // ("TITLE-job-ID.pdf" or "job-ID.pdf"); empty when there is none.
    std::string JobPdf(int jobId, const std::string& folder) const;
    std::string JobPdf(int jobId) const { return JobPdf(jobId, PdfFolder()); }

    // The value of DBUS_SYSTEM_BUS_ADDRESS for cupsd's notifiers and this process, and
    // whether a bus listens there.
    std::string busAddress() const;
    bool HasBus() const;
    // The lock file that cupsd's D-Bus notifier creates exclusively before it sends
    // anything and removes when it ends. Taking it stands for another program's notifier
    // that holds it: every dbus:// subscription's events then go unsignalled. Take it before
    // the first event of a dbus:// subscription (Stop and Start end the notifier that holds
    // it); it fails when the file exists. As root, the file is root's and the notifier (lp)
    // cannot remove it.
    std::string NotifierLockFile() const { return m_dir + "/spool/tmp/cups-dbus-notifier-lockfile"; }
    void TakeNotifierLock();
    void ReleaseNotifierLock();

    // Stops cupsd; Start starts it again in the same folder, without the subscriptions it
    // kept (it saves them when it stops, so it would bring them back). The bus keeps
    // running meanwhile, as the computer's does when cupsd restarts.
    void Stop();
    // keepSubscriptions: as a computer's cupsd restarts, with the subscriptions it saved.
    void Start(bool keepSubscriptions = false);

    // The event subscriptions the server holds, of every user; pullOnly: those read with
    // Get-Notifications only (not those that signal on a bus).
    int Subscriptions(bool pullOnly = false) const;

    // Submits text as a job (held when hold is set) and returns the job id.
    int SubmitJob(const std::string& queue, const std::string& text, bool hold,
                  const std::string& title = "quill-test");

    // Runs a command line with CUPS_SERVER set to this server for all its commands; its
    // standard output.
    std::string Run(const std::string& commandLine) const;

private:
    std::string Script() const;
    std::string m_dir;
    Bus m_bus;
};

// A shell word for s.
std::string ShellQuote(const std::string& s);

} // namespace quill::test

#include <gtest/gtest.h>

#include <memory>

namespace quill::test {

// A test suite with one private cupsd for all its tests; each test starts with no
// queues. Tests are skipped where no private cupsd can run.
class CupsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (CupsSandbox::Possible()) s_cups = std::make_unique<CupsSandbox>();
    }
    static void TearDownTestSuite() { s_cups.reset(); }
    void SetUp() override {
        QUILL_SKIP_WITHOUT_CUPSD(s_cups);
        s_cups->DeleteAllQueues();
    }

    static inline std::unique_ptr<CupsSandbox> s_cups;
};

} // namespace quill::test
