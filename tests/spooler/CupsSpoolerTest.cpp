// The CUPS adapter against a private cupsd.
#include "spooler/CupsConnection.h"
#include "spooler/CupsSpooler.h"
#include "spooler/LastError.h"
#include "spooler/PasswordPrompt.h"
#include "spooler/RequestAbort.h"

#include "CupsSandbox.h"
#include "FreePort.h"

#include <cups/cups.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quill::spooler;

namespace {

class CupsSpoolerTest : public quill::test::CupsTest {
protected:
    static std::vector<std::string> Names(const std::optional<std::vector<PrinterInfo4>>& printers) {
        std::vector<std::string> names;
        for (const auto& printer : printers.value()) names.push_back(printer.pPrinterName);
        return names;
    }

    CupsSpooler spooler;
};

using NameList = std::vector<std::string>;

} // namespace

TEST_F(CupsSpoolerTest, ListsLocalPrintersInTheServersOrder) {
    for (const char* name : {"Zeta", "QUILL_Amber_PDF_Creator", "Fax", "quill-amber", "alpha"}) s_cups->AddQueue(name);
    const auto printers = spooler.EnumPrintersA(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS);
    ASSERT_TRUE(printers);
    // lpstat lists in the server's order too.
    EXPECT_EQ(Names(printers), s_cups->Queues());
    EXPECT_EQ(Names(printers), (NameList{"alpha", "Fax", "quill-amber", "QUILL_Amber_PDF_Creator", "Zeta"}));
    for (const auto& printer : *printers) {
        EXPECT_TRUE(printer.Attributes & PRINTER_ATTRIBUTE_LOCAL);
        EXPECT_FALSE(printer.Attributes & PRINTER_ATTRIBUTE_NETWORK);
    }
}

TEST_F(CupsSpoolerTest, NoPrintersIsAnEmptyListNotAFailure) {
    const auto printers = spooler.EnumPrintersA(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS);
    ASSERT_TRUE(printers);
    EXPECT_TRUE(printers->empty());
}

TEST_F(CupsSpoolerTest, QueuesPrintingToAnotherComputerAreConnections) {
    s_cups->AddQueue("Desk");
    s_cups->AddQueue("Remote", "", "ipp://other-computer.invalid:631/printers/Laser");
    s_cups->AddQueue("LoopBack", "", "ipp://localhost:631/printers/Desk");
    EXPECT_EQ(Names(spooler.EnumPrintersA(PRINTER_ENUM_LOCAL)), (NameList{"Desk", "LoopBack"}));
    EXPECT_EQ(Names(spooler.EnumPrintersA(PRINTER_ENUM_CONNECTIONS)), (NameList{"Remote"}));
    const auto both = spooler.EnumPrintersA(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS);
    EXPECT_EQ(Names(both), (NameList{"Desk", "LoopBack", "Remote"}));
    EXPECT_TRUE(both->at(2).Attributes & PRINTER_ATTRIBUTE_NETWORK);
    EXPECT_FALSE(both->at(2).Attributes & PRINTER_ATTRIBUTE_LOCAL);
}

TEST_F(CupsSpoolerTest, SharedFlagKeepsSharedPrintersOnlyAndClassesAreNotPrinters) {
    s_cups->AddQueue("Private");
    s_cups->AddQueue("Public");
    s_cups->SetShared("Private", false);
    s_cups->SetShared("Public", true);
    s_cups->AddClass("ShareName", "Public");
    EXPECT_EQ(Names(spooler.EnumPrintersA(PRINTER_ENUM_LOCAL | PRINTER_ENUM_SHARED)), (NameList{"Public"}));
    const auto all = spooler.EnumPrintersA(PRINTER_ENUM_LOCAL);
    EXPECT_EQ(Names(all), (NameList{"Private", "Public"}));
    EXPECT_EQ(all->at(1).Attributes, PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_SHARED);
}

TEST_F(CupsSpoolerTest, UnreachableServerIsAFailure) {
    s_cups->AddQueue("Desk");
    cupsSetServer((s_cups->dir() + "/run/no-such.sock").c_str());
    const auto printers = spooler.EnumPrintersA(PRINTER_ENUM_LOCAL);
    cupsSetServer(s_cups->server().c_str());
    EXPECT_FALSE(printers);
    EXPECT_TRUE(spooler.EnumPrintersA(PRINTER_ENUM_LOCAL));
}

