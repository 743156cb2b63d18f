// The main window's printer list against a private cupsd.
#include "app/TForm1.h"

#include "CupsSandbox.h"
#include "FakeDialogs.h"
#include "FakeLauncher.h"
#include "SpoolerWait.h"
#include "ShareConnection.h"
#include "StoppedServer.h"
#include "spooler/CupsSpooler.h"

#include <QElapsedTimer>
#include <QListWidget>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

using namespace quill;

namespace {

class TForm1CupsTest : public test::CupsTest {
protected:
    std::vector<std::string> Listed(app::TForm1& form) {
        std::vector<std::string> names;
        for (int i = 0; i < form.ListBox1->count(); ++i) names.push_back(form.ListBox1->item(i)->text().toStdString());
        return names;
    }

    // The classes of the server and their members, as lpstat tells them.
    std::map<std::string, std::vector<std::string>> Classes() {
        std::map<std::string, std::vector<std::string>> classes;
        std::istringstream lines(s_cups->Run("lpstat -c"));
        std::string current;
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("members of class ", 0) == 0) classes[current = line.substr(17, line.size() - 18)];
            else if (!line.empty() && line[0] == '\t') classes[current].push_back(line.substr(1));
        }
        return classes;
    }
    void ShareOut(app::TForm1& form, const std::string& answer) {
        dialogs.messages.clear();
        dialogs.inputAnswers.push_back(answer);
        form.SpeedButton7Click();
        test::WaitForSpooler(form);
    }

    spooler::CupsSpooler spooler;
    test::FakeDialogs dialogs;
    test::FakeLauncher launcher;
};

} // namespace

TEST_F(TForm1CupsTest, QueuesAreListedInTheServersOrderWithTheFirstQuillSelected) {
    for (const char* name : {"QUILL_Amber_PDF_Creator", "Fax", "quill-amber"}) s_cups->AddQueue(name);
    app::TForm1 form(spooler, dialogs, launcher);
    test::WaitForSpooler(form);
    EXPECT_EQ(Listed(form), (std::vector<std::string>{"Fax", "quill-amber", "QUILL_Amber_PDF_Creator"}));
    EXPECT_EQ(form.SelectedPrinter(), "quill-amber");
}

TEST_F(TForm1CupsTest, NoQuillQueueSelectsNothingAndNoQueueLeavesTheListEmpty) {
    s_cups->AddQueue("Fax");
    s_cups->AddQueue("Laser");
    app::TForm1 form(spooler, dialogs, launcher);
    test::WaitForSpooler(form);
    EXPECT_EQ(Listed(form), (std::vector<std::string>{"Fax", "Laser"}));
    EXPECT_EQ(form.SelectedPrinter(), std::nullopt);
    s_cups->DeleteAllQueues();
    form.RefreshPrinterList();
    test::WaitForSpooler(form);
    EXPECT_TRUE(Listed(form).empty());
}

TEST_F(TForm1CupsTest, RefreshFollowsTheServer) {
    s_cups->AddQueue("Fax");
    app::TForm1 form(spooler, dialogs, launcher);
    test::WaitForSpooler(form);
    s_cups->AddQueue("QUILL_Amber_PDF_Creator", "QUILL Amber PDF Creator");
    form.RefreshPrinterList();
    test::WaitForSpooler(form);
    EXPECT_EQ(Listed(form), (std::vector<std::string>{"Fax", "QUILL_Amber_PDF_Creator"}));
    EXPECT_EQ(form.SelectedPrinter(), "QUILL_Amber_PDF_Creator");
}

TEST_F(TForm1CupsTest, SilentServerDelaysNeitherFirstPaintNorClosingAndTheListFollowsLater) {
    s_cups->AddQueue("QUILL_Amber_PDF_Creator");
    {
        test::StoppedServer stopped(*s_cups);
        QElapsedTimer clock;
        clock.start();
        auto form = std::make_unique<app::TForm1>(spooler, dialogs, launcher);
        form->show();
        form->grab(); // paints
        EXPECT_LT(clock.elapsed(), 1000);
        EXPECT_TRUE(Listed(*form).empty());
        form.reset();
        EXPECT_LT(clock.elapsed(), 1500);
    }
    app::TForm1 form(spooler, dialogs, launcher);
    test::WaitForSpooler(form);
    EXPECT_EQ(form.SelectedPrinter(), "QUILL_Amber_PDF_Creator");
}

