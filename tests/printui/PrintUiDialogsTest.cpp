// The printer helper's dialogs and web pages against a private cupsd (with its web
// interface on): what CUPS, lpstat, lpoptions and a browser then see.
#include "PreferencesDialog.h"
#include "PrintUi.h"
#include "PrinterOptions.h"
#include "PrinterProperties.h"
#include "PropertiesDialog.h"

#include "CupsSandbox.h"
#include "PrintUiTestSupport.h"
#include "FakeDialogs.h"
#include "StoppedServer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <csignal>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace quill;
namespace fs = std::filesystem;

namespace {

using test::Contains;
using test::OpenProperties;
using test::ReadFile;

constexpr const char* kPpd = test::kGenericPdfPpd;

// One private cupsd with its web interface for the whole program. HOME and
// CUPS_SERVERROOT point to a folder of the test before libcups reads them, so that the
// computer's own lpoptions are neither read nor written.
class PrintUiDialogs : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!test::CupsSandbox::Possible()) return;
        char pattern[] = "/tmp/quill-printui-home-XXXXXX";
        s_home = ::mkdtemp(pattern);
        ::setenv("HOME", s_home.c_str(), 1);
        ::setenv("CUPS_SERVERROOT", s_home.c_str(), 1);
        s_cups = std::make_unique<test::CupsSandbox>(true);
    }
    static void TearDownTestSuite() {
        s_cups.reset();
        if (!s_home.empty()) fs::remove_all(s_home);
    }
    void SetUp() override {
        QUILL_SKIP_WITHOUT_CUPSD(s_cups);
        s_cups->DeleteAllQueues();
        fs::remove(LpoptionsFile());
    }
    static std::string LpoptionsFile() { return s_home + "/.cups/lpoptions"; }
    // A CUPS command line as this user with this program's HOME.
    static std::string Cups(const std::string& commandLine) {
        return s_cups->Run("HOME=" + test::ShellQuote(s_home) + " CUPS_SERVERROOT=" + test::ShellQuote(s_home) + " " +
                           commandLine);
    }
    static void Press(QDialog& dialog, QDialogButtonBox::StandardButton which) {
        QPushButton* button = dialog.findChild<QDialogButtonBox*>()->button(which);
        ASSERT_NE(button, nullptr);
        QTest::mouseClick(button, Qt::LeftButton);
    }
    static void Choose(QDialog& dialog, const char* option, const std::string& value) {
        auto* combo = dialog.findChild<QComboBox*>(option);
        ASSERT_NE(combo, nullptr) << option;
        const int index = combo->findData(QByteArray::fromStdString(value));
        ASSERT_GE(index, 0) << option << "=" << value;
        combo->setCurrentIndex(index);
    }
    static void Type(QDialog& dialog, const char* field, const QString& text) {
        auto* edit = dialog.findChild<QLineEdit*>(field);
        edit->selectAll();
        QTest::keyClicks(edit, text);
    }

    static inline std::unique_ptr<test::CupsSandbox> s_cups;
    static inline std::string s_home;
    // Where a dialog asks for a password: nowhere (each question is refused, as a cancel).
    test::FakeDialogs dialogs;
};

std::unique_ptr<printui::PreferencesDialog> OpenPreferences(const std::string& name) {
    std::string error;
    const auto address = printui::AddressOf(name);
    auto options = printui::ReadOptions(address, error);
    EXPECT_TRUE(options) << error;
    if (!options) return nullptr;
    return std::make_unique<printui::PreferencesDialog>(name, address, *options);
}

} // namespace