// A failure is a value with CUPS' reason beside the code, and goes to the failure sink
// (the system log), except when a closing window made the request give up.
TEST_F(CupsSpoolerTest, FailuresCarryCupsReasonAndReachTheSinkUnlessGivenUp) {
    std::vector<std::string> sunk;
    SetFailureSink(
        [&](const std::string& what, const Failure& failure) { sunk.push_back(what + ": " + failure.reason); });
    struct Case {
        std::function<bool()> fails;
        std::uint32_t code;
        std::string what;
    };
    const Case cases[] = {
        {[&] { return !spooler.OpenPrinterA("Missing"); }, ERROR_INVALID_PRINTER_NAME, "Get-Printer-Attributes"},
        {[&] {
             cupsSetServer((s_cups->dir() + "/run/no-such.sock").c_str());
             const bool failed = !spooler.EnumPrintersA(PRINTER_ENUM_LOCAL);
             cupsSetServer(s_cups->server().c_str());
             return failed;
         },
         RPC_S_SERVER_UNAVAILABLE, "Connect"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sunk.clear();
        ASSERT_TRUE(c.fails());
        const Failure failure = LastFailure();
        EXPECT_EQ(failure.code, c.code);
        EXPECT_FALSE(failure.reason.empty());
        ASSERT_EQ(sunk.size(), 1u);
        EXPECT_EQ(sunk.front(), c.what + ": " + failure.reason);
    }
    sunk.clear();
    const std::atomic<bool> givenUp{true};
    {
        const AbortScope abort(givenUp);
        EXPECT_FALSE(spooler.OpenPrinterA("Missing"));
    }
    EXPECT_TRUE(sunk.empty());
    SetFailureSink(nullptr);
}

// Another server by its address and port, and the reasons a user reads when a request
// fails.
TEST_F(CupsSpoolerTest, ConnectionsReachAServerAtAPortAndTellWhyTheyFail) {
    s_cups->AddQueue("Desk", "Desk printer");
    auto attributesOf = [](const std::string& queue) {
        ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, PrinterUri(queue).c_str());
        return request;
    };
    std::string error;
    const auto connection = CupsConnection::Open("127.0.0.1:" + std::to_string(s_cups->port()), &error);
    ASSERT_TRUE(connection) << error;
    const Ipp answer = connection->Send(attributesOf("Desk"));
    ASSERT_TRUE(answer) << LastFailure().reason;
    EXPECT_EQ(Text(answer.get(), "printer-info"), "Desk printer");

    // CUPS' own reason for an IPP error.
    EXPECT_FALSE(connection->Send(attributesOf("Missing")));
    EXPECT_NE(LastFailure().reason.find("does not exist"), std::string::npos) << LastFailure().reason;
    // A failure does not spoil the connection for the next request.
    EXPECT_TRUE(connection->Send(attributesOf("Desk")));

    // The port given apart takes the place of the one in the name; nobody listens on 1.
    EXPECT_FALSE(CupsConnection::Open("127.0.0.1:" + std::to_string(s_cups->port()), &error, 1));
    const std::string prefix = "The print server 127.0.0.1 does not answer: ";
    ASSERT_EQ(error.substr(0, prefix.size()), prefix);
    // The connect's own reason, not one of closing what did not connect.
    const std::string reason = error.substr(prefix.size());
    EXPECT_NE(reason, "");
    EXPECT_NE(reason, std::strerror(EBADF));
}

// A server that never ends its answer (another computer's, or one posing as it) is
// refused at the answer's size bound instead of filling the memory.
TEST_F(CupsSpoolerTest, AnAnswerThatNeverEndsIsRefusedAtItsSizeBound) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(0x7F000002); // 127.0.0.2, not taken for this computer
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    auto connection = CupsConnection::Open("127.0.0.2:" + std::to_string(ntohs(address.sin_port)));
    ASSERT_TRUE(connection);
    std::thread flood([listener] {
        const int client = ::accept(listener, nullptr, nullptr);
        char request[4096];
        [[maybe_unused]] const ssize_t got = ::recv(client, request, sizeof request, 0);
        std::string bytes = "HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nTransfer-Encoding: chunked\r\n\r\n";
        const std::string chunk = "10000\r\n" + std::string(0x10000, '\0') + "\r\n";
        while (::send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL) > 0) bytes = chunk;
        ::close(client);
    });
    EXPECT_FALSE(connection->Request(ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES)));
    EXPECT_NE(LastFailure().reason.find("more than any print server sends"), std::string::npos) << LastFailure().reason;
    connection.reset();
    flood.join();
    ::close(listener);
}

