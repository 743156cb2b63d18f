// The main window's printer list against a private cupsd.
#include "app/TForm1.h"

#include "CupsSandbox.h"
#include "FakeDialogs.h"
#include "FakeLauncher.h"
#include "SpoolerWait.h"
#include "spooler/CupsSpooler.h"

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
