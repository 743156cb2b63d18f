// The Properties dialog's Policies, Access and Supplies tabs against a private cupsd:
// what cupsd then does with jobs and reports of the queue.
#include "AccessTab.h"
#include "PrinterProperties.h"
#include "PropertiesDialog.h"
#include "SuppliesTab.h"

#include "CupsSandbox.h"
#include "PrintUiTestSupport.h"
#include "FakeDialogs.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <grp.h>
#include <pwd.h>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace quill;
namespace fs = std::filesystem;

namespace {

using test::Contains;
using test::ReadFile;

std::string UserName() { return ::getpwuid(::getuid())->pw_name; }
std::string GroupName() { return ::getgrgid(::getgid())->gr_name; }

class PropertiesPolicies : public test::CupsTest {
protected:
    std::unique_ptr<printui::PropertiesDialog> Open(const std::string& name) {
        return test::OpenProperties(name, dialogs);
    }
    static void Press(QDialog& dialog, QDialogButtonBox::StandardButton which) {
        QTest::mouseClick(dialog.findChild<QDialogButtonBox*>()->button(which), Qt::LeftButton);
    }
    static void Choose(QDialog& dialog, const char* combo, const std::string& value) {
        auto* box = dialog.findChild<QComboBox*>(combo);
        ASSERT_NE(box, nullptr) << combo;
        const int index = box->findData(QByteArray::fromStdString(value));
        ASSERT_GE(index, 0) << combo << "=" << value;
        box->setCurrentIndex(index);
    }
    static QString Shown(QDialog& dialog, const char* label) { return dialog.findChild<QLabel*>(label)->text(); }
    // Puts a name into the Access tab's field (as typed or pasted) and presses Enter.
    static void AddName(QDialog& dialog, const QString& name) {
        auto* edit = dialog.findChild<QLineEdit*>("accessName");
        edit->setText(name);
        QTest::keyClick(edit, Qt::Key_Return);
    }
    // The queue's attributes as cupsd reports them, one "name (type) = values" a line.
    static std::string Attributes(const std::string& queue) {
        const std::string test = s_cups->dir() + "/all-attributes.test";
        if (!fs::exists(test))
            std::ofstream(test) << "{\nOPERATION Get-Printer-Attributes\nGROUP operation-attributes-tag\n"
                                   "ATTR charset attributes-charset utf-8\n"
                                   "ATTR language attributes-natural-language en\nATTR uri printer-uri $uri\n"
                                   "ATTR keyword requested-attributes all\nSTATUS successful-ok\n}\n";
        std::string socket;
        for (const char c : s_cups->server()) socket += c == '/' ? std::string("%2F") : std::string(1, c);
        // Without the clocks (printer-up-time, printer-current-time, ...), which move on
        // between two reads of an unchanged queue.
        std::istringstream lines(
            s_cups->Run("ipptool -tv 'ipp://" + socket + "/printers/" + queue + "' " + test::ShellQuote(test)));
        std::string kept;
        for (std::string line; std::getline(lines, line);) {
            std::istringstream words(line);
            std::string name;
            words >> name;
            if (name.size() < 5 || name.compare(name.size() - 5, 5, "-time") != 0) kept += line + '\n';
        }
        return kept;
    }
    // A job sent by the user "visitor" from another program over TCP: its id, or cupsd's refusal.
    static std::string JobOfVisitor(const std::string& queue) {
        return s_cups->Run(std::string(QUILL_SOURCE_DIR) + "/tests/support/ipp-submit-from 127.0.0.1 127.0.0.1:" +
                           std::to_string(s_cups->port()) + " " + queue + " 2>&1 || true");
    }
    static bool Refused(const std::string& submitted) { return Contains(submitted, "status 0x"); }