TEST_F(PrintUiDialogs, PreferencesOfAPpdQueueSaveTheChosenOptionsAsLpoptionsDoes) {
    s_cups->Run("lpadmin -p Laser -P " + std::string(kPpd) + " -v discard:/ -E");
    s_cups->AddQueue("Other");
    Cups("lpoptions -d Other -o sides=two-sided-short-edge");
    const std::string otherBefore = Cups("lpoptions -p Other");

    auto dialog = OpenPreferences("Laser");
    ASSERT_TRUE(dialog);
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Laser Printing Preferences"));
    // The paper sizes are the PPD's.
    std::set<std::string> inPpd, listed;
    std::istringstream ppd(ReadFile(kPpd));
    for (std::string line; std::getline(ppd, line);)
        if (line.rfind("*PageSize ", 0) == 0) inPpd.insert(line.substr(10, line.find_first_of("/:") - 10));
    auto* media = dialog->findChild<QComboBox*>("media");
    ASSERT_NE(media, nullptr);
    for (int i = 0; i < media->count(); ++i) listed.insert(media->itemData(i).toByteArray().toStdString());
    EXPECT_EQ(listed, inPpd);
    EXPECT_EQ(media->currentData().toByteArray(), "Letter"); // the PPD's default
    // Its own options too, preset to the PPD's defaults.
    auto* resolution = dialog->findChild<QComboBox*>("Resolution");
    ASSERT_NE(resolution, nullptr);
    EXPECT_EQ(resolution->currentData().toByteArray(), "600dpi");

    Choose(*dialog, "media", "A4");
    Choose(*dialog, "sides", "two-sided-long-edge");
    Choose(*dialog, "Resolution", "300dpi");
    Press(*dialog, QDialogButtonBox::Ok);
    EXPECT_EQ(dialog->result(), QDialog::Accepted);

    const std::string saved = Cups("lpoptions -p Laser");
    EXPECT_TRUE(Contains(saved, "media=A4")) << saved;
    EXPECT_TRUE(Contains(saved, "sides=two-sided-long-edge")) << saved;
    EXPECT_TRUE(Contains(saved, "Resolution=300dpi")) << saved;
    EXPECT_EQ(Cups("lpoptions -p Other"), otherBefore);
    EXPECT_TRUE(Contains(Cups("lpstat -d"), "Other"));

    // Opened again, the dialog shows the saved choices.
    auto again = OpenPreferences("Laser");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->findChild<QComboBox*>("media")->currentData().toByteArray(), "A4");
    EXPECT_EQ(again->findChild<QComboBox*>("sides")->currentData().toByteArray(), "two-sided-long-edge");
}

TEST_F(PrintUiDialogs, CancelledPreferencesWriteNothing) {
    s_cups->Run("lpadmin -p Laser -P " + std::string(kPpd) + " -v discard:/ -E");
    Cups("lpoptions -p Laser -o copies=2");
    const std::string before = ReadFile(LpoptionsFile());
    ASSERT_FALSE(before.empty());

    auto dialog = OpenPreferences("Laser");
    ASSERT_TRUE(dialog);
    dialog->show();
    Choose(*dialog, "media", "A4");
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
    dialog = OpenPreferences("Laser");
    ASSERT_TRUE(dialog);
    Choose(*dialog, "sides", "two-sided-long-edge");
    Press(*dialog, QDialogButtonBox::Cancel);
    EXPECT_EQ(ReadFile(LpoptionsFile()), before);
}

// OK while the server stalls a little longer than its answer bound, and an lpoptions that
// cannot be read: the file keeps the default printer and the other printers' options,
// and the dialog says why nothing was saved.
TEST_F(PrintUiDialogs, PreferencesThatCannotBeSavedLoseNothingAndSayWhy) {
    s_cups->AddQueue("Desk");
    s_cups->AddQueue("Other");
    Cups("lpoptions -d Other -o sides=two-sided-short-edge");
    Cups("lpoptions -p Desk -o copies=2");
    const std::string before = ReadFile(LpoptionsFile());
    auto dialog = OpenPreferences("Desk");
    ASSERT_TRUE(dialog);
    dialog->findChild<QSpinBox*>("copies")->setValue(4);
    const auto shown = [&] { return dialog->findChild<QLabel*>("error")->text().toStdString(); };
    const int pid = s_cups->pid();
    ::kill(pid, SIGSTOP);
    std::thread resume([pid] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5600));
        ::kill(pid, SIGCONT);
    });
    Press(*dialog, QDialogButtonBox::Ok);
    resume.join();
    EXPECT_NE(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(ReadFile(LpoptionsFile()), before);
    EXPECT_TRUE(Contains(shown(), "did not answer in time")) << shown();

    fs::rename(LpoptionsFile(), s_home + "/kept");
    fs::create_directory(LpoptionsFile());
    Press(*dialog, QDialogButtonBox::Ok);
    EXPECT_TRUE(Contains(shown(), "lpoptions cannot be read: Is a directory")) << shown();
    std::string reason;
    EXPECT_FALSE(printui::ReadOptions(printui::AddressOf("Desk"), reason));
    EXPECT_EQ(reason, shown().substr(shown().find(LpoptionsFile())));
    fs::remove(LpoptionsFile());
    fs::rename(s_home + "/kept", LpoptionsFile());
}

