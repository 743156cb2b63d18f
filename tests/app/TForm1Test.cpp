// The main window on real widgets (offscreen) with a scripted spooler.
#include "app/TForm1.h"

#include "FakeDialogs.h"
#include "FakeLauncher.h"
#include "FakeSpooler.h"
#include "SpoolerWait.h"

#include <QAccessible>
#include <QApplication>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <tuple>

#include <gtest/gtest.h>

#include <memory>

using namespace quill;
using app::TForm1;

namespace {

QColor Pixel(const QImage& image, QPoint p) { return image.pixelColor(p); }

const QColor kFace(153, 204, 102);
const QColor kHoverFace(79, 175, 0);
const QColor kLight(203, 229, 178);
const QColor kDark(61, 92, 31);
const QColor kHoverLight(167, 215, 127);
const QColor kHoverDark(32, 70, 0);

class TForm1Test : public ::testing::Test {
protected:
    std::unique_ptr<TForm1> Make(std::initializer_list<const char*> printers, int year = 2026) {
        for (const char* name : printers) spooler.AddPrinter(name);
        auto form = std::make_unique<TForm1>(spooler, dialogs, launcher, [year] { return year; });
        form->show();
        test::WaitForSpooler(*form);
        QApplication::processEvents();
        return form;
    }

    static std::vector<std::string> Listed(const TForm1& form) {
        std::vector<std::string> names;
        for (int i = 0; i < form.ListBox1->count(); ++i) names.push_back(form.ListBox1->item(i)->text().toStdString());
        return names;
    }

    // The position of a button in the window's client area.
    static QPoint At(const TForm1& form, const widgets::ColorButton* button) {
        return button->mapTo(&form, QPoint(0, 0));
    }

    test::FakeSpooler spooler;
    test::FakeDialogs dialogs;
    test::FakeLauncher launcher;
};

} // namespace

TEST(FooterText, EveryOccurrenceOf2013TakesTheYearAfter2013Only) {
    EXPECT_EQ(app::FooterText("(c) 2007-2013 QUILL, 2013", 2013), "(c) 2007-2013 QUILL, 2013");
    EXPECT_EQ(app::FooterText("(c) 2007-2013 QUILL, 2013", 2001), "(c) 2007-2013 QUILL, 2013");
    EXPECT_EQ(app::FooterText("(c) 2007-2013 QUILL, 2013", 2030), "(c) 2007-2030 QUILL, 2030");
    EXPECT_EQ(app::FooterText("20132013", 2014), "20142014");
    EXPECT_EQ(app::FooterText("no year", 2030), "no year");
}

TEST_F(TForm1Test, FooterShowsTheCurrentYear) {
    for (int year : {2013, 2026, 2030}) {
        auto form = Make({}, year);
        const std::string text = form->Label1->text().toStdString();
        EXPECT_NE(text.find("2007-" + std::to_string(year)), std::string::npos) << text;
        if (year > 2013) {
            EXPECT_EQ(text.find("2013"), std::string::npos) << text;
        }
    }
}

TEST_F(TForm1Test, FirstQuillPrinterByUpperCasedNameIsPreselected) {
    auto form = Make({"Fax", "quill amber pdf creator", "QUILL Amber PDF Creator"});
    EXPECT_EQ(Listed(*form), (std::vector<std::string>{"Fax", "quill amber pdf creator", "QUILL Amber PDF Creator"}));
    EXPECT_EQ(form->ListBox1->currentRow(), 1);
    EXPECT_EQ(form->SelectedPrinter(), "quill amber pdf creator");
}

TEST_F(TForm1Test, NoQuillPrinterSelectsNothing) {
    auto form = Make({"Fax", "Laser"});
    EXPECT_EQ(form->ListBox1->count(), 2);
    EXPECT_TRUE(form->ListBox1->selectedItems().isEmpty());
    EXPECT_EQ(form->SelectedPrinter(), std::nullopt);
}

TEST_F(TForm1Test, NoPrintersOrNoSpoolerLeavesTheListEmpty) {
    auto form = Make({});
    EXPECT_EQ(form->ListBox1->count(), 0);
    EXPECT_EQ(form->SelectedPrinter(), std::nullopt);
    spooler.AddPrinter("QUILL");
    spooler.failEnumPrinters = true;
    form->RefreshPrinterList();
    test::WaitForSpooler(*form);
    EXPECT_EQ(form->ListBox1->count(), 0);
}

