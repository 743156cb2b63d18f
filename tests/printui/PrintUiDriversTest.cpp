// The Properties dialog's device search, driver change, test page and defaults for everyone
// against a private cupsd and a real IPP Everywhere printer (ippeveprinter) on loopback.
#include "DefaultsTab.h"
#include "DeviceList.h"
#include "DriverDialog.h"
#include "PrintUi.h"
#include "PrinterProperties.h"
#include "PropertiesDialog.h"
#include "Supplies.h"

#include "CupsSandbox.h"
#include "FreePort.h"
#include "PrintUiTestSupport.h"
#include "FakeDialogs.h"
#include "StoppedServer.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quill;
namespace fs = std::filesystem;

namespace {

using test::Contains;
using test::ReadFile;

constexpr const char* kPpd = test::kGenericPdfPpd;

bool Answers(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool answered = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return answered;
}

// CUPS' reference IPP Everywhere printer on loopback only, without advertising itself,
// spooling into a folder of its own and keeping the documents it receives. It needs a
// system bus to start (the sandbox's, where no DNS-SD daemon answers).
class IppEverywherePrinter {
public:
    explicit IppEverywherePrinter(const std::string& spool) : m_spool(spool), m_port(test::FreeLoopbackPort()) {
        fs::create_directories(spool);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::setpgid(0, 0);
            const std::string log = spool + "/../ippeveprinter.log";
            std::freopen(log.c_str(), "w", stdout);
            std::freopen(log.c_str(), "a", stderr);
            const std::string port = std::to_string(m_port);
            // In /usr/sbin, which a normal user's PATH leaves out.
            const char* program =
                ::access("/usr/sbin/ippeveprinter", X_OK) == 0 ? "/usr/sbin/ippeveprinter" : "ippeveprinter";
            ::execlp(program, "ippeveprinter", "-n", "localhost", "-p", port.c_str(), "-r", "off", "-d", spool.c_str(),
                     "-k", "-f", "application/pdf,image/pwg-raster,image/urf", "Quill Test Printer",
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 100 && !Answers(m_port); ++i) QTest::qWait(50);
    }
    ~IppEverywherePrinter() {
        if (m_pid <= 0) return;
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
    bool running() const { return m_pid > 0 && Answers(m_port); }
    int pid() const { return m_pid; }
    std::string uri() const { return "ipp://localhost:" + std::to_string(m_port) + "/ipp/print"; }
    // The names of the documents it has received.
    std::vector<std::string> Documents() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(m_spool))
            if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
        return names;
    }

private:
    std::string m_spool;
    int m_port;
    pid_t m_pid = -1;
};

