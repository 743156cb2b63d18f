// The printer user-interface helper: its parsing, and the real helper against a private
// cupsd with xdg-open replaced.
#include "PrintUi.h"
#include "ShareConnection.h"

#include "CupsSandbox.h"
#include "StoppedServer.h"
#include "spooler/CupsSpooler.h"
#include "spooler/LastError.h"
#include "spooler/PrinterName.h"

#include <QByteArray>
#include <QString>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>

using namespace quill;
using printui::Request;
namespace fs = std::filesystem;

TEST(PrintUiParse, ParameterStringsAsTheProgramBuildsThem) {
    Request r = printui::Parse("printui.dll,PrintUIEntry /y /n \"Office Laser\"");
    EXPECT_EQ(r.kind, Request::SetDefault);
    EXPECT_EQ(r.printer, "Office Laser");
    r = printui::Parse("printui.dll,PrintUIEntry /Xg /n \"The \"big\" one\"");
    EXPECT_EQ(r.kind, Request::PrinterSettings);
    EXPECT_EQ(r.printer, "The \"big\" one");
    EXPECT_EQ(printui::Parse("printui.dll,PrintUIEntry /p /n \"x\"").kind, Request::Properties);
    EXPECT_EQ(printui::Parse("printui.dll,PrintUIEntry /e /n \"x\"").kind, Request::Preferences);
    EXPECT_EQ(printui::Parse("SHELL32.DLL,SHHelpShortcuts_RunDLL PrintersFolder").kind, Request::PrintersFolder);
    r = printui::Parse("printui.dll,PrintUIEntry /in /n\\\\server\\share");
    EXPECT_EQ(r.kind, Request::AddConnection);
    EXPECT_EQ(r.printer, "\\\\server\\share");
    EXPECT_EQ(printui::Parse("printui.dll,PrintUIEntry /y /n \"unterminated").kind, Request::Invalid);
    EXPECT_EQ(printui::Parse("something else").kind, Request::Invalid);
}

TEST(PrintUiParse, WebPagesNameTheQueue) {
    const std::string base = "http://localhost:631";
    EXPECT_EQ(printui::WebPage(printui::Parse("printui.dll,PrintUIEntry /Xg /n \"QUILL Amber PDF Creator\""), base),
              "http://localhost:631/printers/QUILL_Amber_PDF_Creator");
    // Properties and Preferences are dialogs of the helper: no page.
    EXPECT_EQ(printui::WebPage(printui::Parse("printui.dll,PrintUIEntry /p /n \"Desk\""), base), "");
    EXPECT_EQ(printui::WebPage(printui::Parse("printui.dll,PrintUIEntry /e /n \"Desk\""), base), "");
    EXPECT_EQ(printui::WebPage(printui::Parse("SHELL32.DLL,SHHelpShortcuts_RunDLL PrintersFolder"), base),
              "http://localhost:631/printers/");
}

TEST(PrintUiParse, SharePathsNameTheOtherComputersQueueAndTheConnection) {
    struct Row {
        const char* path;
        const char* host;
        int port;
        const char* connection;
        const char* device;
    };
    const Row rows[] = {
        {"\\\\127.0.0.2\\QUILL", "127.0.0.2", 0, "remote-QUILL@127.0.0.2", "ipp://127.0.0.2:631/printers/QUILL"},
        {"\\\\print-host.example:8631\\Office Laser", "print-host.example", 8631,
         "remote-Office_Laser@print-host.example:8631", "ipp://print-host.example:8631/printers/Office_Laser"},
        {"\\\\[fe80::1]:6310\\Q", "[fe80::1]", 6310, "remote-Q@[fe80::1]:6310", "ipp://[fe80::1]:6310/printers/Q"},
        // The share name is mapped as "Share Out" maps it.
        {"\\\\srv\\a/b#c?d", "srv", 0, "remote-a_b_c_d@srv", "ipp://srv:631/printers/a_b_c_d"},
    };
    for (const auto& row : rows) {
        std::string error;
        const auto path = printui::ParseSharePath(row.path, error);
        ASSERT_TRUE(path) << row.path << ": " << error;
        EXPECT_EQ(path->host, row.host) << row.path;
        EXPECT_EQ(path->port, row.port) << row.path;
        EXPECT_EQ(printui::ConnectionQueue(*path), row.connection) << row.path;
        EXPECT_EQ(printui::DeviceUri(*path), row.device) << row.path;
    }
    // A long share name is cut before the server, so that the name stays a queue name
    // and still says where it prints.
    std::string error;
    const auto longShare = printui::ParseSharePath("\\\\srv:9\\" + std::string(200, 'x'), error);
    ASSERT_TRUE(longShare);
    const std::string queue = printui::ConnectionQueue(*longShare);
    EXPECT_EQ(queue.size(), 127u);
    EXPECT_TRUE(queue.ends_with("x@srv:9"));
    // A share name of characters of several bytes is cut between two of them.
    for (const std::string character : {"\xD0\x96", "\xE5\x8D\xB0", "\xF0\x9F\x96\xA8"}) {
        std::string share;
        for (int i = 0; i < 64; ++i) share += character;
        const auto path = printui::ParseSharePath("\\\\srv\\" + share, error);
        ASSERT_TRUE(path);
        const std::string cut = printui::ConnectionQueue(*path);
        const std::string body = cut.substr(7, cut.size() - 7 - 4); // between "remote-" and "@srv"
        EXPECT_EQ(body.size() % character.size(), 0u) << cut;
        EXPECT_EQ(share.rfind(body, 0), 0u) << cut;
        EXPECT_GT(cut.size(), 127u - character.size()) << cut;
        EXPECT_TRUE(cut.ends_with("@srv")) << cut;
    }
}