TEST_F(PrintUiDialogs, PropertiesChangesReachCups) {
    s_cups->AddQueue("Desk", "Desk printer");
    auto dialog = OpenProperties("Desk", dialogs);
    ASSERT_TRUE(dialog);
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Desk Properties"));
    EXPECT_EQ(dialog->findChild<QLineEdit*>("description")->text(), QStringLiteral("Desk printer"));
    Type(*dialog, "description", QStringLiteral("Front desk"));
    Type(*dialog, "location", QStringLiteral("Hall 2"));
    dialog->findChild<QCheckBox*>("enabled")->setChecked(false);
    dialog->findChild<QCheckBox*>("accepting")->setChecked(false);
    Press(*dialog, QDialogButtonBox::Ok);
    EXPECT_EQ(dialog->result(), QDialog::Accepted) << dialog->findChild<QLabel*>("error")->text().toStdString();

    const std::string details = s_cups->Run("lpstat -l -p Desk");
    EXPECT_TRUE(Contains(details, "Description: Front desk")) << details;
    EXPECT_TRUE(Contains(details, "Location: Hall 2")) << details;
    EXPECT_TRUE(Contains(s_cups->Run("lpstat -p Desk"), "disabled"));
    EXPECT_TRUE(Contains(s_cups->Run("lpstat -a Desk"), "not accepting"));

    // Apply sends the way back; the dialog stays open.
    dialog = OpenProperties("Desk", dialogs);
    ASSERT_TRUE(dialog);
    EXPECT_FALSE(dialog->findChild<QCheckBox*>("enabled")->isChecked());
    dialog->findChild<QCheckBox*>("enabled")->setChecked(true);
    dialog->findChild<QCheckBox*>("accepting")->setChecked(true);
    Press(*dialog, QDialogButtonBox::Apply);
    EXPECT_TRUE(Contains(s_cups->Run("lpstat -p Desk"), "enabled"));
    EXPECT_TRUE(Contains(s_cups->Run("lpstat -a Desk"), "Desk accepting"));
}

// A user who may not administer CUPS: the request runs as "nobody" (the saved user id
// stays root, so the test can come back).
TEST_F(PrintUiDialogs, PropertiesRefusedByCupsShowItsReasonAndChangeNothing) {
    QUILL_SKIP_UNLESS_ROOT(test::kNeedsRootToBecomeAnotherUser);
    s_cups->AddQueue("Desk", "Desk printer");
    const std::string before = s_cups->Run("lpstat -l -p Desk");
    auto dialog = OpenProperties("Desk", dialogs);
    ASSERT_TRUE(dialog);
    Type(*dialog, "description", QStringLiteral("Taken over"));
    dialog->findChild<QCheckBox*>("enabled")->setChecked(false);
    ASSERT_EQ(::setresgid(65534, 65534, 0), 0);
    ASSERT_EQ(::setresuid(65534, 65534, 0), 0);
    Press(*dialog, QDialogButtonBox::Ok);
    ASSERT_EQ(::setresuid(0, 0, 0), 0);
    ASSERT_EQ(::setresgid(0, 0, 0), 0);

    EXPECT_NE(dialog->result(), QDialog::Accepted);
    auto* error = dialog->findChild<QLabel*>("error");
    EXPECT_FALSE(error->isHidden());
    EXPECT_TRUE(error->text().contains(QStringLiteral("Forbidden"))) << error->text().toStdString();
    EXPECT_EQ(s_cups->Run("lpstat -l -p Desk"), before);
    // The user's edit stays, to be corrected or cancelled.
    EXPECT_EQ(dialog->findChild<QLineEdit*>("description")->text(), QStringLiteral("Taken over"));
}