class PrintUiDrivers : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!test::CupsSandbox::Possible()) return;
        char pattern[] = "/tmp/quill-printui-drivers-XXXXXX";
        s_home = ::mkdtemp(pattern);
        ::setenv("HOME", s_home.c_str(), 1);
        ::setenv("CUPS_SERVERROOT", s_home.c_str(), 1);
        s_cups = std::make_unique<test::CupsSandbox>();
    }
    static void TearDownTestSuite() {
        s_cups.reset();
        if (!s_home.empty()) fs::remove_all(s_home);
    }
    void SetUp() override {
        QUILL_SKIP_WITHOUT_CUPSD(s_cups);
        s_cups->DeleteAllQueues();
        fs::remove(LpoptionsFile());
        for (const char* backend : {"quillprobe", "quillslow"}) fs::remove(s_cups->dir() + "/lib/backend/" + backend);
    }
    static std::string LpoptionsFile() { return s_home + "/.cups/lpoptions"; }
    // lpoptions as a user without options of their own: what the server keeps for everyone.
    static std::string ServerOptions(const std::string& queue) {
        const std::string nobody = s_home + "/no-user-options";
        fs::create_directories(nobody);
        return s_cups->Run("HOME=" + test::ShellQuote(nobody) + " CUPS_SERVERROOT=" + test::ShellQuote(nobody) +
                           " lpoptions -p " + queue);
    }
    std::unique_ptr<printui::PropertiesDialog> Open(const std::string& name) {
        auto dialog = test::OpenProperties(name, dialogs);
        if (dialog) dialog->show();
        return dialog;
    }
    static void Press(QDialog& dialog, QDialogButtonBox::StandardButton which) {
        QPushButton* button = dialog.findChild<QDialogButtonBox*>()->button(which);
        ASSERT_NE(button, nullptr);
        QTest::mouseClick(button, Qt::LeftButton);
    }
    static void Click(QWidget& dialog, const char* name) {
        auto* button = dialog.findChild<QPushButton*>(name);
        ASSERT_NE(button, nullptr) << name;
        QTest::mouseClick(button, Qt::LeftButton);
    }
    static std::string Error(QDialog& dialog) { return dialog.findChild<QLabel*>("error")->text().toStdString(); }
    // Shows the Defaults for everyone tab and waits until it has read the server's defaults.
    static printui::DefaultsTab* ShowDefaults(QDialog& dialog) {
        auto* tab = dynamic_cast<printui::DefaultsTab*>(dialog.findChild<QWidget*>("defaultsTab"));
        dialog.findChild<QTabWidget*>("tabs")->setCurrentWidget(tab);
        EXPECT_TRUE(QTest::qWaitFor([tab] { return tab->loaded(); }, 10000));
        return tab;
    }
    static printui::DeviceList* Devices(QDialog& dialog) {
        auto* list = dynamic_cast<printui::DeviceList*>(dialog.findChild<QWidget*>("deviceList"));
        // The SNMP backend would look for printers on the computer's networks.
        list->ExcludeSchemes({"snmp"});
        return list;
    }
    // A backend of the sandbox's that reports one device, after `seconds`.
    static void AddProbeBackend(const std::string& scheme, int seconds) {
        const std::string path = s_cups->dir() + "/lib/backend/" + scheme;
        std::ofstream(path) << "#!/bin/sh\n[ $# -eq 0 ] || exit 0\nsleep " << seconds << "\necho 'direct " << scheme
                            << ":/here \"Unknown\" \"Quill probe " << scheme << "\"'\n";
        ::chmod(path.c_str(), 0755);
    }

    static inline std::unique_ptr<test::CupsSandbox> s_cups;
    static inline std::string s_home;
    test::FakeDialogs dialogs;
};

} // namespace

// --- the driverless driver and the test page, on a real IPP Everywhere printer ---