// Over TCP without this server's local certificate, CUPS asks for a password. The user
// may answer after the request's deadline; the server's answer that follows is still
// waited for, even when it is slow (cupsd stopped a moment).
TEST_F(CupsSpoolerTest, ARequestThatWantsAPasswordOutlastsTheDeadlineWhileTheUserAnswers) {
    s_cups->AddQueue("Desk");
    char folder[] = "/tmp/quill-no-certificate-XXXXXX";
    ASSERT_TRUE(::mkdtemp(folder));
    ::setenv("CUPS_STATEDIR", folder, 1);
    struct Prompt {
        int cupsd;
        int asked = 0;
        std::thread resume;
    } prompt{s_cups->pid(), 0, {}};
    cupsSetPasswordCB2(
        [](const char*, http_t*, const char*, const char*, void* context) -> const char* {
            auto* p = static_cast<Prompt*>(context);
            if (++p->asked > 1) return nullptr;
            std::this_thread::sleep_for(CupsConnection::kAnswerTimeout + std::chrono::milliseconds(500));
            ::kill(p->cupsd, SIGSTOP);
            p->resume = std::thread([cupsd = p->cupsd] {
                std::this_thread::sleep_for(std::chrono::milliseconds(400));
                ::kill(cupsd, SIGCONT);
            });
            return "not-the-password";
        },
        &prompt);
    std::string error;
    const auto connection = CupsConnection::Open("127.0.0.1:" + std::to_string(s_cups->port()), &error);
    ASSERT_TRUE(connection) << error;
    ipp_t* request = ippNewRequest(IPP_OP_PAUSE_PRINTER);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, PrinterUri("Desk").c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    EXPECT_FALSE(connection->Send(request, "/admin/"));
    if (prompt.resume.joinable()) prompt.resume.join();
    cupsSetPasswordCB2(nullptr, nullptr);
    ::unsetenv("CUPS_STATEDIR");
    ::rmdir(folder);

    // The wrong password was answered and the user asked again, not given up on.
    EXPECT_EQ(prompt.asked, 2);
    EXPECT_NE(LastFailure().reason, "The print server did not answer in time.");
    EXPECT_NE(LastFailure().reason, "");
}

TEST_F(CupsSpoolerTest, OpenPrinterFindsQueuesByMappedNameAndFailsForMissingOnes) {
    s_cups->AddQueue("QUILL_Amber_PDF_Creator", "QUILL Amber PDF Creator");
    auto byDisplayName = spooler.OpenPrinterA("QUILL Amber PDF Creator");
    ASSERT_TRUE(byDisplayName);
    EXPECT_EQ(byDisplayName->printerName(), "QUILL Amber PDF Creator");
    EXPECT_TRUE(spooler.OpenPrinterA("quill_amber_pdf_creator"));
    EXPECT_TRUE(spooler.OpenPrinterA("localhost\\QUILL_Amber_PDF_Creator"));
    EXPECT_TRUE(spooler.OpenPrinterA("\\\\localhost\\QUILL Amber PDF Creator"));
    EXPECT_TRUE(spooler.OpenPrinterA("QUILL_Amber_PDF_Creator", PRINTER_ALL_ACCESS)); // the tests run as root
    EXPECT_FALSE(spooler.OpenPrinterA("Missing"));
    EXPECT_FALSE(spooler.OpenPrinterA(""));
}

// The sandbox itself: what later tests of the managed printer and the job window rely on.
TEST_F(CupsSpoolerTest, SandboxInstallsTheManagedDriverAndPortAndHoldsJobs) {
    s_cups->InstallManagedPrinterDriver();
    EXPECT_NE(s_cups->Run("lpinfo -m").find("QUILL Amber PDF Creator"), std::string::npos);
    // As the managed printer is installed: jobs of users whom cupsd authenticated reach their PDF folder.
    s_cups->Run("lpadmin -p QUILL_Amber_PDF_Creator -m quill-amber-pdf-creator.ppd -v pdfinst:/ -E "
                "-o printer-op-policy=authenticated");
    const int printed = s_cups->SubmitJob("QUILL_Amber_PDF_Creator", "hello", false);
    s_cups->AddQueue("Desk");
    const int held = s_cups->SubmitJob("Desk", "later", true);
    EXPECT_GT(held, printed);
    // A normal user's own cupsd tells its backend no authenticated name: the spool folder.
    const std::string pdf =
        s_cups->JobPdf(printed, quill::test::RunsAsRoot() ? s_cups->PdfFolder() : s_cups->UnclaimedPdfFolder());
    std::string head(4, '\0');
    std::ifstream(pdf, std::ios::binary).read(head.data(), 4);
    EXPECT_EQ(head, "%PDF");
    EXPECT_NE(s_cups->Run("lpstat -o Desk").find("Desk-" + std::to_string(held)), std::string::npos);
    EXPECT_NE(s_cups->Run("lpstat -l -o Desk").find("job-hold-until-specified"), std::string::npos);
}