TEST_F(TForm1CupsTest, NamesAreHandedOnAsTheServerGivesThem) {
    const std::string latin1 = "Lat\xE9in"; // not UTF-8
    s_cups->AddQueue(latin1);
    s_cups->AddQueue("a<b>c");
    app::TForm1 form(spooler, dialogs, launcher);
    test::WaitForSpooler(form);
    for (int row = 0; row < 2; ++row) {
        form.ListBox1->setCurrentRow(row);
        form.BitBtn20Click();
        launcher.End(static_cast<std::size_t>(row), "done\n");
    }
    const std::vector<std::string> set{"Set Default Printer to a<b>c", "Set Default Printer to " + latin1};
    EXPECT_TRUE(QTest::qWaitFor([&] { return dialogs.messages == set; }, 5000));
    ASSERT_EQ(launcher.starts.size(), 2u);
    EXPECT_EQ(launcher.starts[1].parameters, "printui.dll,PrintUIEntry /y /n \"" + latin1 + "\"");
}

TEST_F(TForm1CupsTest, ChangeThatCupsGuardsAsksForAPasswordAndIsLeftUndoneWhenRefused) {
    s_cups->AddQueue("QUILL_Amber_PDF_Creator", "QUILL Amber PDF Creator");
    // Over TCP, without the local certificate, CUPS wants a password for a deletion.
    const std::string server = std::getenv("CUPS_SERVER");
    char folder[] = "/tmp/quill-nocert-XXXXXX";
    ASSERT_TRUE(::mkdtemp(folder));
    ::setenv("CUPS_SERVER", ("127.0.0.1:" + std::to_string(s_cups->port())).c_str(), 1);
    ::setenv("CUPS_STATEDIR", folder, 1);
    {
        app::TForm1 form(spooler, dialogs, launcher);
        test::WaitForSpooler(form);
        form.SpeedButton4Click(); // Disable Printer; the fake password box is cancelled
        test::WaitForSpooler(form);
        EXPECT_EQ(form.SelectedPrinter(), "QUILL_Amber_PDF_Creator");
    }
    ::setenv("CUPS_SERVER", server.c_str(), 1);
    ::unsetenv("CUPS_STATEDIR");
    ::rmdir(folder);
    ASSERT_EQ(dialogs.passwordPrompts.size(), 1u);
    EXPECT_NE(dialogs.passwordPrompts.front().find("Password"), std::string::npos) << dialogs.passwordPrompts.front();
    EXPECT_EQ(s_cups->Queues(), (std::vector<std::string>{"QUILL_Amber_PDF_Creator"}));
}

// A printer has one share name, a one-member class of its own; a name that is another
// printer's or another class's is refused and nothing changes.
TEST_F(TForm1CupsTest, ShareOutKeepsOneShareNamePerPrinterAndTakesNoOtherName) {
    const std::string managed = "QUILL_Amber_PDF_Creator";
    s_cups->AddQueue(managed, "QUILL Amber PDF Creator");
    s_cups->AddQueue("Laser1");
    s_cups->AddQueue("Laser3");
    s_cups->AddClass("Office", "Laser1");
    s_cups->AddClass("Office", "Laser3");
    app::TForm1 form(spooler, dialogs, launcher);
    test::WaitForSpooler(form);
    const std::vector<std::string> office{"Laser1", "Laser3"};
    const std::string shared = "QUILL Amber PDF Creator is now set up as a network shared printer.";
    const auto taken = [](const std::string& name) {
        return "QUILL Amber PDF Creator could not be shared as " + name + ": The share name " + name +
               " is taken by another printer or class.";
    };
    struct Step {
        std::string answer, message;
        std::map<std::string, std::vector<std::string>> classes;
    };
    const Step steps[] = {
        {"Office", taken("Office"), {{"Office", office}}},
        {"laser1", taken("laser1"), {{"Office", office}}},
        {"A1", shared, {{"A1", {managed}}, {"Office", office}}},
        {"B1", shared, {{"B1", {managed}}, {"Office", office}}},
        {managed, shared, {{"Office", office}}},
    };
    for (const auto& step : steps) {
        ShareOut(form, step.answer);
        ASSERT_FALSE(dialogs.messages.empty()) << step.answer;
        EXPECT_EQ(dialogs.messages.front(), step.message) << step.answer;
        EXPECT_EQ(Classes(), step.classes) << step.answer;
    }
    // Refused names left the printer as it was: shared only by the later steps.
    EXPECT_NE(s_cups->Run("lpoptions -p " + managed).find("printer-is-shared=true"), std::string::npos);
}