TEST_F(PrintUiDrivers, IppEverywherePrinterGetsTheDriverlessDriverAndPrintsTheTestPageThroughTheDialog) {
    IppEverywherePrinter printer(s_home + "/ippeve/spool");
    ASSERT_TRUE(printer.running()) << ReadFile(s_home + "/ippeve/ippeveprinter.log");
    // It listens on loopback only.
    const std::string sockets = s_cups->Run("ss -ltnpH");
    int listening = 0;
    std::istringstream lines(sockets);
    for (std::string line; std::getline(lines, line);) {
        if (!Contains(line, "pid=" + std::to_string(printer.pid()) + ",")) continue;
        ++listening;
        EXPECT_TRUE(Contains(line, " 127.0.0.1:") || Contains(line, " [::1]:")) << line;
    }
    EXPECT_GT(listening, 0) << sockets;

    s_cups->AddQueue("Eve", "Front office", printer.uri());
    auto dialog = Open("Eve");
    ASSERT_TRUE(dialog);
    Click(*dialog, "changeDriver");
    auto* change = dialog->findChild<printui::DriverDialog*>("driverDialog");
    ASSERT_NE(change, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([change] { return change->loaded(); }, 15000));
    auto* view = change->findChild<QListView*>("drivers");
    const QModelIndexList everywhere = view->model()->match(view->model()->index(0, 0), Qt::DisplayRole,
                                                            QStringLiteral("IPP Everywhere"), 1, Qt::MatchStartsWith);
    ASSERT_EQ(everywhere.size(), 1) << change->findChild<QLabel*>("driverStatus")->text().toStdString();
    view->setCurrentIndex(everywhere.front());
    Press(*change, QDialogButtonBox::Ok);
    EXPECT_TRUE(dialog->findChild<QLabel*>("driver")->text().startsWith(QStringLiteral("IPP Everywhere")));

    Press(*dialog, QDialogButtonBox::Apply);
    ASSERT_TRUE(dialog->findChild<QLabel*>("error")->isHidden()) << Error(*dialog);
    // cupsd asks the printer, writes the queue's PPD from its answer and then takes the
    // PPD's make and model (and its formats) as the queue's.
    const std::string ppd = s_cups->dir() + "/etc/ppd/Eve.ppd";
    ASSERT_TRUE(QTest::qWaitFor([&] { return Contains(s_cups->Run("lpoptions -p Eve"), "IPP Everywhere"); }, 20000))
        << s_cups->Run("tail -5 " + s_cups->dir() + "/log/error_log");
    EXPECT_TRUE(Contains(ReadFile(ppd), "IPP Everywhere"));

    Click(*dialog, "printTestPage");
    auto* result = dialog->findChild<QLabel*>("testPageResult");
    ASSERT_TRUE(QTest::qWaitFor(
        [result] { return result->text().startsWith(QStringLiteral("Test page sent as job ")); }, 10000))
        << result->text().toStdString();
    const std::string job = result->text().mid(22).chopped(1).toStdString();
    EXPECT_GT(std::stoi(job), 0);
    // The job reaches the printer as a document named after the job.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            for (const std::string& name : printer.Documents())
                if (Contains(name, "test_page")) return true;
            return false;
        },
        30000))
        << s_cups->Run("lpstat -W all -o Eve; tail -5 " + s_cups->dir() + "/log/error_log");
    // The backend ends the job once the printer says it is done, which a loaded computer
    // may take a while to get to.
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return Contains(s_cups->Run("lpstat -W completed -o Eve"), "Eve-" + job); }, 90000))
        << s_cups->Run("lpstat -l -W all -o Eve; tail -20 " + s_cups->dir() + "/log/error_log");
}

// The server does not pass on a driverless queue's supplies: the dialog asks the printer
// when the Supplies tab is first shown, not before.
TEST_F(PrintUiDrivers, SuppliesOfADriverlessQueueAreAskedOfItsPrinter) {
    IppEverywherePrinter printer(s_home + "/ippeve-supplies/spool");
    ASSERT_TRUE(printer.running()) << ReadFile(s_home + "/ippeve-supplies/ippeveprinter.log");
    s_cups->AddQueue("Eve", "Front office", printer.uri());
    auto dialog = Open("Eve");
    ASSERT_TRUE(dialog);
    QTest::qWait(300);
    ASSERT_EQ(dialog->findChild<QProgressBar*>("supply"), nullptr);
    dialog->findChild<QTabWidget*>("tabs")->setCurrentWidget(dialog->findChild<QWidget*>("supplies"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog->findChildren<QProgressBar*>("supply").size() == 2; }, 10000));
    const auto bars = dialog->findChildren<QProgressBar*>("supply");
    // What the printer starts with: its waste tank a quarter full, its toner at three quarters.
    EXPECT_EQ(bars[0]->accessibleName().toStdString(), "Toner Waste Tank: 25%");
    EXPECT_EQ(bars[1]->accessibleName().toStdString(), "Black Toner: 75%");
    EXPECT_EQ(bars[1]->value(), 75);
    EXPECT_EQ(bars[1]->palette().color(QPalette::Highlight), QColor(0, 0, 0));
    EXPECT_EQ(dialog->findChild<QLabel*>("suppliesNotReported"), nullptr);
}

