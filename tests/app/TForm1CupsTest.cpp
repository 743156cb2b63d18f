// The main window's printer list against a private cupsd.
#include "app/TForm1.h"

#include "CupsSandbox.h"
#include "FakeDialogs.h"
#include "FakeLauncher.h"
#include "SpoolerWait.h"
#include "StoppedServer.h"
#include "spooler/CupsSpooler.h"

#include <QElapsedTimer>
#include <QListWidget>

#include <gtest/gtest.h>

#include <memory>

using namespace quill;

namespace {

class TForm1CupsTest : public test::CupsTest {
protected:
    std::vector<std::string> Listed(app::TForm1& form) {
        std::vector<std::string> names;
        for (int i = 0; i < form.ListBox1->count(); ++i) names.push_back(form.ListBox1->item(i)->text().toStdString());
        return names;
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
    }
    EXPECT_EQ(dialogs.messages,
              (std::vector<std::string>{"Set Default Printer to a<b>c", "Set Default Printer to " + latin1}));
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