    test::FakeDialogs dialogs;
};

// Each way of limiting who prints, set in the dialog, is what cupsd then enforces: a job of
// the user "visitor" and one of the user running the test.
TEST_F(PropertiesPolicies, AccessSetInTheDialogDecidesWhoseJobsCupsTakes) {
    s_cups->AddQueue("Desk");
    const QString me = QString::fromLocal8Bit(UserName().c_str());
    const QString myGroup = QStringLiteral("@") + QString::fromLocal8Bit(GroupName().c_str());
    struct Row {
        const char* radio;
        QStringList names;
        bool visitorTaken, mineTaken;
    };
    const Row rows[] = {
        {"accessOnly", {me}, false, true},
        {"accessOnly", {myGroup}, false, true},
        {"accessExcept", {QStringLiteral("visitor")}, false, true},
        {"accessExcept", {QStringLiteral("someone"), me}, true, false},
        {"accessEveryone", {}, true, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.radio) + " " + row.names.join(',').toStdString());
        auto dialog = Open("Desk");
        ASSERT_TRUE(dialog);
        dialog->findChild<QRadioButton*>("accessOnly")->setChecked(true);
        auto* list = dialog->findChild<QListWidget*>("accessList");
        list->selectAll();
        QTest::mouseClick(dialog->findChild<QPushButton*>("accessRemove"), Qt::LeftButton);
        for (const QString& name : row.names) AddName(*dialog, name);
        ASSERT_EQ(list->count(), row.names.size());
        dialog->findChild<QRadioButton*>(row.radio)->setChecked(true);
        Press(*dialog, QDialogButtonBox::Ok);
        ASSERT_EQ(dialog->result(), QDialog::Accepted) << Shown(*dialog, "error").toStdString();

        const std::string visitor = JobOfVisitor("Desk");
        EXPECT_EQ(Refused(visitor), !row.visitorTaken) << visitor;
        const std::string mine = s_cups->Run("echo text | lp -d Desk -H hold 2>&1 || true");
        EXPECT_EQ(Contains(mine, "request id is"), row.mineTaken) << mine;

        // Opened again, the dialog shows what cupsd keeps.
        auto again = Open("Desk");
        ASSERT_TRUE(again);
        EXPECT_TRUE(again->findChild<QRadioButton*>(row.radio)->isChecked());
        auto* kept = again->findChild<QListWidget*>("accessList");
        QStringList shown;
        for (int i = 0; i < kept->count(); ++i) shown << kept->item(i)->text();
        shown.sort();
        QStringList expected = row.names;
        expected.sort();
        EXPECT_EQ(shown, expected);
    }
}

// Names CUPS could not take are refused on the tab as they are typed; a limited list
// that is empty is refused at OK; nothing reaches cupsd.
TEST_F(PropertiesPolicies, AccessNamesCupsCannotTakeAreRefusedOnTheTab) {
    s_cups->AddQueue("Desk");
    const std::string before = Attributes("Desk");
    auto dialog = Open("Desk");
    ASSERT_TRUE(dialog);
    dialog->findChild<QRadioButton*>("accessOnly")->setChecked(true);
    auto* list = dialog->findChild<QListWidget*>("accessList");
    const struct {
        QString name;
        const char* says;
    } refused[] = {
        {QString(), "Type a user name"},
        {QStringLiteral("@"), "after the @"},
        {QStringLiteral("two words"), "blanks, commas or control characters"},
        {QStringLiteral("a,b"), "blanks, commas or control characters"},
        {QStringLiteral("tab\there"), "blanks, commas or control characters"},
        {QStringLiteral("bell\x07"), "blanks, commas or control characters"},
        {QString(256, QLatin1Char('x')), "at most 255 bytes"},
        {QString(128, QChar(0xfc)), "at most 255 bytes"}, // 256 bytes in UTF-8
    };
    for (const auto& row : refused) {
        AddName(*dialog, row.name);
        EXPECT_EQ(list->count(), 0) << row.name.toStdString();
        EXPECT_TRUE(Shown(*dialog, "accessProblem").contains(QString::fromLatin1(row.says)))
            << row.name.toStdString() << ": " << Shown(*dialog, "accessProblem").toStdString();
    }
    AddName(*dialog, QStringLiteral("@staff"));
    AddName(*dialog, QStringLiteral("@STAFF"));
    EXPECT_EQ(list->count(), 1);
    EXPECT_TRUE(Shown(*dialog, "accessProblem").contains(QStringLiteral("already in the list")));
    AddName(*dialog, QStringLiteral("ann"));
    EXPECT_TRUE(dialog->findChild<QLabel*>("accessProblem")->isHidden());
    EXPECT_EQ(list->count(), 2);

    list->selectAll();
    QTest::mouseClick(dialog->findChild<QPushButton*>("accessRemove"), Qt::LeftButton);
    Press(*dialog, QDialogButtonBox::Ok);
    EXPECT_NE(dialog->result(), QDialog::Accepted);
    EXPECT_TRUE(Shown(*dialog, "error").contains(QStringLiteral("at least one user or group")));
    EXPECT_EQ(Attributes("Desk"), before);
}