TEST(SuppliesOfThePrinter, ValuesAreReadAsMarkersAndMalformedOnesDoNotBreakTheList) {
    const struct {
        const char* supply;
        const char* description;
        const char* name;
        int level;
        const char* color;
        const char* type;
    } rows[] = {
        {"index=1;class=supplyThatIsConsumed;type=toner;unit=percent;maxcapacity=100;level=40;colorantname=cyan;",
         "Cyan Toner", "Cyan Toner", 40, "#00FFFF", "toner"},
        {"type=wasteToner;unit=sheets;maxcapacity=200;level=50;colorantname=unknown;", "Waste", "Waste", 25, "none",
         "waste-toner"},
        {"type=inkCartridge;unit=percent;level=-3;colorantname=light-magenta", "", "ink-cartridge", -1, "#FF80FF",
         "ink-cartridge"},
        {"type=toner;unit=percent;maxcapacity=0;level=70;colorantname=Black", "K", "K", 70, "#000000", "toner"},
        {"type=toner;unit=sheets;level=700", "Sheets", "Sheets", -1, "none", "toner"},
        {"level=99999999999999999999999;maxcapacity=100", "Huge", "Huge", -1, "none", ""},
        {"level=9000000000000000000;maxcapacity=3", "Full", "Full", 100, "none", ""},
        {"level=12abc;unit=percent;maxcapacity=x", "Junk", "Junk", -1, "none", ""},
        {"garbage;=;==;;level", "Odd", "Odd", -1, "none", ""},
        {"", "Empty", "Empty", -1, "none", ""},
    };
    std::vector<std::string> supplies, descriptions;
    for (const auto& row : rows) {
        supplies.emplace_back(row.supply);
        descriptions.emplace_back(row.description);
    }
    descriptions.pop_back(); // fewer descriptions than supplies
    const auto markers = printui::MarkersFromSupplies(supplies, descriptions);
    ASSERT_EQ(markers.size(), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].supply);
        EXPECT_EQ(markers[i].name, i + 1 == std::size(rows) ? "" : rows[i].name);
        EXPECT_EQ(markers[i].level, rows[i].level);
        EXPECT_EQ(markers[i].color, rows[i].color);
        EXPECT_EQ(markers[i].type, rows[i].type);
    }
}

TEST_F(PrintUiDrivers, TestPageThatCupsRefusesSaysWhy) {
    s_cups->AddQueue("Desk");
    s_cups->Run("cupsreject -r 'Moving' Desk");
    auto dialog = Open("Desk");
    ASSERT_TRUE(dialog);
    Click(*dialog, "printTestPage");
    auto* result = dialog->findChild<QLabel*>("testPageResult");
    ASSERT_TRUE(QTest::qWaitFor([result] { return !result->text().startsWith(QStringLiteral("Sending")); }, 10000));
    EXPECT_TRUE(result->text().startsWith(QStringLiteral("The test page was not printed: ")))
        << result->text().toStdString();
    EXPECT_TRUE(result->text().contains(QStringLiteral("not accepting jobs"))) << result->text().toStdString();
}