namespace {

// The name of the queue's operation policy, as the server tells it.
std::string OpPolicy(const std::string& queue) {
    ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 ("ipp://localhost/printers/" + queue).c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "printer-op-policy");
    ipp_t* answer = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
    ipp_attribute_t* attr = answer ? ippFindAttribute(answer, "printer-op-policy", IPP_TAG_NAME) : nullptr;
    const char* name = attr ? ippGetString(attr, 0, nullptr) : nullptr;
    std::string policy = name ? name : "";
    ippDelete(answer);
    return policy;
}

// The managed printer's record as the Enable Printer command fills it.
PrinterInfo2 ManagedRecord(const std::string& port = "pdfinst") {
    PrinterInfo2 info;
    info.pPrinterName = "QUILL Amber PDF Creator";
    info.pPortName = port;
    info.pDriverName = "QUILL Amber PDF Creator";
    info.pComment = "Create PDF document";
    info.pPrintProcessor = "WinPrint";
    info.pDatatype = "RAW";
    info.pSecurityDescriptor = "authenticated";
    return info;
}

} // namespace

TEST_F(CupsSpoolerTest, PrinterIsAddedOnceAndOnlyWithItsDriverAndPortInstalled) {
    s_cups->InstallManagedPrinterDriver();
    PrinterInfo2 withoutDriver = ManagedRecord();
    withoutDriver.pDriverName = "No Such Driver";
    EXPECT_FALSE(spooler.AddPrinterA(withoutDriver));
    EXPECT_FALSE(spooler.AddPrinterA(ManagedRecord("nosuchport")));
    EXPECT_TRUE(s_cups->Queues().empty());
    auto added = spooler.AddPrinterA(ManagedRecord());
    ASSERT_TRUE(added);
    EXPECT_FALSE(spooler.AddPrinterA(ManagedRecord())) << "added twice";
    EXPECT_EQ(s_cups->Queues(), (NameList{"QUILL_Amber_PDF_Creator"}));
    const std::string state = s_cups->Run("lpstat -l -p QUILL_Amber_PDF_Creator; lpstat -a QUILL_Amber_PDF_Creator");
    EXPECT_NE(state.find("is idle.  enabled"), std::string::npos) << state;
    EXPECT_NE(state.find("Description: Create PDF document"), std::string::npos) << state;
    EXPECT_NE(state.find("accepting requests"), std::string::npos) << state;
    // The server's policy that wants an authenticated user for printing, where it has one.
    EXPECT_EQ(OpPolicy("QUILL_Amber_PDF_Creator"), "authenticated");

    auto handle = spooler.OpenPrinterA("QUILL Amber PDF Creator", PRINTER_ALL_ACCESS);
    ASSERT_TRUE(handle);
    const auto info = spooler.GetPrinterA(*handle);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->pPortName, "pdfinst");
    EXPECT_EQ(info->pDriverName, "QUILL Amber PDF Creator");
    EXPECT_EQ(info->pComment, "Create PDF document");
    EXPECT_EQ(info->Attributes & (PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_NETWORK), PRINTER_ATTRIBUTE_LOCAL);
    EXPECT_TRUE(spooler.DeletePrinter(*handle));
    EXPECT_TRUE(s_cups->Queues().empty());
}

