// The managed printer across two computers: two private cupsd servers, this computer's
// (the first) and another computer's (the second, also listening on 127.0.0.2). On the
// second, "Enable Printer" and "Share Out" through the real window; on the first,
// "Share In" through the real helper; a job printed on the first comes out as a PDF on
// the second.
#include "app/TForm1.h"

#include "CupsSandbox.h"
#include "PropertiesDialog.h"
#include "FakeDialogs.h"
#include "FakeLauncher.h"
#include "SpoolerWait.h"
#include "spooler/CupsSpooler.h"
#include "spooler/PrinterName.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <cups/cups.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <tuple>

using namespace quill;
namespace fs = std::filesystem;

namespace {

// The newest job of a server, waiting up to 20 s for one; 0 when there is none.
int NewestJob(const test::CupsSandbox& cups) {
    for (int i = 0; i < 400; ++i) {
        http_t* http = httpConnect2(cups.server().c_str(), ippPort(), nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED,
                                    1, 5000, nullptr);
        if (!http) return 0;
        cups_job_t* jobs = nullptr;
        const int count = cupsGetJobs2(http, &jobs, nullptr, 0, CUPS_WHICHJOBS_ALL);
        int newest = 0;
        for (int j = 0; j < count; ++j) newest = std::max(newest, jobs[j].id);
        cupsFreeJobs(count, jobs);
        httpClose(http);
        if (newest > 0) return newest;
        QTest::qWait(50);
    }
    return 0;
}

} // namespace

TEST(TForm1CupsShareTest, EnabledAndSharedOnOneComputerPrintsAsPdfFromAnother) {
    if (!test::CupsSandbox::Possible()) GTEST_SKIP() << test::kNoCupsd;
    test::CupsSandbox first;
    // Made last: libcups of this process, and so the window, talks to the second.
    test::CupsSandbox second(false, "127.0.0.2");
    second.InstallManagedPrinterDriver();
    const std::string program = second.dir() + "/program";
    fs::create_directories(program);
    std::ofstream(program + "/SetupAid.exe") << "";

    spooler::CupsSpooler spooler;
    test::FakeDialogs dialogs;
    test::FakeLauncher launcher;
    app::TForm1 form(spooler, dialogs, launcher, [] { return 2026; });
    form.ProgramFolder = program;
    form.show();
    test::WaitForSpooler(form);

    // On the second: Enable Printer, then Share Out as QUILL.
    QTest::mouseClick(form.SpeedButton3, Qt::LeftButton, {}, QPoint(20, 20));
    test::WaitForSpooler(form);
    ASSERT_EQ(dialogs.messages, std::vector<std::string>{"QUILL Amber PDF Creator has been enabled."});
    ASSERT_TRUE(form.SelectedPrinter());
    EXPECT_TRUE(spooler::SameQueue(*form.SelectedPrinter(), "QUILL Amber PDF Creator"));
    dialogs.inputAnswers.push_back("QUILL");
    QTest::mouseClick(form.SpeedButton7, Qt::LeftButton, {}, QPoint(20, 20));
    test::WaitForSpooler(form);
    // The private server does not share its printers beyond this computer, and says so.
    ASSERT_EQ(dialogs.messages.size(), 3u);
    EXPECT_EQ(dialogs.messages[1], "QUILL Amber PDF Creator is now set up as a network shared printer.");
    EXPECT_NE(dialogs.messages[2].find("cupsctl --share-printers"), std::string::npos);
    EXPECT_NE(second.Run("lpstat -c QUILL").find("QUILL_Amber_PDF_Creator"), std::string::npos);
    EXPECT_NE(second.Run("lpoptions -p QUILL").find("printer-is-shared=true"), std::string::npos);

    // On the first: Share In. The window's launcher would start the helper with this
    // process's CUPS server, the second's, so the test starts it as the launcher does,
    // with the parameter string and show command the window handed over, on the first.
    const std::string other = "127.0.0.2:" + std::to_string(second.port());
    dialogs.inputAnswers.push_back("\\\\" + other + "\\QUILL");
    QTest::mouseClick(form.SpeedButton6, Qt::LeftButton, {}, QPoint(20, 20));
    ASSERT_EQ(launcher.starts.size(), 1u);
    EXPECT_EQ(launcher.starts[0].parameters, "printui.dll,PrintUIEntry /in /n\\\\" + other + "\\QUILL");
    first.Run(std::string("QUILL_REPORT_FIRST_PAINT=exit ") + QUILL_PRINTUI + " " +
              test::ShellQuote(launcher.starts[0].parameters) + " " + std::to_string(launcher.starts[0].showCommand));
    const std::string connection = "remote-QUILL@" + other;
    EXPECT_EQ(first.Queues(), std::vector<std::string>{connection});

    // Printed on the first, it comes out on the second as a PDF.
    first.SubmitJob(connection, "Printed on the first computer.\n", false);
    const int job = NewestJob(second);
    ASSERT_GT(job, 0) << second.Run("lpstat -W all -o");
    // The second server did not authenticate the user of a job that another server sent:
    // its PDF goes to the backend's own folder.
    const std::string pdf = second.JobPdf(job, second.UnclaimedPdfFolder());
    ASSERT_FALSE(pdf.empty()) << second.Run("lpstat -W all -o");
    std::ifstream in(pdf, std::ios::binary);
    std::string header(5, '\0');
    in.read(header.data(), 5);
    EXPECT_EQ(header, "%PDF-");
}