// A server that stops answering is said to be so (libcups' own calls report it as
// "Success"), and the defaults, which could not be read then, are read when the tab is
// shown again once it answers; a message that wraps grows the window rather than
// squeezing the rows above it.
TEST_F(PrintUiDrivers, AServerThatStopsAnsweringIsSaidSoAndItsDefaultsAreReadOnceItAnswers) {
    s_cups->Run("lpadmin -p Laser -P " + std::string(kPpd) + " -v discard:/ -E");
    auto dialog = Open("Laser");
    ASSERT_TRUE(dialog);
    auto* tabs = dialog->findChild<QTabWidget*>("tabs");
    auto* result = dialog->findChild<QLabel*>("testPageResult");
    auto* status = dialog->findChild<QLabel*>("defaultsStatus");
    {
        test::StoppedServer stopped(*s_cups);
        Click(*dialog, "printTestPage");
        ASSERT_TRUE(QTest::qWaitFor([result] { return !result->text().startsWith(QStringLiteral("Sending")); }, 15000));
        EXPECT_EQ(result->text(),
                  QStringLiteral("The test page was not printed: The print server did not answer in time."));
        ShowDefaults(*dialog);
        EXPECT_TRUE(status->text().contains(QStringLiteral("did not answer in time"))) << status->text().toStdString();
        EXPECT_EQ(dialog->findChild<QComboBox*>("Resolution"), nullptr);
    }
    tabs->setCurrentIndex(0);
    ShowDefaults(*dialog);
    EXPECT_NE(dialog->findChild<QComboBox*>("Resolution"), nullptr) << status->text().toStdString();

    tabs->setCurrentIndex(0);
    auto* device = dialog->findChild<QLineEdit*>("device");
    device->setText(QStringLiteral("file:/etc/shadow"));
    device->setModified(true);
    Press(*dialog, QDialogButtonBox::Apply);
    EXPECT_TRUE(Contains(Error(*dialog), "FileDevice")) << Error(*dialog);
    QTest::qWait(50);
    for (auto* row : dialog->findChildren<QWidget*>()) {
        if (row->isVisible() && (qobject_cast<QLineEdit*>(row) || qobject_cast<QPushButton*>(row))) {
            EXPECT_GE(row->height(), row->minimumSizeHint().height()) << row->objectName().toStdString();
        }
    }
}

// --- the server's drivers ---

TEST_F(PrintUiDrivers, DriverChosenFromTheServersListIsTheQueuesDriverAfterOk) {
    s_cups->AddQueue("Desk");
    auto dialog = Open("Desk");
    ASSERT_TRUE(dialog);
    Click(*dialog, "changeDriver");
    auto* change = dialog->findChild<printui::DriverDialog*>("driverDialog");
    ASSERT_NE(change, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([change] { return change->loaded(); }, 15000));
    auto* view = change->findChild<QListView*>("drivers");
    const int all = view->model()->rowCount();
    EXPECT_GT(all, 1) << change->findChild<QLabel*>("driverStatus")->text().toStdString();
    // A device that is not an IPP printer is offered no driverless driver.
    EXPECT_TRUE(view->model()
                    ->match(view->model()->index(0, 0), Qt::DisplayRole, QStringLiteral("IPP Everywhere"), 1,
                            Qt::MatchStartsWith)
                    .isEmpty());
    // The make narrows the list, then the words.
    auto* make = change->findChild<QComboBox*>("make");
    make->setCurrentIndex(make->findData(QStringLiteral("Generic")));
    const int generic = view->model()->rowCount();
    EXPECT_GT(generic, 0);
    EXPECT_LT(generic, all);
    QTest::keyClicks(change->findChild<QLineEdit*>("filter"), QStringLiteral("pdf printer"));
    ASSERT_GE(view->model()->rowCount(), 1);
    for (int row = 0; row < view->model()->rowCount(); ++row)
        EXPECT_TRUE(view->model()->index(row, 0).data().toString().contains(QStringLiteral("PDF Printer"),
                                                                            Qt::CaseInsensitive));
    const QModelIndexList pdf = view->model()->match(view->model()->index(0, 0), Qt::DisplayRole,
                                                     QStringLiteral("Generic PDF Printer"), 1, Qt::MatchExactly);
    ASSERT_EQ(pdf.size(), 1);
    view->setCurrentIndex(pdf.front());
    Press(*change, QDialogButtonBox::Ok);
    // Not applied until OK.
    EXPECT_FALSE(fs::exists(s_cups->dir() + "/etc/ppd/Desk.ppd"));
    Press(*dialog, QDialogButtonBox::Ok);
    EXPECT_EQ(dialog->result(), QDialog::Accepted) << Error(*dialog);
    EXPECT_TRUE(Contains(ReadFile(s_cups->dir() + "/etc/ppd/Desk.ppd"), "Generic PDF Printer"));
}