// CUPS lists queues by name ignoring case: a connection that Share In makes comes after
// the managed printer, which stays preselected, whatever the share name.
TEST_F(TForm1CupsTest, TheManagedPrinterIsPreselectedBesideConnectionsToOtherComputersShares) {
    s_cups->AddQueue("QUILL_Amber_PDF_Creator", "QUILL Amber PDF Creator");
    for (const char* share : {"QUILL", "QUILL2", "quill amber", "0"}) {
        std::string error;
        const auto path = printui::ParseSharePath(std::string("\\\\192.0.2.9\\") + share, error);
        ASSERT_TRUE(path) << error;
        s_cups->AddQueue(printui::ConnectionQueue(*path), "", printui::DeviceUri(*path));
    }
    app::TForm1 form(spooler, dialogs, launcher);
    test::WaitForSpooler(form);
    EXPECT_EQ(form.ListBox1->count(), 5);
    EXPECT_EQ(form.SelectedPrinter(), "QUILL_Amber_PDF_Creator");
}

// A user who may not administer CUPS, on the local socket: CUPS refuses without asking,
// so the change is asked again over TCP, where CUPS asks for an administrator's password
// (cancelled here); the failure is told with CUPS' reason and nothing is installed.
TEST_F(TForm1CupsTest, EnableAsAUserWhoMayNotAdministerAsksForAPasswordAndTellsTheRefusal) {
    QUILL_SKIP_UNLESS_ROOT(test::kNeedsRootToBecomeAnotherUser);
    s_cups->InstallManagedPrinterDriver();
    const std::string program = s_cups->dir() + "/program";
    std::filesystem::create_directories(program);
    std::ofstream(program + "/SetupAid.exe") << "";
    ::setenv("IPP_PORT", std::to_string(s_cups->port()).c_str(), 1); // the server's TCP port
    ASSERT_EQ(::setresgid(65534, 65534, 0), 0);
    ASSERT_EQ(::setresuid(65534, 65534, 0), 0);
    {
        app::TForm1 form(spooler, dialogs, launcher);
        form.ProgramFolder = program;
        test::WaitForSpooler(form);
        form.SpeedButton3Click();
        test::WaitForSpooler(form);
    }
    ASSERT_EQ(::setresuid(0, 0, 0), 0);
    ASSERT_EQ(::setresgid(0, 0, 0), 0);
    ::unsetenv("IPP_PORT");
    ASSERT_FALSE(dialogs.passwordPrompts.empty());
    EXPECT_NE(dialogs.passwordPrompts.front().find("Password"), std::string::npos) << dialogs.passwordPrompts.front();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_TRUE(dialogs.messages[0].starts_with("QUILL Amber PDF Creator could not be enabled: "))
        << dialogs.messages[0];
    EXPECT_TRUE(s_cups->Queues().empty());
}