TEST(PrintUiParse, PathsThatCannotNameASharedPrinterAreRefusedWithAReason) {
    for (const char* bad :
         {"", "QUILL", "\\\\", "\\\\host", "\\\\host\\", "\\\\\\host\\Q", "\\host\\Q", "\\\\host\\a\\b", "\\\\ho st\\Q",
          "\\\\host:99999\\Q", "\\\\host:\\Q", "\\\\:631\\Q", "\\\\h/x\\Q", "\\\\host\\a\tb", "\\\\[fe80::1\\Q"}) {
        std::string error;
        EXPECT_FALSE(printui::ParseSharePath(bad, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

namespace {

class PrintUiCupsTest : public test::CupsTest {
protected:
    void SetUp() override {
        CupsTest::SetUp();
        if (IsSkipped()) return;
        home = s_cups->dir() + "/home";
        fs::create_directories(home + "/bin");
        std::ofstream(home + "/bin/xdg-open") << "#!/bin/sh\necho \"$@\" >> " << home << "/opened\n";
        ::chmod((home + "/bin/xdg-open").c_str(), 0755);
        fs::remove(home + "/opened");
    }
    std::string Helper(const std::string& parameters, int show) {
        const std::string env = "HOME=" + test::ShellQuote(home) + " PATH=" + test::ShellQuote(home + "/bin") +
                                ":$PATH QUILL_CUPS_WEB_URL=http://127.0.0.1:631 ";
        return env + QUILL_PRINTUI + std::string(" ") + test::ShellQuote(parameters) + " " + std::to_string(show);
    }
    std::string home;
};

} // namespace

TEST_F(PrintUiCupsTest, SetAsDefaultMakesTheUsersDefaultPrinter) {
    s_cups->AddQueue("Desk");
    s_cups->AddQueue("Other");
    const std::string asUser = "HOME=" + test::ShellQuote(home) + " ";
    s_cups->Run(asUser + "lpoptions -d Other -o copies=2");
    s_cups->Run(asUser + "lpoptions -p Gone -o copies=3"); // a printer the server lists no more
    s_cups->Run(Helper("printui.dll,PrintUIEntry /y /n \"Desk\"", 0));
    // lpstat -d reads it back as cupsGetNamedDest does, from the user's lpoptions; the
    // options of the old default and of a printer the server does not list stay.
    EXPECT_NE(s_cups->Run(asUser + "lpstat -d").find("Desk"), std::string::npos);
    const std::string lines = s_cups->Run("cat " + test::ShellQuote(home + "/.cups/lpoptions"));
    EXPECT_EQ(lines, "Dest Gone copies=3\nDest Other copies=2\nDefault Desk\n");
    s_cups->Run(Helper("printui.dll,PrintUIEntry /y /n \"Missing\"", 0) + " || true");
    EXPECT_EQ(s_cups->Run("cat " + test::ShellQuote(home + "/.cups/lpoptions")), lines);
    EXPECT_FALSE(fs::exists(home + "/opened"));
}

TEST_F(PrintUiCupsTest, PagesOpenInTheBrowserUnlessHidden) {
    s_cups->AddQueue("Desk");
    s_cups->Run(Helper("printui.dll,PrintUIEntry /Xg /n \"Desk\"", 5));
    std::ifstream opened(home + "/opened");
    std::string url;
    std::getline(opened, url);
    EXPECT_EQ(url, "http://127.0.0.1:631/printers/Desk");
    fs::remove(home + "/opened");
    s_cups->Run(Helper("SHELL32.DLL,SHHelpShortcuts_RunDLL PrintersFolder", 5));
    std::ifstream folder(home + "/opened");
    std::getline(folder, url);
    EXPECT_EQ(url, "http://127.0.0.1:631/printers/");
    fs::remove(home + "/opened");
    s_cups->Run(Helper("printui.dll,PrintUIEntry /p /n \"Desk\"", 0));
    s_cups->Run(Helper("SHELL32.DLL,SHHelpShortcuts_RunDLL PrintersFolder", 0));
    EXPECT_FALSE(fs::exists(home + "/opened"));
}

namespace {

// "Share In" on this computer's server (the first) with a printer that another computer
// (a second private cupsd, also listening on 127.0.0.2) shares as a class.
class PrintUiCupsConnectionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!test::CupsSandbox::Possible()) return;
        s_other = std::make_unique<test::CupsSandbox>(false, "127.0.0.2");
        s_this = std::make_unique<test::CupsSandbox>(); // made last: libcups of this process talks to it
    }
    static void TearDownTestSuite() {
        s_this.reset();
        s_other.reset();
    }
    void SetUp() override {
        QUILL_SKIP_WITHOUT_CUPSD(s_this);
        s_this->DeleteAllQueues();
        s_other->DeleteAllQueues();
        s_other->AddQueue("Real");
        s_other->AddClass("QUILL", "Real");
        s_other->Run("cupsenable QUILL");
        s_other->Run("cupsaccept QUILL");
    }
    static std::string Other() { return "127.0.0.2:" + std::to_string(s_other->port()); }
    // Runs the helper on this computer; its outcome line, and whether it succeeded.
    static std::pair<bool, std::string> ShareIn(const std::string& path) {
        // Shown, its message box closes itself once painted.
        const std::string command = std::string("QUILL_REPORT_FIRST_PAINT=exit ") + QUILL_PRINTUI + " " +
                                    test::ShellQuote("printui.dll,PrintUIEntry /in /n" + path) + " 5";
        try {
            return {true, s_this->Run(command)};
        } catch (const std::runtime_error& failed) {
            return {false, failed.what()};
        }
    }
    // Whether the helper's output says a window (its message box) was painted before the
    // outcome holding text was written.
    static bool ShownInABox(const std::string& output, const std::string& text) {
        const auto painted = output.find("first-paint ");
        return painted != std::string::npos && output.find(text, painted) != std::string::npos;
    }
    static std::string Device(const std::string& queue) { return s_this->Run("lpstat -v " + test::ShellQuote(queue)); }

    static inline std::unique_ptr<test::CupsSandbox> s_other, s_this;
};

} // namespace

TEST_F(PrintUiCupsConnectionTest, ShareInAddsAnEnabledRawQueueListedAsAConnectionAndOnlyOnce) {
    const std::string path = "\\\\" + Other() + "\\QUILL";
    const std::string queue = "remote-QUILL@" + Other();
    const auto [ok, outcome] = ShareIn(path);
    ASSERT_TRUE(ok) << outcome;
    // Told in a message box (painted, then closed by the report), then on standard error.
    EXPECT_TRUE(
        ShownInABox(outcome, "This computer's printer " + queue + " now prints to the printer QUILL of " + Other()))
        << outcome;
    EXPECT_EQ(s_this->Queues(), std::vector<std::string>{queue});
    EXPECT_NE(Device(queue).find("ipp://" + Other() + "/printers/QUILL"), std::string::npos);
    EXPECT_NE(s_this->Run("lpstat -p " + test::ShellQuote(queue)).find("enabled"), std::string::npos);
    EXPECT_NE(s_this->Run("lpstat -a " + test::ShellQuote(queue)).find("accepting"), std::string::npos);
    // Raw: no driver, and the typed path as its description.
    EXPECT_FALSE(fs::exists(s_this->dir() + "/etc/ppd/" + queue + ".ppd"));
    const std::string options = s_this->Run("lpoptions -p " + test::ShellQuote(queue));
    EXPECT_NE(options.find("printer-info=" + path + " "), std::string::npos) << options;

    spooler::CupsSpooler spooler;
    const auto connections = spooler.EnumPrintersA(spooler::PRINTER_ENUM_CONNECTIONS);
    ASSERT_TRUE(connections);
    ASSERT_EQ(connections->size(), 1u);
    EXPECT_EQ(connections->front().pPrinterName, queue);
    EXPECT_TRUE(connections->front().Attributes & spooler::PRINTER_ATTRIBUTE_NETWORK);
    EXPECT_TRUE(spooler.EnumPrintersA(spooler::PRINTER_ENUM_LOCAL)->empty());

    // Again: the connection is there already, and stays the only one.
    const auto [again, second] = ShareIn(path);
    EXPECT_TRUE(again) << second;
    EXPECT_NE(second.find("already"), std::string::npos) << second;
    EXPECT_EQ(s_this->Queues(), std::vector<std::string>{queue});
}

namespace {

// This computer's cupsd talks to its (private) system bus as a Debian cupsd does: libdbus
// ends it on a name that is not UTF-8.
class PrintUiCupsOnBusTest : public PrintUiCupsConnectionTest {
protected:
    static void SetUpTestSuite() {
        if (!test::CupsSandbox::Possible() || !test::CupsSandbox::BusPossible()) return;
        s_other = std::make_unique<test::CupsSandbox>(false, "127.0.0.2");
        s_this = std::make_unique<test::CupsSandbox>(false, "", test::CupsSandbox::Bus::CupsdToo);
    }
    void SetUp() override {
        if (test::CupsSandbox::Possible() && !test::CupsSandbox::BusPossible()) GTEST_SKIP() << test::kNoDbusDaemon;
        PrintUiCupsConnectionTest::SetUp();
    }
    static bool Utf8(const std::string& s) {
        const QByteArray bytes(s.data(), static_cast<qsizetype>(s.size()));
        return QString::fromUtf8(bytes).toUtf8() == bytes;
    }
};

} // namespace

// A printer installed, a printer shared (Share Out) and a shared printer connected (Share
// In) under names of 64 two-byte or 43 three-byte characters, which are longer than a
// queue name may be: cupsd keeps running, and every name made is UTF-8.
TEST_F(PrintUiCupsOnBusTest, LongNamesOfSeveralByteCharactersLeaveCupsdRunningAndEveryNameUtf8) {
    s_this->InstallManagedPrinterDriver();
    for (const auto& [character, count] : {std::pair<std::string, int>{"\xD0\x96", 64}, {"\xE5\x8D\xB0", 43}}) {
        std::string name;
        for (int i = 0; i < count; ++i) name += character;
        s_this->DeleteAllQueues();
        spooler::CupsSpooler spooler;
        spooler::PrinterInfo2 printer;
        printer.pPrinterName = name;
        printer.pPortName = "pdfinst";
        printer.pDriverName = "QUILL Amber PDF Creator";
        EXPECT_TRUE(spooler.AddPrinterA(printer)) << spooler::LastFailure().reason;

        s_this->AddQueue("Desk");
        auto desk = spooler.OpenPrinterA("Desk", spooler::PRINTER_ALL_ACCESS);
        ASSERT_TRUE(desk);
        auto record = spooler.GetPrinterA(*desk);
        ASSERT_TRUE(record);
        record->Attributes |= spooler::PRINTER_ATTRIBUTE_SHARED;
        record->pShareName = "S" + name;
        EXPECT_TRUE(spooler.SetPrinterA(*desk, *record)) << spooler::LastFailure().reason;

        s_other->AddQueue(spooler::QueueName(name)); // the other computer's Share Out of that name
        const auto [ok, outcome] = ShareIn("\\\\" + Other() + "\\" + name);
        EXPECT_TRUE(ok) << outcome;

        // libdbus ends cupsd a moment after the change that names the queue.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ASSERT_NE(s_this->Run("lpstat -r").find("is running"), std::string::npos)
            << "cupsd ended: " << s_this->Run("tail -n 3 " + test::ShellQuote(s_this->dir() + "/log/cupsd.out"));
        const auto names = s_this->Queues();
        EXPECT_EQ(names.size(), 4u); // the printer, Desk, its share name, the connection
        for (const auto& made : names) EXPECT_TRUE(Utf8(made)) << made;
    }
}

TEST_F(PrintUiCupsConnectionTest, NothingIsMadeOnEitherServerWhenTheShareCannotBeReached) {
    s_other->SetShared("Real", false);
    const auto queuesThere = s_other->Queues();
    struct Case {
        std::string path, reason;
    };
    const Case cases[] = {
        {"\\\\" + Other() + "\\Nothing", "shares no printer Nothing"},
        {"\\\\" + Other() + "\\Real", "does not share Real"},
        {"\\\\" + Other() + "\\a\\b", "no backslash"},
        {"\\\\127.0.0.3:" + std::to_string(s_other->port()) + "\\QUILL", "does not answer"},
        {"\\\\127.0.0.1\\QUILL", "is this computer"},
        {"QUILL", "\\\\server\\share"},
    };
    for (const auto& c : cases) {
        const auto [ok, outcome] = ShareIn(c.path);
        EXPECT_FALSE(ok) << c.path;
        EXPECT_TRUE(ShownInABox(outcome, c.reason)) << c.path << ": " << outcome;
    }
    // A server that accepts the connection but never answers: given up in bounded time.
    {
        test::StoppedServer stopped(*s_other);
        const auto [ok, outcome] = ShareIn("\\\\" + Other() + "\\QUILL");
        EXPECT_FALSE(ok);
        EXPECT_TRUE(outcome.ends_with("Cannot connect to \\\\" + Other() +
                                      "\\QUILL: The print server did not answer in time.\n"))
            << outcome;
    }
    EXPECT_TRUE(s_this->Queues().empty());
    EXPECT_EQ(s_other->Queues(), queuesThere);
}

TEST_F(PrintUiCupsConnectionTest, AQueueOfTheSameNameThatPrintsElsewhereIsLeftAlone) {
    const std::string queue = "remote-QUILL@" + Other();
    s_this->AddQueue(queue);
    const auto [ok, outcome] = ShareIn("\\\\" + Other() + "\\QUILL");
    EXPECT_FALSE(ok);
    EXPECT_NE(outcome.find("exists here and prints to discard:/"), std::string::npos) << outcome;
    EXPECT_NE(Device(queue).find("discard:/"), std::string::npos);
}

// A queue under another name (an earlier version's "QUILL@host", one made by hand) that
// prints to the shared printer is the connection: no second one is made.
TEST_F(PrintUiCupsConnectionTest, AQueueThatPrintsToTheSharedPrinterAlreadyIsTheConnection) {
    const std::string earlier = "QUILL@" + Other();
    s_this->AddQueue(earlier, "", "ipp://" + Other() + "/printers/QUILL");
    const auto [ok, outcome] = ShareIn("\\\\" + Other() + "\\QUILL");
    EXPECT_TRUE(ok) << outcome;
    EXPECT_NE(outcome.find("printer " + earlier + " prints to"), std::string::npos) << outcome;
    EXPECT_EQ(s_this->Queues(), std::vector<std::string>{earlier});
}

// Over TCP without this server's local certificate, CUPS wants a password; hidden, the
// helper asks for none, and the refusal leaves nothing made.
TEST_F(PrintUiCupsConnectionTest, AConnectionRefusedForWantOfAPasswordLeavesNothing) {
    const std::string noCertificate = s_this->dir() + "/no-certificate";
    fs::create_directories(noCertificate);
    const std::string command = "CUPS_SERVER=127.0.0.1:" + std::to_string(s_this->port()) +
                                " CUPS_STATEDIR=" + test::ShellQuote(noCertificate) + " " + QUILL_PRINTUI + " " +
                                test::ShellQuote("printui.dll,PrintUIEntry /in /n\\\\" + Other() + "\\QUILL") + " 0";
    try {
        s_this->Run(command);
        ADD_FAILURE() << "connected without a password";
    } catch (const std::runtime_error& refused) {
        EXPECT_NE(std::string(refused.what()).find("Unauthorized"), std::string::npos) << refused.what();
    }
    EXPECT_TRUE(s_this->Queues().empty());
}