// --- defaults for everyone ---

TEST_F(PrintUiDrivers, DefaultsForEveryoneReachTheServerAndLeaveTheUsersOwnChoices) {
    s_cups->Run("lpadmin -p Laser -P " + std::string(kPpd) + " -v discard:/ -E");
    s_cups->AddQueue("Desk");
    s_cups->Run("HOME=" + test::ShellQuote(s_home) + " CUPS_SERVERROOT=" + test::ShellQuote(s_home) +
                " lpoptions -p Laser -o Resolution=150dpi");
    const std::string userOptions = ReadFile(LpoptionsFile());
    ASSERT_FALSE(userOptions.empty());
    const std::string ppd = s_cups->dir() + "/etc/ppd/Laser.ppd";

    // Cancel sends nothing.
    {
        auto dialog = Open("Laser");
        ASSERT_TRUE(dialog);
        ShowDefaults(*dialog);
        auto* resolution = dialog->findChild<QComboBox*>("Resolution");
        ASSERT_NE(resolution, nullptr);
        // The server's default, not the user's.
        EXPECT_EQ(resolution->currentData().toByteArray(), "600dpi");
        resolution->setCurrentIndex(resolution->findData(QByteArray("300dpi")));
        Press(*dialog, QDialogButtonBox::Cancel);
        EXPECT_TRUE(Contains(ReadFile(ppd), "*DefaultResolution: 600dpi"));
    }

    struct Case {
        const char* queue;
        const char* option;
        const char* value;
        const char* inLpoptions; // what lpoptions shows for everyone afterwards
        const char* inPpd;       // the PPD's Default line, for a PPD queue
    };
    const Case cases[] = {
        {"Laser", "Resolution", "300dpi", "", "*DefaultResolution: 300dpi"},
        {"Laser", "sides", "two-sided-long-edge", "sides=two-sided-long-edge", "*DefaultDuplex: DuplexNoTumble"},
        {"Laser", "media", "A4", "", "*DefaultPageSize: A4"},
        {"Desk", "copies", "3", "copies=3", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.queue) + " " + c.option);
        auto dialog = Open(c.queue);
        ASSERT_TRUE(dialog);
        ShowDefaults(*dialog);
        QWidget* control = dialog->findChild<QWidget*>(c.option);
        ASSERT_NE(control, nullptr);
        if (auto* spin = qobject_cast<QSpinBox*>(control)) {
            spin->setValue(std::atoi(c.value));
        } else {
            auto* combo = static_cast<QComboBox*>(control);
            const int index = combo->findData(QByteArray(c.value));
            ASSERT_GE(index, 0);
            combo->setCurrentIndex(index);
        }
        Press(*dialog, QDialogButtonBox::Ok);
        ASSERT_EQ(dialog->result(), QDialog::Accepted) << Error(*dialog);
        if (*c.inPpd) {
            EXPECT_TRUE(Contains(ReadFile(ppd), c.inPpd)) << c.inPpd;
        }
        if (*c.inLpoptions) {
            EXPECT_TRUE(Contains(ServerOptions(c.queue), c.inLpoptions)) << ServerOptions(c.queue);
        }

        // Opened again, the tab shows the new default.
        auto again = Open(c.queue);
        ShowDefaults(*again);
        auto* shown = again->findChild<QWidget*>(c.option);
        ASSERT_NE(shown, nullptr);
        if (auto* spin = qobject_cast<QSpinBox*>(shown)) EXPECT_EQ(spin->value(), std::atoi(c.value));
        else EXPECT_EQ(static_cast<QComboBox*>(shown)->currentData().toByteArray().toStdString(), c.value);
    }
    EXPECT_EQ(ReadFile(LpoptionsFile()), userOptions);
}

