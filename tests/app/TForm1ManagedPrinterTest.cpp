// "Enable Printer", "Disable Printer", "Share Out" and "Share In" on the real window
// (offscreen) with a scripted spooler, boxes and launcher.
#include "app/TForm1.h"

#include "FakeDialogs.h"
#include "FakeLauncher.h"
#include "FakeSpooler.h"
#include "SpoolerWait.h"

#include <QListWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <utility>

using namespace quill;
using app::TForm1;
namespace fs = std::filesystem;

namespace {

const std::string kManaged = "QUILL Amber PDF Creator";
const std::string kEnabled = "QUILL Amber PDF Creator has been enabled.";
const std::string kShared = "QUILL Amber PDF Creator is now set up as a network shared printer.";
// What a refusal for want of rights adds.
const std::string kAdministrators = ". Changing printers takes a print administrator: root, or a member of the print "
                                    "server's administrators group (SystemGroup in /etc/cups/cups-files.conf; lpadmin "
                                    "on Debian).";

class TForm1ManagedPrinterTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quill-program-XXXXXX";
        ASSERT_TRUE(::mkdtemp(pattern));
        folder = pattern;
    }
    void TearDown() override { fs::remove_all(folder); }

    std::unique_ptr<TForm1> Make(std::initializer_list<const char*> printers, bool companion = true) {
        for (const char* name : printers) spooler.AddPrinter(name);
        if (companion) std::ofstream(folder + "/SetupAid.exe") << "";
        auto form = std::make_unique<TForm1>(spooler, dialogs, launcher, [] { return 2026; });
        form->ProgramFolder = folder;
        form->show();
        test::WaitForSpooler(*form);
        return form;
    }
    void Click(TForm1& form, widgets::ColorButton* button) {
        QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(20, 20));
        test::WaitForSpooler(form);
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& printer : spooler.printers) names.push_back(printer.info.pPrinterName);
        return names;
    }
    const spooler::PrinterInfo2* Info(const std::string& name) const {
        for (const auto& printer : spooler.printers)
            if (printer.info.pPrinterName == name) return &printer.info;
        return nullptr;
    }

    std::string folder;
    test::FakeSpooler spooler;
    test::FakeDialogs dialogs;
    test::FakeLauncher launcher;
};

} // namespace

TEST_F(TForm1ManagedPrinterTest, EnableInstallsTheManagedPrintersRecordSaysSoAndSelectsIt) {
    auto form = Make({"Fax"});
    Click(*form, form->SpeedButton3);
    EXPECT_EQ(Names(), (std::vector<std::string>{"Fax", kManaged}));
    const auto* info = Info(kManaged);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->pServerName, "");
    EXPECT_EQ(info->pShareName, "");
    EXPECT_EQ(info->pPortName, "pdfinst");
    EXPECT_EQ(info->pDriverName, kManaged);
    EXPECT_EQ(info->pComment, "Create PDF document");
    EXPECT_EQ(info->pLocation, "");
    EXPECT_EQ(info->pPrintProcessor, "WinPrint");
    EXPECT_EQ(info->pDatatype, "RAW");
    EXPECT_EQ(info->Attributes, 0u);
    EXPECT_EQ(dialogs.messages, std::vector<std::string>{kEnabled});
    EXPECT_EQ(form->ListBox1->count(), 2);
    EXPECT_EQ(form->SelectedPrinter(), kManaged);
}

// A failed install is told with the spooler's reason, never as a success.
TEST_F(TForm1ManagedPrinterTest, EnableTellsEachFailureWithItsReasonAndNeverTheConfirmation) {
    struct Case {
        std::uint32_t code;
        std::string reason, shown;
    };
    const Case cases[] = {
        {spooler::ERROR_ACCESS_DENIED, "Forbidden", "Forbidden" + kAdministrators},
        {spooler::ERROR_TIMEOUT, "The print server did not answer in time.",
         "The print server did not answer in time."},
        {spooler::ERROR_INVALID_PARAMETER, "", "The print server gave no reason."},
    };
    spooler.failAddPrinter = true;
    auto form = Make({"Fax"});
    for (const auto& c : cases) {
        dialogs.messages.clear();
        spooler.failureCode = c.code;
        spooler.failureReason = c.reason;
        Click(*form, form->SpeedButton3);
        EXPECT_EQ(Names(), std::vector<std::string>{"Fax"});
        EXPECT_EQ(dialogs.messages, std::vector<std::string>{kManaged + " could not be enabled: " + c.shown});
    }
}