// A change CUPS refuses for its content: the rest of the change (description, state)
// is not applied either.
TEST_F(PrintUiDialogs, PropertiesWithADeviceCupsRefusesLeaveTheQueueAsItWas) {
    s_cups->AddQueue("Desk", "Desk printer");
    const std::string before = s_cups->Run("lpstat -l -p Desk");
    auto dialog = OpenProperties("Desk", dialogs);
    ASSERT_TRUE(dialog);
    Type(*dialog, "description", QStringLiteral("Moved"));
    Type(*dialog, "device", QStringLiteral("nosuchbackend:/x"));
    dialog->findChild<QCheckBox*>("accepting")->setChecked(false);
    Press(*dialog, QDialogButtonBox::Ok);
    EXPECT_NE(dialog->result(), QDialog::Accepted);
    EXPECT_TRUE(dialog->findChild<QLabel*>("error")->text().contains(QStringLiteral("nosuchbackend")))
        << dialog->findChild<QLabel*>("error")->text().toStdString();
    EXPECT_EQ(s_cups->Run("lpstat -l -p Desk"), before);
    EXPECT_TRUE(Contains(s_cups->Run("lpstat -a Desk"), "Desk accepting"));
}

// Over TCP without this server's local certificate, CUPS asks for a password.
TEST_F(PrintUiDialogs, PropertiesAskForAPasswordWhenCupsWantsOne) {
    s_cups->AddQueue("Desk", "Desk printer");
    const std::string before = s_cups->Run("lpstat -l -p Desk");
    auto dialog = OpenProperties("Desk", dialogs);
    ASSERT_TRUE(dialog);
    Type(*dialog, "location", QStringLiteral("Cellar"));
    const std::string server = std::getenv("CUPS_SERVER");
    ::setenv("CUPS_SERVER", ("127.0.0.1:" + std::to_string(s_cups->port())).c_str(), 1);
    ::setenv("CUPS_STATEDIR", s_home.c_str(), 1); // no certificate there
    Press(*dialog, QDialogButtonBox::Ok);
    ::setenv("CUPS_SERVER", server.c_str(), 1);
    ::unsetenv("CUPS_STATEDIR");

    const auto& prompts = dialogs.passwordPrompts;
    ASSERT_FALSE(prompts.empty());
    EXPECT_TRUE(Contains(prompts.front(), "Password")) << prompts.front();
    EXPECT_NE(dialog->result(), QDialog::Accepted);
    EXPECT_FALSE(dialog->findChild<QLabel*>("error")->text().isEmpty());
    EXPECT_EQ(s_cups->Run("lpstat -l -p Desk"), before);
}

// "host:port\queue" reaches the server at that port; a server that stops answering is
// given up after a few seconds, with a reason the user understands.
TEST_F(PrintUiDialogs, PrintersOfAServerAtAPortAreReadAndAServerThatStopsAnsweringIsGivenUp) {
    s_cups->AddQueue("Desk", "Desk printer");
    std::string error;
    const auto remote =
        printui::ReadProperties(printui::AddressOf("127.0.0.1:" + std::to_string(s_cups->port()) + "\\Desk"), error);
    ASSERT_TRUE(remote) << error;
    EXPECT_EQ(remote->description, "Desk printer");
    EXPECT_TRUE(remote->connection);

    const auto started = std::chrono::steady_clock::now();
    {
        test::StoppedServer stopped(*s_cups);
        EXPECT_FALSE(printui::ReadProperties(printui::AddressOf("Desk"), error));
    }
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(error, "The print server did not answer in time.");
    EXPECT_GE(waited, std::chrono::milliseconds(4500));
    EXPECT_LT(waited, std::chrono::milliseconds(7000));
}