// A driver with many options grows the window no further than the screen, even from the
// bottom of it; a default the driver does not list is shown as set, and choosing a listed
// one sets that.
TEST_F(PrintUiDrivers, ManyDefaultsStayOnTheScreenAndADefaultTheDriverDoesNotListIsShownAsSet) {
    std::string text = ReadFile(kPpd);
    for (int n = 1; n <= 60; ++n) {
        const std::string name = "Extra" + std::to_string(n);
        text += "*OpenUI *" + name + "/Extra option " + std::to_string(n) + ": PickOne\n*Default" + name + ": " +
                (n == 1 ? "Unlisted" : "One") + "\n*" + name + " One/One: \"\"\n*" + name +
                " Two/Two: \"\"\n*CloseUI: *" + name + "\n";
    }
    const std::string many = s_home + "/many.ppd";
    std::ofstream(many) << text;
    s_cups->Run("lpadmin -p Laser -P " + many + " -v discard:/ -E");
    auto dialog = Open("Laser");
    ASSERT_TRUE(dialog);
    const QRect area = dialog->screen()->availableGeometry();
    dialog->move(dialog->x(), area.bottom() - dialog->frameGeometry().height());
    ShowDefaults(*dialog);
    EXPECT_LE(dialog->frameGeometry().bottom(), area.bottom());
    EXPECT_GE(dialog->frameGeometry().top(), area.top());
    auto* extra = dialog->findChild<QComboBox*>("Extra1");
    ASSERT_NE(extra, nullptr);
    EXPECT_EQ(extra->currentText(), QStringLiteral("Unlisted"));
    extra->setCurrentIndex(extra->findData(QByteArray("One")));
    Press(*dialog, QDialogButtonBox::Ok);
    EXPECT_EQ(dialog->result(), QDialog::Accepted) << Error(*dialog);
    EXPECT_TRUE(Contains(ReadFile(s_cups->dir() + "/etc/ppd/Laser.ppd"), "*DefaultExtra1: One"));
}

TEST_F(PrintUiDrivers, DefaultsForEveryoneThatCupsRefusesAreNotApplied) {
    QUILL_SKIP_UNLESS_ROOT(test::kNeedsRootToBecomeAnotherUser);
    s_cups->Run("lpadmin -p Laser -P " + std::string(kPpd) + " -v discard:/ -E");
    const std::string ppd = s_cups->dir() + "/etc/ppd/Laser.ppd";
    const std::string before = ReadFile(ppd);
    auto dialog = Open("Laser");
    ASSERT_TRUE(dialog);
    ShowDefaults(*dialog);
    auto* resolution = dialog->findChild<QComboBox*>("Resolution");
    ASSERT_NE(resolution, nullptr);
    resolution->setCurrentIndex(resolution->findData(QByteArray("300dpi")));
    ASSERT_EQ(::setresgid(65534, 65534, 0), 0);
    ASSERT_EQ(::setresuid(65534, 65534, 0), 0);
    Press(*dialog, QDialogButtonBox::Ok);
    ASSERT_EQ(::setresuid(0, 0, 0), 0);
    ASSERT_EQ(::setresgid(0, 0, 0), 0);
    EXPECT_NE(dialog->result(), QDialog::Accepted);
    EXPECT_FALSE(Error(*dialog).empty());
    EXPECT_EQ(ReadFile(ppd), before);
}

// --- devices the server finds ---