TEST_F(TForm1ManagedPrinterTest, EnableWhenTheManagedPrinterExistsInstallsNothingSaysNothingAndSelectsIt) {
    auto form = Make({"Fax", "QUILL Amber PDF Creator"});
    form->ListBox1->setCurrentRow(0); // the user's choice goes with the refresh
    const int enumerations = spooler.enumPrintersCalls;
    Click(*form, form->SpeedButton3);
    EXPECT_EQ(Names(), (std::vector<std::string>{"Fax", kManaged}));
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_EQ(spooler.enumPrintersCalls, enumerations + 1);
    EXPECT_EQ(form->SelectedPrinter(), kManaged);
    // One that exists but cannot be opened with full access counts as absent: an install
    // is attempted, and the spooler's refusal is said.
    spooler.unopenable.insert(kManaged);
    Click(*form, form->SpeedButton3);
    EXPECT_EQ(Names(), (std::vector<std::string>{"Fax", kManaged}));
    EXPECT_EQ(dialogs.messages,
              std::vector<std::string>{kManaged + " could not be enabled: The printer exists already."});
}

TEST_F(TForm1ManagedPrinterTest, EnableWithoutTheCompanionBesideTheProgramOnlyRefreshes) {
    auto form = Make({"Fax"}, false);
    // A folder of the companion's name is no companion.
    fs::create_directory(folder + "/SetupAid.exe");
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int enumerations = spooler.enumPrintersCalls;
        Click(*form, form->SpeedButton3);
        EXPECT_EQ(Names(), std::vector<std::string>{"Fax"});
        EXPECT_TRUE(dialogs.messages.empty());
        EXPECT_EQ(spooler.enumPrintersCalls, enumerations + 1);
        fs::remove(folder + "/SetupAid.exe");
    }
}

TEST_F(TForm1ManagedPrinterTest, DisableRemovesTheManagedPrinterOnlyAndRefreshesAlways) {
    auto form = Make({"Fax", "QUILL Amber PDF Creator", "quill-other"});
    Click(*form, form->SpeedButton4);
    EXPECT_EQ(Names(), (std::vector<std::string>{"Fax", "quill-other"}));
    EXPECT_EQ(form->ListBox1->count(), 2);
    EXPECT_EQ(form->SelectedPrinter(), "quill-other"); // the first entry holding QUILL
    // When it is absent nothing is deleted, and the list is still rebuilt.
    const int enumerations = spooler.enumPrintersCalls;
    Click(*form, form->SpeedButton4);
    EXPECT_EQ(Names(), (std::vector<std::string>{"Fax", "quill-other"}));
    EXPECT_EQ(spooler.enumPrintersCalls, enumerations + 1);
    EXPECT_TRUE(dialogs.messages.empty());
}