// Each policy set in the dialog is what cupsd then reports of the queue.
TEST_F(PropertiesPolicies, PoliciesSetInTheDialogAreWhatCupsReports) {
    s_cups->AddQueue("Desk");
    const struct {
        const char* combo;
        const char* value;
        const char* reported;
    } rows[] = {
        {"errorPolicy", "abort-job", "printer-error-policy (nameWithoutLanguage) = abort-job"},
        {"errorPolicy", "stop-printer", "printer-error-policy (nameWithoutLanguage) = stop-printer"},
        {"opPolicy", "authenticated", "printer-op-policy (nameWithoutLanguage) = authenticated"},
        {"opPolicy", "default", "printer-op-policy (nameWithoutLanguage) = default"},
        {"bannerStart", "standard", "job-sheets-default (1setOf nameWithoutLanguage) = standard,none"},
        {"bannerEnd", "classified", "job-sheets-default (1setOf nameWithoutLanguage) = standard,classified"},
        {"bannerStart", "none", "job-sheets-default (1setOf nameWithoutLanguage) = none,classified"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.combo) + "=" + row.value);
        auto dialog = Open("Desk");
        ASSERT_TRUE(dialog);
        Choose(*dialog, row.combo, row.value);
        Press(*dialog, QDialogButtonBox::Apply);
        EXPECT_TRUE(dialog->findChild<QLabel*>("error")->isHidden()) << Shown(*dialog, "error").toStdString();
        const std::string attributes = Attributes("Desk");
        EXPECT_TRUE(Contains(attributes, row.reported)) << attributes;
        // After Apply the dialog shows what cupsd took.
        EXPECT_EQ(dialog->findChild<QComboBox*>(row.combo)->currentData().toByteArray().toStdString(), row.value);
    }
    auto dialog = Open("Desk");
    ASSERT_TRUE(dialog);
    auto* errorPolicy = dialog->findChild<QComboBox*>("errorPolicy");
    QStringList captions;
    for (int i = 0; i < errorPolicy->count(); ++i) captions << errorPolicy->itemText(i);
    captions.sort();
    EXPECT_EQ(captions, (QStringList{"Abort job", "Retry current job", "Retry job", "Stop printer"}));
    EXPECT_EQ(dialog->findChild<QComboBox*>("bannerStart")->currentText(), QStringLiteral("None"));
}

// An operation policy the server no longer has (it was removed from cupsd.conf while the
// dialog was open): CUPS' reason is shown, and the description changed with it is
// taken back.
TEST_F(PropertiesPolicies, AChangeCupsRefusesIsShownWithItsReasonAndLeavesTheQueueAsItWas) {
    const std::string policy = s_cups->dir() + "/policy.conf";
    std::ofstream(policy) << "<Policy extra>\n<Limit All>\nOrder deny,allow\n</Limit>\n</Policy>\n";
    s_cups->Stop();
    s_cups->Start();
    s_cups->AddQueue("Desk", "Desk printer");
    auto dialog = Open("Desk");
    ASSERT_TRUE(dialog);
    fs::remove(policy);
    s_cups->Stop();
    s_cups->Start();
    const std::string before = Attributes("Desk");

    auto* description = dialog->findChild<QLineEdit*>("description");
    description->selectAll();
    QTest::keyClicks(description, QStringLiteral("Moved"));
    Choose(*dialog, "opPolicy", "extra");
    Choose(*dialog, "errorPolicy", "abort-job");
    Press(*dialog, QDialogButtonBox::Ok);
    EXPECT_NE(dialog->result(), QDialog::Accepted);
    EXPECT_FALSE(dialog->findChild<QLabel*>("error")->isHidden());
    EXPECT_TRUE(Shown(*dialog, "error").contains(QStringLiteral("extra"))) << Shown(*dialog, "error").toStdString();
    // The attributes that tell the time of a change aside, cupsd reports what it did.
    const auto stable = [](const std::string& attributes) {
        std::string kept;
        std::istringstream lines(attributes);
        for (std::string line; std::getline(lines, line);)
            if (!Contains(line, "-time ") && !Contains(line, "printer-up-time") &&
                !Contains(line, "printer-current-time"))
                kept += line + "\n";
        return kept;
    };
    EXPECT_EQ(stable(Attributes("Desk")), stable(before));
    EXPECT_EQ(dialog->findChild<QComboBox*>("opPolicy")->currentData().toByteArray(), "extra");
}