TEST_F(CupsSpoolerTest, ShareNameIsASharedClassThatPrintsOnThePrinterAndGoesWithIt) {
    s_cups->AddQueue("Desk");
    s_cups->AddQueue("Fax");
    s_cups->SetShared("Desk", false);
    auto handle = spooler.OpenPrinterA("Desk", PRINTER_ALL_ACCESS);
    ASSERT_TRUE(handle);
    auto info = spooler.GetPrinterA(*handle);
    ASSERT_TRUE(info);
    EXPECT_FALSE(info->Attributes & PRINTER_ATTRIBUTE_SHARED);
    info->Attributes |= PRINTER_ATTRIBUTE_SHARED;
    info->pShareName = "Fax"; // taken by another printer
    EXPECT_FALSE(spooler.SetPrinterA(*handle, *info));
    info->pShareName = "QUILL";
    ASSERT_TRUE(spooler.SetPrinterA(*handle, *info));
    const auto shared = spooler.GetPrinterA(*handle);
    ASSERT_TRUE(shared);
    EXPECT_TRUE(shared->Attributes & PRINTER_ATTRIBUTE_SHARED);
    EXPECT_EQ(shared->pShareName, "QUILL");
    const std::string state = s_cups->Run("lpstat -c QUILL; lpstat -p QUILL; lpstat -a QUILL");
    EXPECT_NE(state.find("members of class QUILL:\n\tDesk"), std::string::npos) << state;
    EXPECT_NE(state.find("enabled"), std::string::npos) << state;
    EXPECT_NE(state.find("QUILL accepting requests"), std::string::npos) << state;
    const int job = s_cups->SubmitJob("QUILL", "shared", false);
    EXPECT_GT(job, 0);
    EXPECT_TRUE(spooler.DeletePrinter(*handle));
    EXPECT_EQ(s_cups->Queues(), (NameList{"Fax"}));
}

TEST_F(CupsSpoolerTest, AShareNameChangeThatCannotLearnTheOldShareNameChangesNothing) {
    // The server stalls a little longer than the answer bound from the start of the change
    // (unsharing, or a new share name), so only the question for the old share name fails.
    for (const std::string newName : {"", "B1"}) {
        s_cups->DeleteAllQueues();
        s_cups->AddQueue("Desk");
        auto handle = spooler.OpenPrinterA("Desk", PRINTER_ALL_ACCESS);
        auto info = spooler.GetPrinterA(*handle);
        info->Attributes |= PRINTER_ATTRIBUTE_SHARED;
        info->pShareName = "A1";
        ASSERT_TRUE(spooler.SetPrinterA(*handle, *info));
        if (newName.empty()) info->Attributes &= ~PRINTER_ATTRIBUTE_SHARED;
        info->pShareName = newName;
        ::kill(s_cups->pid(), SIGSTOP);
        std::thread resume([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(5600));
            ::kill(s_cups->pid(), SIGCONT);
        });
        EXPECT_FALSE(spooler.SetPrinterA(*handle, *info)) << newName;
        resume.join();
        EXPECT_EQ(s_cups->Run("lpstat -c"), "members of class A1:\n\tDesk\n") << newName;
        EXPECT_EQ(spooler.GetPrinterA(*handle)->pShareName, "A1") << newName;
    }
}

namespace {

// A program of another local user that listens at TCP addresses of this computer and
// counts what reaches it. It runs in a process of its own as that user.
class ForeignListener {
public:
    static constexpr uid_t kOwner = 61003;