// Cancel (and Escape) share nothing and say nothing; a share that failed is told with
// the spooler's reason, never as a success.
// What Disable comes to is told: a refusal with its reason, a printer that holds jobs
// kept until they have ended; a printer removed at once, as the list shows, is not.
TEST_F(TForm1ManagedPrinterTest, DisableTellsARefusalAndAPendingRemovalAndEnableWithdrawsIt) {
    auto form = Make({"Fax", "QUILL Amber PDF Creator"});
    spooler.failDeletePrinter = true;
    spooler.failureReason = "Forbidden";
    Click(*form, form->SpeedButton4);
    EXPECT_EQ(dialogs.messages,
              std::vector<std::string>{kManaged + " could not be disabled: Forbidden" + kAdministrators});
    spooler.failDeletePrinter = false;
    spooler.printers[1].jobs.resize(1);
    dialogs.messages.clear();
    Click(*form, form->SpeedButton4);
    EXPECT_EQ(dialogs.messages, std::vector<std::string>{kManaged + " will be removed when its last job has ended. "
                                                                    "Until then it takes no new jobs."});
    ASSERT_TRUE(Info(kManaged));
    EXPECT_TRUE(Info(kManaged)->Status & spooler::PRINTER_STATUS_PENDING_DELETION);
    dialogs.messages.clear();
    Click(*form, form->SpeedButton3);
    EXPECT_EQ(dialogs.messages, std::vector<std::string>{kEnabled});
    EXPECT_FALSE(Info(kManaged)->Status & spooler::PRINTER_STATUS_PENDING_DELETION);
}

TEST_F(TForm1ManagedPrinterTest, ShareOutCancelledSharesNothingAndEachFailureIsToldWithItsReason) {
    struct Case {
        const char* listed; // the printer in the list
        std::optional<std::string> answer;
        std::string reason; // the spooler's refusal, if it gets that far
        std::vector<std::string> messages;
    };
    const std::string failed = kManaged + " could not be shared as Office: ";
    const Case cases[] = {
        {"QUILL Amber PDF Creator", std::nullopt, "", {}},
        {"QUILL Amber PDF Creator",
         "Office",
         "The share name Office is taken by another printer or class.",
         {failed + "The share name Office is taken by another printer or class."}},
        {"QUILL Amber PDF Creator", "Office", "Forbidden", {failed + "Forbidden" + kAdministrators}},
        // Nothing selected and the managed printer not there: the managed printer stays the
        // target, and cannot be opened.
        {"Fax", "Office", "", {failed + "The printer or class does not exist."}},
    };
    for (const auto& c : cases) {
        spooler.printers.clear();
        dialogs.messages.clear();
        auto form = Make({c.listed});
        form->ListBox1->setCurrentRow(-1);
        spooler.failSetPrinter = !c.reason.empty();
        spooler.failureReason = c.reason;
        spooler.failureCode =
            c.reason == "Forbidden" ? spooler::ERROR_ACCESS_DENIED : spooler::ERROR_PRINTER_ALREADY_EXISTS;
        dialogs.inputAnswers.push_back(c.answer);
        Click(*form, form->SpeedButton7);
        EXPECT_EQ(dialogs.messages, c.messages);
        EXPECT_EQ(spooler.printers.front().info.Attributes, spooler::PRINTER_ATTRIBUTE_LOCAL);
    }
    EXPECT_EQ(dialogs.inputPrompts.front(),
              "Share Out|Share QUILL Amber PDF Creator for other computers.\r\rPrinter Share Name:\r(eg. QUILL)");
}

TEST_F(TForm1ManagedPrinterTest, ShareOutSaysPlainlyWhenTheServerSharesNoPrinters) {
    struct Case {
        std::optional<bool> serverShares;
        bool noted;
    };
    // Said only when the server tells that it shares nothing; not when it could not tell.
    const Case cases[] = {{false, true}, {std::nullopt, false}};
    for (const auto& c : cases) {
        spooler.printers.clear();
        dialogs.messages.clear();
        spooler.serverSharesPrinters = c.serverShares;
        auto form = Make({"QUILL Amber PDF Creator"});
        dialogs.inputAnswers.push_back("QUILL");
        Click(*form, form->SpeedButton7);
        EXPECT_TRUE(Info(kManaged)->Attributes & spooler::PRINTER_ATTRIBUTE_SHARED);
        ASSERT_EQ(dialogs.messages.size(), c.noted ? 2u : 1u);
        EXPECT_EQ(dialogs.messages[0], kShared);
        if (c.noted) {
            EXPECT_NE(dialogs.messages[1].find("cupsctl --share-printers"), std::string::npos);
        }
    }
}