// Supplies as a printer reports them through its backend (ATTR: lines, as CUPS' ipp
// backend passes on an IPP printer's): a bar per supply, in its colour; "not reported"
// for a queue without.
TEST_F(PropertiesPolicies, SuppliesShowTheLevelsThePrinterReports) {
    const std::string backend = s_cups->dir() + "/lib/backend/supplies";
    std::ofstream(backend)
        << "#!/bin/sh\n[ $# -eq 0 ] && exit 0\n"
           "echo \"ATTR: marker-colors=#00FFFF,#000000,none marker-levels=80,5,-2 marker-low-levels=10,10,0 "
           "marker-high-levels=100,100,90 marker-names='Cyan ink,Black toner,Waste' "
           "marker-types=ink-cartridge,toner,waste-toner\" >&2\ncat >/dev/null\n";
    fs::permissions(backend, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
    s_cups->AddQueue("Ink", "", "supplies:/");
    s_cups->AddQueue("Plain");
    s_cups->SubmitJob("Ink", "a page", false);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!Contains(Attributes("Ink"), "marker-names") && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));

    auto dialog = Open("Ink");
    ASSERT_TRUE(dialog);
    const auto bars = dialog->findChildren<QProgressBar*>("supply");
    ASSERT_EQ(bars.size(), 3);
    const struct {
        const char* accessibleName;
        int value;
        QColor colour;
    } expected[] = {
        {"Cyan ink: 80%", 80, QColor(0, 0xff, 0xff)},
        {"Black toner: 5% (low)", 5, QColor(0, 0, 0)},
        {"Waste: unknown", 0, QColor()},
    };
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(bars[i]->accessibleName().toStdString(), expected[i].accessibleName);
        EXPECT_EQ(bars[i]->value(), expected[i].value);
        if (expected[i].colour.isValid()) {
            EXPECT_EQ(bars[i]->palette().color(QPalette::Highlight), expected[i].colour);
        }
    }
    EXPECT_EQ(dialog->findChild<QLabel*>("suppliesNotReported"), nullptr);

    auto plain = Open("Plain");
    ASSERT_TRUE(plain);
    EXPECT_TRUE(plain->findChildren<QProgressBar*>().isEmpty());
    ASSERT_NE(plain->findChild<QLabel*>("suppliesNotReported"), nullptr);
    EXPECT_EQ(plain->findChild<QLabel*>("suppliesNotReported")->text(), QStringLiteral("not reported"));
}

TEST(SuppliesLevels, LevelTextSaysLowFullAndUnknown) {
    const struct {
        int level, low, high;
        const char* type;
        const char* text;
    } rows[] = {
        {40, 10, 100, "toner", "40%"},     {10, 10, 100, "toner", "10% (low)"},
        {-1, 10, 100, "toner", "unknown"}, {-2, -1, -1, "ink", "unknown"},
        {-3, -1, -1, "ink", "unknown"},    {95, 10, 90, "waste-toner", "95% (nearly full)"},
        {5, 10, 90, "waste-ink", "5%"},    {5, -1, -1, "toner", "5%"},
    };
    for (const auto& row : rows) {
        printui::Marker m;
        m.level = row.level;
        m.low = row.low;
        m.high = row.high;
        m.type = row.type;
        EXPECT_EQ(printui::SuppliesTab::LevelText(m).toStdString(), row.text) << row.level << " " << row.type;
    }
}