    // Listens at each address ("::1" or "127.0.0.1") at port; ready() is false when it
    // could not.
    ForeignListener(const std::vector<std::string>& addresses, int port) {
        int ready[2];
        if (::pipe(ready) != 0 || ::pipe(m_stop) != 0 || ::pipe(m_report) != 0) return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(ready[0]);
            ::close(m_stop[1]);
            ::close(m_report[0]);
            if (::setresgid(kOwner, kOwner, kOwner) != 0 || ::setresuid(kOwner, kOwner, kOwner) != 0) ::_exit(1);
            std::vector<pollfd> fds;
            for (const auto& address : addresses) {
                sockaddr_storage at{};
                socklen_t length = 0;
                const bool six = address.find(':') != std::string::npos;
                if (six) {
                    auto& in6 = reinterpret_cast<sockaddr_in6&>(at);
                    in6.sin6_family = AF_INET6;
                    in6.sin6_port = htons(static_cast<std::uint16_t>(port));
                    ::inet_pton(AF_INET6, address.c_str(), &in6.sin6_addr);
                    length = sizeof in6;
                } else {
                    auto& in = reinterpret_cast<sockaddr_in&>(at);
                    in.sin_family = AF_INET;
                    in.sin_port = htons(static_cast<std::uint16_t>(port));
                    ::inet_pton(AF_INET, address.c_str(), &in.sin_addr);
                    length = sizeof in;
                }
                const int fd = ::socket(at.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
                const int one = 1;
                if (six) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
                if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&at), length) != 0 || ::listen(fd, 8) != 0)
                    ::_exit(2);
                fds.push_back({fd, POLLIN, 0});
            }
            fds.push_back({m_stop[0], POLLIN, 0});
            [[maybe_unused]] ssize_t n = ::write(ready[1], "r", 1);
            int connections = 0;
            std::size_t bytes = 0;
            std::vector<int> accepted;
            for (;;) {
                if (::poll(fds.data(), fds.size(), -1) < 0) break;
                if (fds.back().revents) break; // the test is done
                for (std::size_t i = 0; i + 1 < fds.size(); ++i) {
                    if (!fds[i].revents) continue;
                    if (i < addresses.size()) {
                        const int client = ::accept(fds[i].fd, nullptr, nullptr);
                        if (client < 0) continue;
                        ++connections;
                        accepted.push_back(client);
                        fds.insert(fds.end() - 1, {client, POLLIN, 0});
                        break; // the list changed
                    }
                    char buffer[4096];
                    const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
                    if (got > 0) bytes += static_cast<std::size_t>(got);
                    else fds[i].events = 0;
                }
            }
            const std::string report =
                std::to_string(connections) + " connections, " + std::to_string(bytes) + " bytes";
            n = ::write(m_report[1], report.data(), report.size());
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(m_stop[0]);
        ::close(m_report[1]);
        char byte;
        m_ready = ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
    }
    ~ForeignListener() { Report(); }

    bool ready() const { return m_ready; }

    // Stops it; what reached it.
    std::string Report() {
        if (m_pid <= 0) return "";
        ::close(m_stop[1]);
        std::string report;
        char buffer[128];
        ssize_t n;
        while ((n = ::read(m_report[0], buffer, sizeof buffer)) > 0) report.append(buffer, static_cast<std::size_t>(n));
        ::close(m_report[0]);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
        return report;
    }

private:
    pid_t m_pid = -1;
    int m_stop[2] = {-1, -1};
    int m_report[2] = {-1, -1};
    bool m_ready = false;
};

} // namespace

// A user who may not administer CUPS is refused on the local socket, and the request is
// asked again over TCP with a name and password. IPP_PORT names the port; another local
// user listens at [::1] (where localhost leads first) on it, or at both loopback addresses
// on a port where the server does not listen at all: that program receives nothing, and
// the user is asked only where the server itself listens.
TEST_F(CupsSpoolerTest, APasswordIsAskedForOnlyWhereTheSameServerListens) {
    QUILL_SKIP_UNLESS_ROOT(quill::test::kNeedsRootToBecomeAnotherUser);
    s_cups->AddQueue("Desk");
    struct Case {
        bool serversPort;
        std::vector<std::string> foreign;
    };
    for (const Case& c : {Case{true, {"::1"}}, Case{false, {"::1", "127.0.0.1"}}}) {
        const int port = c.serversPort ? s_cups->port() : quill::test::FreeLoopbackPort();
        ForeignListener listener(c.foreign, port);
        if (!listener.ready()) GTEST_SKIP() << "no IPv6 loopback address to listen at";
        ::setenv("IPP_PORT", std::to_string(port).c_str(), 1);
        int asked = 0;
        ASSERT_EQ(::setresgid(65534, 65534, 0), 0);
        ASSERT_EQ(::setresuid(65534, 65534, 0), 0);
        // On a thread of its own, as the program's requests run: libcups reads IPP_PORT once
        // per thread.
        std::thread([&] {
            // Cancelled: what would be typed goes where the question came from.
            PasswordScope scope([&](const std::string&, const std::string&) {
                ++asked;
                return std::optional<std::pair<std::string, std::string>>();
            });
            const auto connection = CupsConnection::Open("");
            ASSERT_TRUE(connection);
            ipp_t* request = ippNewRequest(IPP_OP_PAUSE_PRINTER);
            ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, PrinterUri("Desk").c_str());
            ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "nobody");
            EXPECT_FALSE(connection->Send(request, "/admin/"));
        }).join();
        ASSERT_EQ(::setresuid(0, 0, 0), 0);
        ASSERT_EQ(::setresgid(0, 0, 0), 0);
        ::unsetenv("IPP_PORT");
        EXPECT_EQ(listener.Report(), "0 connections, 0 bytes") << port;
        EXPECT_EQ(asked > 0, c.serversPort) << port;

        EXPECT_NE(s_cups->Run("lpstat -p Desk").find("enabled"), std::string::npos);
    }
}