TEST_F(PrintUiDrivers, DeviceSearchListsTheDevicesBackendsReportAndPicksOne) {
    AddProbeBackend("quillprobe", 0);
    s_cups->AddQueue("Desk");
    auto dialog = Open("Desk");
    ASSERT_TRUE(dialog);
    Devices(*dialog);
    Click(*dialog, "findDevices");
    auto* devices = dialog->findChild<QComboBox*>("devices");
    ASSERT_TRUE(QTest::qWaitFor([devices] { return devices->isVisible(); }, 15000))
        << dialog->findChild<QLabel*>("deviceSearch")->text().toStdString();
    const int probe = devices->findData(QByteArray("quillprobe:/here"));
    ASSERT_GE(probe, 0);
    EXPECT_TRUE(devices->itemText(probe).contains(QStringLiteral("Quill probe quillprobe")));
    // The server runs a backend that only root may run (0700) only when it runs as root.
    if (::access((s_cups->dir() + "/lib/backend/cups-pdf").c_str(), X_OK) == 0) {
        EXPECT_GE(devices->findData(QByteArray("cups-pdf:/")), 0);
    }

    devices->setCurrentIndex(probe);
    Q_EMIT devices->activated(probe);
    EXPECT_EQ(dialog->findChild<QLineEdit*>("device")->text(), QStringLiteral("quillprobe:/here"));
    Press(*dialog, QDialogButtonBox::Ok);
    EXPECT_EQ(dialog->result(), QDialog::Accepted) << Error(*dialog);
    EXPECT_TRUE(Contains(s_cups->Run("lpstat -v Desk"), "quillprobe:/here"));
}

// A backend that takes long keeps the server's answer waiting; closing the dialog gives
// the request up instead of waiting for it.
TEST_F(PrintUiDrivers, ClosingTheDialogGivesUpTheDeviceSearch) {
    AddProbeBackend("quillslow", 20);
    s_cups->AddQueue("Desk");
    auto dialog = Open("Desk");
    ASSERT_TRUE(dialog);
    printui::DeviceList* list = Devices(*dialog);
    Click(*dialog, "findDevices");
    QTest::qWait(500); // the request is with the server, which waits for the slow backend
    ASSERT_EQ(list->LastEnding(), printui::DeviceList::Ending::NotYet);
    const auto closing = std::chrono::steady_clock::now();
    Press(*dialog, QDialogButtonBox::Cancel);
    const auto closed = std::chrono::steady_clock::now() - closing;
    EXPECT_EQ(list->LastEnding(), printui::DeviceList::Ending::GivenUp);
    EXPECT_FALSE(dialog->findChild<QComboBox*>("devices")->isVisible());
    RecordProperty("close_ms", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(closed).count()));
}

// --- state and connections ---

TEST_F(PrintUiDrivers, GeneralTabShowsTheStateMessageAndReasons) {
    s_cups->AddQueue("Desk");
    auto dialog = Open("Desk");
    ASSERT_TRUE(dialog);
    EXPECT_EQ(dialog->findChild<QLabel*>("stateReasons")->text(), QStringLiteral("None"));
    s_cups->Run("cupsdisable -r 'Out for repair' Desk");
    dialog = Open("Desk");
    ASSERT_TRUE(dialog);
    EXPECT_EQ(dialog->findChild<QLabel*>("stateReasons")->text(), QStringLiteral("paused"));
    bool message = false;
    for (QLabel* label : dialog->findChildren<QLabel*>())
        message = message || label->text().contains(QStringLiteral("(Out for repair)"));
    EXPECT_TRUE(message);
}

TEST_F(PrintUiDrivers, ConnectionsOfferNoDeviceSearchDriverChangeOrDefaultsToChange) {
    s_cups->AddQueue("Remote", "Remote printer", "ipp://192.0.2.1/printers/Far");
    auto dialog = Open("Remote");
    ASSERT_TRUE(dialog);
    EXPECT_FALSE(dialog->findChild<QPushButton*>("changeDriver")->isEnabled());
    EXPECT_FALSE(dialog->findChild<QWidget*>("deviceList")->isVisible());
    ShowDefaults(*dialog);
    auto* copies = dialog->findChild<QSpinBox*>("copies");
    ASSERT_NE(copies, nullptr);
    EXPECT_FALSE(copies->isEnabled());
}