TEST_F(TForm1Test, ConnectionsAreListedWithLocalPrinters) {
    spooler.AddPrinter("Remote QUILL", spooler::PRINTER_ATTRIBUTE_NETWORK);
    auto form = Make({"Local"});
    EXPECT_EQ(Listed(*form), (std::vector<std::string>{"Remote QUILL", "Local"}));
    EXPECT_EQ(form->SelectedPrinter(), "Remote QUILL");
}

TEST_F(TForm1Test, SelectedPrinterIsTheUsersChoiceUntilTheListIsRefreshed) {
    auto form = Make({"Fax", "QUILL Amber PDF Creator", "Laser"});
    form->ListBox1->setCurrentRow(2);
    EXPECT_EQ(form->SelectedPrinter(), "Laser");
    spooler.printers.erase(spooler.printers.begin());
    spooler.AddPrinter("quill-second");
    form->RefreshPrinterList();
    test::WaitForSpooler(*form);
    EXPECT_EQ(Listed(*form), (std::vector<std::string>{"QUILL Amber PDF Creator", "Laser", "quill-second"}));
    EXPECT_EQ(form->SelectedPrinter(), "QUILL Amber PDF Creator");
    spooler.printers.erase(spooler.printers.begin());
    spooler.printers.erase(spooler.printers.begin() + 1);
    form->RefreshPrinterList();
    test::WaitForSpooler(*form);
    EXPECT_EQ(form->SelectedPrinter(), std::nullopt);
}

TEST_F(TForm1Test, WindowHasItsCaptionSizeAndColours) {
    auto form = Make({});
    EXPECT_EQ(form->windowTitle(), QStringLiteral("QUILL Server Management"));
    const QImage image = form->grab().toImage();
    EXPECT_EQ(image.size(), QSize(429, 552));
    EXPECT_EQ(Pixel(image, {2, 540}), QColor(Qt::white));
    EXPECT_EQ(Pixel(image, {425, 200}), QColor(Qt::white));
    EXPECT_EQ(Pixel(image, {8, 4}), QColor(232, 227, 231));    // panel corner
    EXPECT_EQ(Pixel(image, {100, 55}), QColor(232, 227, 231)); // between two panel buttons
    EXPECT_EQ(form->ListBox1->geometry(), QRect(185, 3, 235, 374));
    EXPECT_EQ(form->Panel1->geometry(), QRect(7, 3, 174, 522));
    EXPECT_EQ(form->GroupBox1->geometry(), QRect(185, 383, 235, 142));
    EXPECT_EQ(form->GroupBox1->title(), QStringLiteral("Global Settings"));
    EXPECT_EQ(form->Label1->geometry(), QRect(96, 531, 224, 13));
}

TEST_F(TForm1Test, TwelveButtonsStandWhereTheyBelongWithFaceAndBevel) {
    auto form = Make({});
    struct Place {
        widgets::ColorButton* button;
        const char* caption;
        QPoint topLeft;
    };
    const Place places[] = {
        {form->BitBtn10, "Monitor Printer", {18, 8}},
        {form->BitBtn20, "Set As Default", {18, 60}},
        {form->SpeedButton1, "Show Printer", {18, 112}},
        {form->SpeedButton2, "Properties", {18, 164}},
        {form->BitBtn30, "Preferences", {18, 216}},
        {form->SpeedButton3, "Enable Printer", {18, 269}},
        {form->SpeedButton4, "Disable Printer", {18, 321}},
        {form->SpeedButton5, "Printer Info", {18, 373}},
        {form->SpeedButton6, "Share In", {18, 425}},
        {form->SpeedButton7, "Share Out", {18, 478}},
        {form->SaveSettingsButton, "Save Settings", {228, 411}},
        {form->RestoreSettingsButton, "Restore Settings", {228, 467}},
    };
    const QImage image = form->grab().toImage();
    for (const auto& place : places) {
        SCOPED_TRACE(place.caption);
        EXPECT_EQ(place.button->Caption(), QString::fromLatin1(place.caption));
        EXPECT_EQ(At(*form, place.button), place.topLeft);
        EXPECT_EQ(place.button->size(), QSize(150, 42));
        const QPoint o = place.topLeft;
        EXPECT_EQ(Pixel(image, o + QPoint(2, 2)), kFace);
        EXPECT_EQ(Pixel(image, o + QPoint(147, 39)), kFace);
        EXPECT_EQ(Pixel(image, o + QPoint(0, 20)), kLight);
        EXPECT_EQ(Pixel(image, o + QPoint(1, 20)), kLight);
        EXPECT_EQ(Pixel(image, o + QPoint(148, 20)), kDark);
        EXPECT_EQ(Pixel(image, o + QPoint(149, 20)), QColor(Qt::black));
        EXPECT_EQ(Pixel(image, o + QPoint(75, 41)), QColor(Qt::black));
    }
}