TEST_F(TForm1ManagedPrinterTest, ShareOutWithTheFieldEmptiedDoesNothing) {
    auto form = Make({"QUILL Amber PDF Creator"});
    dialogs.inputAnswers.push_back("");
    Click(*form, form->SpeedButton7);
    EXPECT_EQ(Info(kManaged)->pShareName, "");
    EXPECT_EQ(Info(kManaged)->Attributes, spooler::PRINTER_ATTRIBUTE_LOCAL);
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(TForm1ManagedPrinterTest, ShareOutWithoutTheManagedPrinterSharesTheSelectedOneAndStillNamesTheManaged) {
    auto form = Make({"Fax", "Office Laser"});
    form->ListBox1->setCurrentRow(1);
    dialogs.inputAnswers.push_back("Office");
    Click(*form, form->SpeedButton7);
    EXPECT_EQ(Info("Office Laser")->pShareName, "Office");
    EXPECT_TRUE(Info("Office Laser")->Attributes & spooler::PRINTER_ATTRIBUTE_SHARED);
    EXPECT_FALSE(Info("Fax")->Attributes & spooler::PRINTER_ATTRIBUTE_SHARED);
    EXPECT_EQ(dialogs.messages, std::vector<std::string>{kShared});
}

TEST_F(TForm1ManagedPrinterTest, ShareOutSharesTheListedManagedPrinterWhateverIsSelected) {
    // Listed by its queue name: the list entry and the managed printer's name are
    // compared as queue names.
    auto form = Make({"Fax", "QUILL_Amber_PDF_Creator"});
    form->ListBox1->setCurrentRow(0);
    dialogs.inputAnswers.push_back("PDF");
    Click(*form, form->SpeedButton7);
    EXPECT_EQ(Info("QUILL_Amber_PDF_Creator")->pShareName, "PDF");
    EXPECT_EQ(Info("Fax")->pShareName, "");
    EXPECT_EQ(dialogs.messages, std::vector<std::string>{kShared});
}

TEST_F(TForm1ManagedPrinterTest, ShareInStartsTheHelperWithThePathRightAfterTheOptionOnly) {
    auto form = Make({"Fax"});
    const int enumerations = spooler.enumPrintersCalls;
    // Cancel, the example left unchanged, and an emptied field start nothing.
    for (const auto& answer : {std::optional<std::string>{}, std::optional<std::string>{"\\\\192.168.1.10\\QUILL"},
                               std::optional<std::string>{""}}) {
        dialogs.inputAnswers.push_back(answer);
        Click(*form, form->SpeedButton6);
    }
    EXPECT_TRUE(launcher.starts.empty());
    EXPECT_EQ(dialogs.inputPrompts.front(),
              "Share In|Install a network shared QUILL Amber PDF Creator onto this computer.\rInput server name or IP "
              "address\r\\\rPrinter share name:\r(eg. \\\\192.168.1.10\\QUILL or \\\\SERVER\\QUILL)");
    dialogs.inputAnswers.push_back("\\\\print server:8631\\My \"QUILL\"");
    Click(*form, form->SpeedButton6);
    ASSERT_EQ(launcher.starts.size(), 1u);
    EXPECT_EQ(launcher.starts[0].file, "rundll32.exe");
    EXPECT_EQ(launcher.starts[0].parameters, "printui.dll,PrintUIEntry /in /n\\\\print server:8631\\My \"QUILL\"");
    EXPECT_EQ(launcher.starts[0].showCommand, 5);
    EXPECT_TRUE(dialogs.messages.empty()); // the helper tells the outcome itself
    // The list shows the new connection once the helper has ended.
    spooler.AddPrinter("remote-My__QUILL_@print server:8631", spooler::PRINTER_ATTRIBUTE_NETWORK);
    QTest::qWait(50);
    EXPECT_EQ(spooler.enumPrintersCalls, enumerations); // not while the helper runs
    ::close(std::exchange(launcher.starts[0].end, -1));
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->ListBox1->count() == 2; }, 5000));
}