namespace {

// A shell command line's exit status and its output (standard error included).
std::pair<int, std::string> Shell(const std::string& commandLine) {
    FILE* pipe = ::popen((commandLine + " 2>&1").c_str(), "r");
    if (!pipe) return {-1, ""};
    std::string output;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    return {::pclose(pipe), output};
}

} // namespace

// The same over a network, where CUPS takes jobs from other computers only for what it
// shares: the suite runs under tests/support/two-computers, the second server on this
// computer's address of the test's own network, the first on the other computer.
TEST(TForm1OtherComputerShareTest, OnlyWhatShareOutSharedIsReachedFromAnotherComputer) {
    const char* onOther = std::getenv("QUILL_ON_OTHER_COMPUTER");
    const char* thisComputer = std::getenv("QUILL_THIS_COMPUTER");
    QUILL_SKIP_UNLESS_ROOT(test::kNeedsRootForNetworkNamespaces);
    if (!onOther || !thisComputer || !test::CupsSandbox::Possible())
        GTEST_SKIP() << "runs under tests/support/two-computers, with cupsd installed";
    // The first server, started on the other computer; reached here through its socket.
    char pattern[] = "/tmp/quill-cups-XXXXXX";
    ASSERT_TRUE(::mkdtemp(pattern));
    const std::string firstDir = pattern;
    const std::string script = std::string(QUILL_SOURCE_DIR) + "/tests/support/cups-sandbox";
    struct Stop {
        std::string script, dir;
        ~Stop() {
            Shell(script + " stop " + test::ShellQuote(dir));
            std::error_code ignored;
            fs::remove_all(dir, ignored);
        }
    } stop{script, firstDir};
    const auto started = Shell(std::string(onOther) + " " + script + " start " + test::ShellQuote(firstDir));
    ASSERT_EQ(started.first, 0) << started.second;
    const std::string onFirst =
        "export CUPS_SERVER=" + test::ShellQuote(firstDir + "/run/cups.sock") + "; " + std::string(onOther) + " ";

    test::CupsSandbox second(false, thisComputer); // last: the window talks to it
    second.InstallManagedPrinterDriver();
    const std::string program = second.dir() + "/program";
    fs::create_directories(program);
    std::ofstream(program + "/SetupAid.exe") << "";
    spooler::CupsSpooler spooler;
    test::FakeDialogs dialogs;
    test::FakeLauncher launcher;
    app::TForm1 form(spooler, dialogs, launcher, [] { return 2026; });
    form.ProgramFolder = program;
    form.show();
    test::WaitForSpooler(form);
    QTest::mouseClick(form.SpeedButton3, Qt::LeftButton, {}, QPoint(20, 20));
    test::WaitForSpooler(form);
    ASSERT_EQ(dialogs.messages, std::vector<std::string>{"QUILL Amber PDF Creator has been enabled."});

    const std::string server = std::string(thisComputer) + ":" + std::to_string(second.port());
    const auto shareIn = [&](const std::string& share) {
        return Shell(onFirst + "env QUILL_REPORT_FIRST_PAINT=exit " + QUILL_PRINTUI + " " +
                     test::ShellQuote("printui.dll,PrintUIEntry /in /n\\\\" + server + "\\" + share) + " 5");
    };
    // Enabled but not shared yet: neither a share name nor the printer itself is reached.
    auto [status, outcome] = shareIn("QUILL");
    EXPECT_NE(status, 0);
    EXPECT_NE(outcome.find("shares no printer QUILL"), std::string::npos) << outcome;
    std::tie(status, outcome) = shareIn("QUILL_Amber_PDF_Creator");
    EXPECT_NE(status, 0);
    EXPECT_NE(outcome.find("does not share QUILL_Amber_PDF_Creator"), std::string::npos) << outcome;
    EXPECT_EQ(Shell(onFirst + "lpstat -e").second, "");

    dialogs.inputAnswers.push_back("QUILL");
    QTest::mouseClick(form.SpeedButton7, Qt::LeftButton, {}, QPoint(20, 20));
    test::WaitForSpooler(form);
    std::tie(status, outcome) = shareIn("QUILL");
    ASSERT_EQ(status, 0) << outcome;
    const std::string connection = "remote-QUILL@" + server;
    EXPECT_EQ(Shell(onFirst + "lpstat -e").second, connection + "\n");
    std::tie(status, outcome) = Shell(
        onFirst + "sh -c " + test::ShellQuote("echo 'Printed on another computer.' | lp -d '" + connection + "'"));
    ASSERT_EQ(status, 0) << outcome;
    const int job = NewestJob(second);
    ASSERT_GT(job, 0);
    // Sent from another computer by root, whom CUPS takes for the user remroot there: a
    // user this computer does not know, whose PDFs go to the backend's own folder.
    const std::string pdf = second.JobPdf(job, second.UnclaimedPdfFolder());
    ASSERT_FALSE(pdf.empty()) << second.Run("lpstat -W all -o; ls -l " + second.PdfFolder());
    std::ifstream in(pdf, std::ios::binary);
    std::string header(5, '\0');
    in.read(header.data(), 5);
    EXPECT_EQ(header, "%PDF-");

    // Unshared in the helper's Properties, which shows the share name: the other computer
    // reaches the printer under no name any more.
    std::string error;
    const auto address = printui::AddressOf("QUILL Amber PDF Creator");
    const auto properties = printui::ReadProperties(address, error);
    ASSERT_TRUE(properties) << error;
    test::FakeDialogs passwords;
    printui::PropertiesDialog dialog("QUILL Amber PDF Creator", address, *properties, passwords);
    EXPECT_EQ(dialog.findChild<QLabel*>("shareName")->text(), QStringLiteral("QUILL"));
    dialog.findChild<QCheckBox*>("shared")->setChecked(false);
    QTest::mouseClick(dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok), Qt::LeftButton);
    ASSERT_EQ(dialog.result(), QDialog::Accepted) << dialog.findChild<QLabel*>("error")->text().toStdString();
    std::tie(status, outcome) = shareIn("QUILL");
    EXPECT_NE(outcome.find("shares no printer QUILL"), std::string::npos) << outcome;
    std::tie(status, outcome) = shareIn("QUILL_Amber_PDF_Creator");
    EXPECT_NE(outcome.find("does not share QUILL_Amber_PDF_Creator"), std::string::npos) << outcome;
}