TEST_F(TForm1Test, TabWalksTheButtonsTopToBottomAndSpacePressesTheFocusedOne) {
    auto form = Make({"Fax"});
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    form->ListBox1->setFocus();
    // Each button after the one above it (the panel's, then the settings group's).
    int previousTop = -1;
    widgets::ColorButton* previous = nullptr;
    for (widgets::ColorButton* button : form->Buttons()) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        ASSERT_EQ(QApplication::focusWidget(), button) << button->Caption().toStdString();
        const int top = At(*form, button).y();
        if (previous && previous->parentWidget() == button->parentWidget()) {
            EXPECT_GT(top, previousTop);
        }
        previousTop = top;
        previous = button;
        EXPECT_EQ(QAccessible::queryAccessibleInterface(button)->text(QAccessible::Name), button->Caption());
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), form->ListBox1);
    // Back to "Show Printer", and Space starts what its click starts.
    QTest::keyClick(form->ListBox1, Qt::Key_Backtab);
    for (int i = 0; i < 9; ++i) QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    ASSERT_EQ(QApplication::focusWidget(), form->SpeedButton1);
    QTest::keyClick(form->SpeedButton1, Qt::Key_Space);
    ASSERT_EQ(launcher.starts.size(), 1u);
    EXPECT_EQ(launcher.starts[0].parameters, "SHELL32.DLL,SHHelpShortcuts_RunDLL PrintersFolder");
}

TEST_F(TForm1Test, ButtonUnderTheMouseTurnsDarkGreenUntilThePointerCrossesItsContainer) {
    auto form = Make({});
    const QPoint setAsDefault = At(*form, form->BitBtn20) + QPoint(30, 20);
    QTest::mouseMove(form.get(), setAsDefault);
    EXPECT_EQ(form->BitBtn20->Color(), app::kHoverButtonColor);
    QImage image = form->grab().toImage();
    const QPoint o = At(*form, form->BitBtn20);
    EXPECT_EQ(Pixel(image, o + QPoint(2, 2)), kHoverFace);
    EXPECT_EQ(Pixel(image, o + QPoint(0, 20)), kHoverLight);
    EXPECT_EQ(Pixel(image, o + QPoint(148, 20)), kHoverDark);
    for (auto* other : form->Buttons()) {
        if (other != form->BitBtn20) {
            EXPECT_EQ(other->Color(), app::kNormalButtonColor);
        }
    }

    // Straight onto the next button: both stay dark until the panel is crossed.
    QTest::mouseMove(form.get(), At(*form, form->SpeedButton1) + QPoint(30, 20));
    EXPECT_EQ(form->BitBtn20->Color(), app::kHoverButtonColor);
    EXPECT_EQ(form->SpeedButton1->Color(), app::kHoverButtonColor);
    QTest::mouseMove(form.get(), QPoint(12, 107)); // the panel between two buttons
    for (auto* button : form->Buttons()) EXPECT_EQ(button->Color(), app::kNormalButtonColor);

    QTest::mouseMove(form.get(), At(*form, form->SaveSettingsButton) + QPoint(30, 20));
    EXPECT_EQ(form->SaveSettingsButton->Color(), app::kHoverButtonColor);
    QTest::mouseMove(form.get(), QPoint(200, 460)); // the group box beside its buttons
    EXPECT_EQ(form->SaveSettingsButton->Color(), app::kNormalButtonColor);
    image = form->grab().toImage();
    EXPECT_EQ(Pixel(image, At(*form, form->SaveSettingsButton) + QPoint(2, 2)), kFace);
}

TEST_F(TForm1Test, ButtonKeepsItsHoverColourAfterAMessageBox) {
    auto form = Make({});
    QTest::mouseMove(form.get(), At(*form, form->BitBtn20) + QPoint(30, 20));
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("QUILL Server Management"), QStringLiteral("Set Default"),
                    QMessageBox::Ok, form.get());
    QTimer::singleShot(50, &box, [&box] { box.accept(); });
    box.exec();
    QApplication::processEvents();
    EXPECT_EQ(form->BitBtn20->Color(), app::kHoverButtonColor);
    QTest::mouseMove(form.get(), QPoint(12, 107));
    EXPECT_EQ(form->BitBtn20->Color(), app::kNormalButtonColor);
}