// "Disable Printer" loses no job: the managed printer that holds one takes no new jobs,
// keeps the one it has across a restart of the server, comes back with "Enable Printer"
// and goes once its last job has printed.
TEST_F(TForm1CupsTest, DisableWithAWaitingJobKeepsItAndRemovesThePrinterOnceItHasPrinted) {
    s_cups->InstallManagedPrinterDriver();
    const std::string queue = "QUILL_Amber_PDF_Creator";
    const auto install = [&] {
        s_cups->Run("lpadmin -p " + queue +
                    " -D 'QUILL Amber PDF Creator' -L Desk -m quill-amber-pdf-creator.ppd "
                    "-v pdfinst:/ -E");
    };
    install();
    const int job = s_cups->SubmitJob(queue, "waiting\n", true);
    const std::string program = s_cups->dir() + "/program";
    std::filesystem::create_directories(program);
    std::ofstream(program + "/SetupAid.exe") << "";
    auto form = std::make_unique<app::TForm1>(spooler, dialogs, launcher);
    form->ProgramFolder = program;
    test::WaitForSpooler(*form);
    const auto accepting = [&] { return s_cups->Run("lpstat -a " + queue).find("not accepting") == std::string::npos; };
    const std::string pending = "QUILL Amber PDF Creator will be removed when its last job has ended. Until then it "
                                "takes no new jobs.";

    form->SpeedButton4Click();
    test::WaitForSpooler(*form);
    EXPECT_EQ(dialogs.messages, std::vector<std::string>{pending});
    EXPECT_EQ(s_cups->Queues(), std::vector<std::string>{queue});
    EXPECT_NE(s_cups->Run("lpstat -o " + queue).find(queue + "-" + std::to_string(job)), std::string::npos);
    EXPECT_FALSE(accepting());
    EXPECT_THROW(s_cups->SubmitJob(queue, "refused\n", true), std::runtime_error);

    // Enable brings it back as it was, accepting; Disable marks it again.
    dialogs.messages.clear();
    form->SpeedButton3Click();
    test::WaitForSpooler(*form);
    EXPECT_EQ(dialogs.messages, std::vector<std::string>{"QUILL Amber PDF Creator has been enabled."});
    EXPECT_TRUE(accepting());
    EXPECT_NE(s_cups->Run("lpstat -l -p " + queue).find("Desk"), std::string::npos);
    form->SpeedButton4Click();
    test::WaitForSpooler(*form);
    form.reset();

    // The mark outlives the server; the next start finishes the deletion once the job has
    // printed.
    s_cups->Stop();
    s_cups->Start();
    EXPECT_FALSE(accepting());
    form = std::make_unique<app::TForm1>(spooler, dialogs, launcher);
    test::WaitForSpooler(*form);
    EXPECT_EQ(s_cups->Queues(), std::vector<std::string>{queue});
    s_cups->Run("lp -i " + std::to_string(job) + " -H resume");
    EXPECT_TRUE(QTest::qWaitFor([&] { return s_cups->Queues().empty(); }, 30000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return Listed(*form).empty(); }, 5000));
    // It printed: its PDF is there (root's jobs go to the folder of users unknown here).
    bool printed = false;
    for (const std::string& folder : {s_cups->PdfFolder(), s_cups->UnclaimedPdfFolder()}) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error))
            printed = printed || entry.path().filename().string().ends_with("job-" + std::to_string(job) + ".pdf");
    }
    EXPECT_TRUE(printed);

    // A printer without jobs goes at once, and nothing is said.
    install();
    dialogs.messages.clear();
    form->SpeedButton4Click();
    test::WaitForSpooler(*form);
    EXPECT_TRUE(s_cups->Queues().empty());
    EXPECT_TRUE(dialogs.messages.empty());
}

// The list follows printers added and deleted by others, keeping the user's choice, and
// fills again when a server that stood still answers.
TEST_F(TForm1CupsTest, TheListFollowsTheServerAndRefillsAfterItStoodStill) {
    s_cups->AddQueue("Fax");
    s_cups->AddQueue("Laser");
    app::TForm1 form(spooler, dialogs, launcher);
    test::WaitForSpooler(form);
    form.ListBox1->setCurrentRow(1);
    s_cups->AddQueue("Alpha");
    EXPECT_TRUE(QTest::qWaitFor([&] { return Listed(form).size() == 3; }, 5000));
    EXPECT_EQ(form.SelectedPrinter(), "Laser");
    s_cups->DeleteQueue("Fax");
    EXPECT_TRUE(QTest::qWaitFor([&] { return Listed(form) == std::vector<std::string>{"Alpha", "Laser"}; }, 5000));
    EXPECT_EQ(form.SelectedPrinter(), "Laser");

    std::unique_ptr<app::TForm1> stalled;
    {
        test::StoppedServer stopped(*s_cups);
        stalled = std::make_unique<app::TForm1>(spooler, dialogs, launcher);
        form.SpeedButton3Click(); // an Enable that times out
        test::WaitForSpooler(form, 20000);
        EXPECT_EQ(Listed(form), (std::vector<std::string>{"Alpha", "Laser"}));
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return Listed(*stalled).size() == 2; }, 15000));
}

// A user who may not administer CUPS is told why "Disable Printer" did nothing.
TEST_F(TForm1CupsTest, DisableRefusedToAUserWhoMayNotAdministerSaysWhy) {
    QUILL_SKIP_UNLESS_ROOT(test::kNeedsRootToBecomeAnotherUser);
    s_cups->AddQueue("QUILL_Amber_PDF_Creator", "QUILL Amber PDF Creator");
    ASSERT_EQ(::setresgid(65534, 65534, 0), 0);
    ASSERT_EQ(::setresuid(65534, 65534, 0), 0);
    {
        app::TForm1 form(spooler, dialogs, launcher);
        test::WaitForSpooler(form);
        form.SpeedButton4Click();
        test::WaitForSpooler(form);
    }
    ASSERT_EQ(::setresuid(0, 0, 0), 0);
    ASSERT_EQ(::setresgid(0, 0, 0), 0);
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_TRUE(dialogs.messages[0].starts_with("QUILL Amber PDF Creator could not be disabled: "))
        << dialogs.messages[0];
    EXPECT_EQ(s_cups->Queues(), std::vector<std::string>{"QUILL_Amber_PDF_Creator"});
}