// Alt+letter reaches one control: the mnemonics of the tab titles, the buttons and the
// controls of the tab shown are unique, tab by tab.
TEST_F(PropertiesPolicies, MnemonicsAreUniqueOnEveryTab) {
    s_cups->AddQueue("Desk");
    auto dialog = Open("Desk");
    ASSERT_TRUE(dialog);
    dialog->show();
    auto* tabs = dialog->findChild<QTabWidget*>("tabs");
    const auto mnemonic = [](const QString& text) {
        const int at = text.indexOf(QLatin1Char('&'));
        return at >= 0 && at + 1 < text.size() ? text.at(at + 1).toLower() : QChar();
    };
    for (int tab = 0; tab < tabs->count(); ++tab) {
        tabs->setCurrentIndex(tab);
        std::map<QChar, QStringList> owners;
        for (int t = 0; t < tabs->count(); ++t) owners[mnemonic(tabs->tabText(t))] << tabs->tabText(t);
        for (QWidget* widget : dialog->findChildren<QWidget*>()) {
            if (!widget->isVisible()) continue;
            QString text;
            if (auto* button = qobject_cast<QAbstractButton*>(widget)) text = button->text();
            else if (auto* label = qobject_cast<QLabel*>(widget); label && label->buddy()) text = label->text();
            owners[mnemonic(text)] << text;
        }
        owners.erase(QChar());
        for (const auto& [letter, texts] : owners)
            EXPECT_EQ(texts.size(), 1) << tabs->tabText(tab).toStdString() << ": "
                                       << texts.join(QStringLiteral(" / ")).toStdString();
    }
}

// What a keyboard and a screen reader user meet: each label's Alt+letter puts the focus
// in a field (a label whose buddy takes no focus does nothing), and every field that
// takes the focus has a name to be read out, on every tab.
TEST_F(PropertiesPolicies, EveryMnemonicReachesAFieldAndEveryFieldHasAName) {
    s_cups->AddQueue("Desk");
    auto dialog = Open("Desk");
    ASSERT_TRUE(dialog);
    dialog->show();
    auto* tabs = dialog->findChild<QTabWidget*>("tabs");
    for (int tab = 0; tab < tabs->count(); ++tab) {
        tabs->setCurrentIndex(tab);
        for (QWidget* widget : dialog->findChildren<QWidget*>()) {
            if (!widget->isVisible()) continue;
            if (auto* label = qobject_cast<QLabel*>(widget); label && label->buddy() && label->text().contains('&')) {
                EXPECT_NE(label->buddy()->focusPolicy(), Qt::NoFocus) << label->text().toStdString();
            }
            if (!qobject_cast<QLineEdit*>(widget) && !qobject_cast<QAbstractButton*>(widget)) continue;
            if (widget->focusPolicy() == Qt::NoFocus) continue;
            QAccessibleInterface* read = QAccessible::queryAccessibleInterface(widget);
            ASSERT_NE(read, nullptr);
            EXPECT_FALSE(read->text(QAccessible::Name).isEmpty())
                << tabs->tabText(tab).toStdString() << ": " << widget->objectName().toStdString();
        }
    }
}

// A connection's policies and access are shown, not changed.
TEST_F(PropertiesPolicies, PoliciesAndAccessOfAConnectionAreReadOnly) {
    s_cups->AddQueue("Remote", "Remote printer", "ipp://192.0.2.1/printers/Far");
    s_cups->Run("lpadmin -p Remote -u allow:ann");
    auto dialog = Open("Remote");
    ASSERT_TRUE(dialog);
    for (const char* combo : {"errorPolicy", "opPolicy", "bannerStart", "bannerEnd"})
        EXPECT_FALSE(dialog->findChild<QComboBox*>(combo)->isEnabled()) << combo;
    for (const char* radio : {"accessEveryone", "accessOnly", "accessExcept"})
        EXPECT_FALSE(dialog->findChild<QRadioButton*>(radio)->isEnabled()) << radio;
    EXPECT_TRUE(dialog->findChild<QRadioButton*>("accessOnly")->isChecked());
    EXPECT_FALSE(dialog->findChild<QLineEdit*>("accessName")->isEnabled());
    EXPECT_FALSE(dialog->findChild<QPushButton*>("accessAdd")->isEnabled());
    EXPECT_EQ(dialog->findChild<QListWidget*>("accessList")->item(0)->text(), QStringLiteral("ann"));
}

} // namespace