TEST_F(TForm1Test, WindowKeepsItsSizeWhateverTheUserDoes) {
    auto form = Make({});
    form->resize(600, 700);
    QApplication::processEvents();
    EXPECT_EQ(form->size(), QSize(429, 552));
    form->showMaximized();
    QApplication::processEvents();
    EXPECT_EQ(form->size(), QSize(429, 552));
    int width = 1000, height = 20;
    EXPECT_TRUE(form->FormCanResize(width, height));
    EXPECT_EQ(width, 429);
    EXPECT_EQ(height, 552);
    EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
}

TEST_F(TForm1Test, FileDialogsAreSetUpForSettingsArchives) {
    auto form = Make({});
    EXPECT_EQ(form->OpenDialog1.Filter, "Printer Settings (*.qpk)|*.qpk");
    EXPECT_EQ(form->OpenDialog1.FileName, "*.qpk");
    EXPECT_EQ(form->SaveDialog1.Title, "Save As");
    EXPECT_TRUE(form->SaveDialog1.OverwritePrompt);
}

TEST_F(TForm1Test, PrinterCommandsStartTheHelperWithTheirParameterStrings) {
    auto form = Make({"Fax", "Office \"Big\" Laser"});
    form->ListBox1->setCurrentRow(1);
    const std::string name = "Office \"Big\" Laser";
    bool jobWindowShown = false;
    form->ShowJobWindow = [&](admin::TMain& window) {
        jobWindowShown = true;
        EXPECT_EQ(window.windowTitle(), QStringLiteral("Print Spooler"));
        EXPECT_EQ(window.parentWidget(), form.get());
    };
    for (auto* button : {form->BitBtn20, form->SpeedButton1, form->SpeedButton2, form->BitBtn30, form->SpeedButton5})
        QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(20, 20));
    using Start = test::FakeLauncher::Start;
    const std::vector<std::tuple<std::string, std::string, int>> expected = {
        {"rundll32.exe", "printui.dll,PrintUIEntry /y /n \"" + name + "\"", 0},
        {"rundll32.exe", "SHELL32.DLL,SHHelpShortcuts_RunDLL PrintersFolder", 5},
        {"rundll32.exe", "printui.dll,PrintUIEntry /p /n \"" + name + "\"", 5},
        {"rundll32.exe", "printui.dll,PrintUIEntry /e /n \"" + name + "\"", 5},
        {"rundll32.exe", "printui.dll,PrintUIEntry /Xg /n \"" + name + "\"", 5},
    };
    ASSERT_EQ(launcher.starts.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const Start& s = launcher.starts[i];
        EXPECT_EQ(std::make_tuple(s.file, s.parameters, s.showCommand), expected[i]) << i;
    }
    // The confirmation once the helper has set the default; its reason when it could not.
    EXPECT_TRUE(dialogs.messages.empty());
    launcher.End(0, "done\n");
    const std::vector<std::string> done{"Set Default Printer to " + name};
    EXPECT_TRUE(QTest::qWaitFor([&] { return dialogs.messages == done; }, 5000));
    EXPECT_TRUE(jobWindowShown);
    for (const auto& [said, shown] : {std::pair{"/home/u/.cups/lpoptions cannot be written: Permission denied\n",
                                                "/home/u/.cups/lpoptions cannot be written: Permission denied"},
                                      {"", "the printer helper ended without saying why."}}) {
        dialogs.messages.clear();
        form->BitBtn20Click();
        launcher.End(launcher.starts.size() - 1, said);
        const std::vector<std::string> refused{name + " could not be made the default printer: " + shown};
        EXPECT_TRUE(QTest::qWaitFor([&] { return dialogs.messages == refused; }, 5000)) << dialogs.messages.size();
    }
}

TEST_F(TForm1Test, CommandsThatNeedAPrinterSayWhenNoneIsSelected) {
    for (bool empty : {true, false}) {
        dialogs.messages.clear();
        launcher.starts.clear();
        auto form = Make(empty ? std::initializer_list<const char*>{} : std::initializer_list<const char*>{"Fax"});
        bool jobWindowShown = false;
        form->ShowJobWindow = [&](admin::TMain&) { jobWindowShown = true; };
        form->BitBtn20Click();
        form->SpeedButton2Click();
        form->BitBtn30Click();
        form->GetPrinterInfo();
        EXPECT_EQ(dialogs.messages, std::vector<std::string>(4, "Please select a printer first."));
        EXPECT_TRUE(launcher.starts.empty());
        EXPECT_FALSE(jobWindowShown);
        form->SpeedButton1Click(); // the Printers folder needs no printer
        ASSERT_EQ(launcher.starts.size(), 1u);
        EXPECT_EQ(launcher.starts[0].parameters, "SHELL32.DLL,SHHelpShortcuts_RunDLL PrintersFolder");
        spooler.printers.clear();
    }
}