TEST_F(PrintUiDialogs, PropertiesOfAConnectionAreReadOnly) {
    s_cups->AddQueue("Remote", "Remote printer", "ipp://192.0.2.1/printers/Far");
    auto dialog = OpenProperties("Remote", dialogs);
    ASSERT_TRUE(dialog);
    EXPECT_TRUE(dialog->findChild<QLineEdit*>("description")->isReadOnly());
    EXPECT_FALSE(dialog->findChild<QCheckBox*>("enabled")->isEnabled());
    EXPECT_EQ(dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok), nullptr);
}

// CUPS takes queue names that are not UTF-8; the dialogs address them by their bytes.
TEST_F(PrintUiDialogs, DialogsOfAQueueWhoseNameIsNotUtf8ChangeThatQueue) {
    const std::string name = "Caf\xe9";
    s_cups->AddQueue(name, "Corner");
    auto properties = OpenProperties(name, dialogs);
    ASSERT_TRUE(properties);
    Type(*properties, "location", QStringLiteral("Kitchen"));
    Press(*properties, QDialogButtonBox::Ok);
    EXPECT_EQ(properties->result(), QDialog::Accepted) << properties->findChild<QLabel*>("error")->text().toStdString();
    EXPECT_TRUE(Contains(s_cups->Run("lpstat -l -p " + test::ShellQuote(name)), "Location: Kitchen"));

    auto preferences = OpenPreferences(name);
    ASSERT_TRUE(preferences);
    auto* copies = preferences->findChild<QSpinBox*>("copies");
    ASSERT_NE(copies, nullptr);
    copies->setValue(3);
    Press(*preferences, QDialogButtonBox::Ok);
    EXPECT_TRUE(Contains(Cups("lpoptions -p " + test::ShellQuote(name)), "copies=3"));
}

TEST_F(PrintUiDialogs, WebPagesOpenedAreTheServersPrinterPages) {
    s_cups->AddQueue("Desk", "Desk printer");
    const std::string bin = s_home + "/bin";
    fs::create_directories(bin);
    std::ofstream(bin + "/xdg-open") << "#!/bin/sh\necho \"$1\" >> " << s_home << "/opened\n";
    ::chmod((bin + "/xdg-open").c_str(), 0755);
    fs::remove(s_home + "/opened");
    const std::string env =
        "PATH=" + test::ShellQuote(bin) + ":$PATH CUPS_SERVER=127.0.0.1:" + std::to_string(s_cups->port()) + " ";
    for (const char* parameters :
         {"printui.dll,PrintUIEntry /Xg /n \"Desk\"", "SHELL32.DLL,SHHelpShortcuts_RunDLL PrintersFolder"})
        s_cups->Run(env + QUILL_PRINTUI + " " + test::ShellQuote(parameters) + " 5");

    std::ifstream opened(s_home + "/opened");
    std::string printerPage, printersPage;
    std::getline(opened, printerPage);
    std::getline(opened, printersPage);
    ASSERT_FALSE(printersPage.empty());
    const std::string printer = s_cups->Run("curl -sS " + test::ShellQuote(printerPage));
    EXPECT_TRUE(Contains(printer, "<title>Desk - CUPS")) << printerPage;
    EXPECT_TRUE(Contains(printer, "Desk printer")) << printerPage;
    const std::string printers = s_cups->Run("curl -sS " + test::ShellQuote(printersPage));
    EXPECT_TRUE(Contains(printers, "<title>Printers - CUPS")) << printersPage;
    EXPECT_TRUE(Contains(printers, "Desk printer")) << printersPage;

    // Hidden, nothing is opened, and neither dialog appears.
    fs::remove(s_home + "/opened");
    for (const char* parameters :
         {"printui.dll,PrintUIEntry /Xg /n \"Desk\"", "printui.dll,PrintUIEntry /p /n \"Desk\"",
          "printui.dll,PrintUIEntry /e /n \"Desk\""})
        s_cups->Run(env + "QT_QPA_PLATFORM=none " + QUILL_PRINTUI + " " + test::ShellQuote(parameters) + " 0");
    EXPECT_FALSE(fs::exists(s_home + "/opened"));
}
