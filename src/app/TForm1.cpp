#include "app/TForm1.h"

#include "admin/ManagedPrinter.h"
#include "admin/PrinterCommands.h"
#include "platform/HelperParameters.h"
#include "platform/PathExists.h"
#include "spooler/LastError.h"
#include "spooler/PrinterName.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QEvent>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QListWidget>
#include <QResizeEvent>
#include <QScreen>
#include <QSocketNotifier>
#include <QTimer>

#include <ctime>
#include <utility>
#include <unistd.h>

namespace quill::app {
namespace {

constexpr const char* kNotice = "\xC2\xA9 2007-2013 QUILL Software";

QFont MsSansSerif(bool bold) {
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPixelSize(11);
    font.setBold(bold);
    return font;
}

void SetBackground(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, colour);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

// The folder of the running program (no trailing slash).
std::string RunningProgramFolder() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    const std::string exe(path, static_cast<std::size_t>(n));
    return exe.substr(0, exe.find_last_of('/'));
}

// The example path that "Share In" offers, and its prompt and that of "Share Out", whose
// lines are joined by carriage returns.
constexpr const char* kShareInExample = "\\\\192.168.1.10\\QUILL";
const std::string kShareOutPrompt =
    std::string("Share ") + admin::kManagedPrinter + " for other computers.\r\rPrinter Share Name:\r(eg. QUILL)";
const std::string kShareInPrompt = std::string("Install a network shared ") + admin::kManagedPrinter +
                                   " onto this computer.\rInput server name or IP address\r\\\rPrinter share "
                                   "name:\r(eg. " +
                                   kShareInExample + " or \\\\SERVER\\QUILL)";

constexpr const char* kServerDoesNotShare =
    "Printer sharing is turned off in the settings of this computer's print server, so other computers may not "
    "reach its printers. An administrator turns it on with: cupsctl --share-printers";

// Where the settings dialogs start: the program's folder, as long as the user may write
// there (once installed it is /usr/bin); else the user's documents folder, else home.
std::string SettingsFolder(const std::string& programFolder) {
    if (::access(programFolder.c_str(), W_OK) == 0) return programFolder;
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!documents.isEmpty() && QFileInfo(documents).isDir()) return QFile::encodeName(documents).toStdString();
    return QFile::encodeName(QDir::homePath()).toStdString();
}

int LocalYear() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local.tm_year + 1900;
}

} // namespace

std::string FooterText(const std::string& text, int year) {
    if (year <= 2013) return text;
    const std::string from = "2013", to = std::to_string(year);
    std::string result;
    std::size_t start = 0;
    for (std::size_t at; (at = text.find(from, start)) != std::string::npos; start = at + from.size())
        result += text.substr(start, at - start) + to;
    return result + text.substr(start);
}

bool IsManagedPrinterEntry(const std::string& name) {
    std::string upper;
    for (unsigned char c : name) upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return upper.find("QUILL") != std::string::npos;
}

TForm1::TForm1(spooler::Spooler& spooler, Dialogs& dialogs, platform::Launcher& launcher, YearSource currentYear,
               QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      m_spooler(spooler), m_dialogs(dialogs), m_launcher(launcher),
      m_currentYear(currentYear ? std::move(currentYear) : LocalYear) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QString::fromUtf8(kApplicationTitle));
    setFixedSize(m_size);
    SetBackground(this, Qt::white);
    setFont(MsSansSerif(false));

    ListBox1 = new QListWidget(this);
    ListBox1->setObjectName(QStringLiteral("ListBox1"));
    ListBox1->setGeometry(185, 3, 235, 374);
    ListBox1->setSelectionMode(QAbstractItemView::SingleSelection);
    ListBox1->setUniformItemSizes(true);

    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(7, 3, 174, 522);
    SetBackground(Panel1, QColor(232, 227, 231));
    Panel1->setMouseTracking(true);
    Panel1->installEventFilter(this);

    GroupBox1 = new QGroupBox(QStringLiteral("Global Settings"), this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setGeometry(185, 383, 235, 142);
    GroupBox1->setMouseTracking(true);
    GroupBox1->installEventFilter(this);

    Label1 = new QLabel(QString::fromUtf8(kNotice), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(96, 531, 224, 13);
    Label1->setFont(MsSansSerif(true));
    Label1->setAttribute(Qt::WA_TranslucentBackground);

    BitBtn10 = MakeButton(Panel1, "BitBtn10", "Monitor Printer", 11, 5);
    BitBtn20 = MakeButton(Panel1, "BitBtn20", "Set As Default", 11, 57);
    SpeedButton1 = MakeButton(Panel1, "SpeedButton1", "Show Printer", 11, 109);
    SpeedButton2 = MakeButton(Panel1, "SpeedButton2", "Properties", 11, 161);
    BitBtn30 = MakeButton(Panel1, "BitBtn30", "Preferences", 11, 213);
    SpeedButton3 = MakeButton(Panel1, "SpeedButton3", "Enable Printer", 11, 266);
    SpeedButton4 = MakeButton(Panel1, "SpeedButton4", "Disable Printer", 11, 318);
    SpeedButton5 = MakeButton(Panel1, "SpeedButton5", "Printer Info", 11, 370);
    SpeedButton6 = MakeButton(Panel1, "SpeedButton6", "Share In", 11, 422);
    SpeedButton7 = MakeButton(Panel1, "SpeedButton7", "Share Out", 11, 475);
    SaveSettingsButton = MakeButton(GroupBox1, "SaveSettingsButton", "Save Settings", 43, 28);
    RestoreSettingsButton = MakeButton(GroupBox1, "RestoreSettingsButton", "Restore Settings", 43, 84);

    // Tab goes from the list through the buttons as they stand, the panel's top to bottom,
    // then the settings buttons.
    QWidget* previous = ListBox1;
    for (QWidget* button : Buttons()) {
        setTabOrder(previous, button);
        previous = button;
    }

    OpenDialog1.Title = "Open";
    OpenDialog1.DefaultExt = "qpk";
    OpenDialog1.FileName = "*.qpk";
    OpenDialog1.Filter = "Printer Settings (*.qpk)|*.qpk";
    SaveDialog1.Title = "Save As";
    SaveDialog1.DefaultExt = "qpk";
    SaveDialog1.Filter = "Printer Settings (*.qpk)|*.qpk";
    SaveDialog1.OverwritePrompt = true;
    SaveDialog1.HideReadOnly = true;
    SaveDialog1.EnableSizing = true;

    BitBtn10->OnClick = [this](widgets::ColorButton*) { BitBtn10Click(); };
    BitBtn20->OnClick = [this](widgets::ColorButton*) { BitBtn20Click(); };
    SpeedButton1->OnClick = [this](widgets::ColorButton*) { SpeedButton1Click(); };
    SpeedButton2->OnClick = [this](widgets::ColorButton*) { SpeedButton2Click(); };
    BitBtn30->OnClick = [this](widgets::ColorButton*) { BitBtn30Click(); };
    SpeedButton5->OnClick = [this](widgets::ColorButton*) { GetPrinterInfo(); };
    SpeedButton3->OnClick = [this](widgets::ColorButton*) { SpeedButton3Click(); };
    SpeedButton4->OnClick = [this](widgets::ColorButton*) { SpeedButton4Click(); };
    SpeedButton6->OnClick = [this](widgets::ColorButton*) { SpeedButton6Click(); };
    SpeedButton7->OnClick = [this](widgets::ColorButton*) { SpeedButton7Click(); };
    SaveSettingsButton->OnClick = [this](widgets::ColorButton*) { SaveSettingsButtonClick(); };
    RestoreSettingsButton->OnClick = [this](widgets::ColorButton*) { RestoreSettingsButtonClick(); };
    Zipper1.OverwriteMode = zip::TUZOverwriteMode::Always;
    Zipper1.MultiZipInfo.BlockSize = 1457600;
    // The window stays responsive while an archive is written or read.
    Zipper1.ProcessMessages = [] { QCoreApplication::processEvents(); };
    ProgramFolder = RunningProgramFolder();

    FormCreate();
}

bool TForm1::RunForSelected(const char* option, int showCommand) {
    const auto printer = SelectedPrinter();
    if (!printer) {
        m_dialogs.ShowMessage("Please select a printer first.");
        return false;
    }
    admin::RunPrinterCommand(m_launcher, admin::PrintUiParameters(option, *printer), showCommand);
    return true;
}

TForm1::~TForm1() { delete MonitorWindow.data(); }

void TForm1::BitBtn10Click() {
    // A window in its closing pause has stopped its monitor already: a new one opens.
    if (MonitorWindow && !MonitorWindow->Closing()) {
        MonitorWindow->setWindowState(MonitorWindow->windowState() & ~Qt::WindowMinimized);
        MonitorWindow->raise();
        MonitorWindow->activateWindow();
        return;
    }
    std::shared_ptr<spooler::Spooler> spooler = MonitorSpooler;
    // Without one the window borrows this window's spooler: the window and its watcher
    // threads are gone before this window is (see the destructor).
    if (!spooler) spooler = std::shared_ptr<spooler::Spooler>(std::shared_ptr<void>(), &m_spooler);
    MonitorWindow = new monitor::MonitorDialog(std::move(spooler), &m_dialogs);
    MonitorWindow->setAttribute(Qt::WA_DeleteOnClose);
    MonitorWindow->show();
    MonitorWindow->Start();
}

void TForm1::BitBtn20Click() {
    const auto printer = SelectedPrinter();
    if (!printer) {
        m_dialogs.ShowMessage("Please select a printer first.");
        return;
    }
    const int ended = admin::RunPrinterCommandWatched(
        m_launcher, admin::PrintUiParameters(platform::helper::kSetDefault, *printer), platform::SW_HIDE);
    const std::string done = "Set Default Printer to " + *printer;
    // A helper whose end cannot be watched cannot say how it went: said at once.
    if (ended < 0) {
        m_dialogs.ShowMessage(done);
        return;
    }
    // The confirmation once the helper has set the default, else its reason.
    WatchHelper(ended, [this, done, printer = *printer](const std::string& said) {
        if (said == platform::helper::kDone) m_dialogs.ShowMessage(done);
        else
            m_dialogs.ShowMessage(printer + " could not be made the default printer: " +
                                  (said.empty() ? "the printer helper ended without saying why." : said));
    });
}

void TForm1::WatchHelper(int ended, std::function<void(const std::string& said)> then) {
    auto* watch = new QSocketNotifier(ended, QSocketNotifier::Read, this);
    auto said = std::make_shared<std::string>();
    connect(watch, &QObject::destroyed, [ended] { ::close(ended); });
    connect(watch, &QSocketNotifier::activated, this, [watch, ended, said, then = std::move(then)] {
        char buffer[512];
        const ssize_t n = ::read(ended, buffer, sizeof buffer);
        // What the helper says is one short line; more is not its.
        if (n > 0) {
            if (said->size() < 4096) said->append(buffer, static_cast<std::size_t>(n));
            return;
        }
        watch->setEnabled(false);
        watch->deleteLater();
        std::string line = *said;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        then(line);
    });
}

void TForm1::SpeedButton1Click() { admin::RunPrinterCommand(m_launcher, admin::kPrintersFolder, platform::SW_SHOW); }

void TForm1::SpeedButton2Click() { RunForSelected(platform::helper::kProperties, platform::SW_SHOW); }

void TForm1::BitBtn30Click() { RunForSelected(platform::helper::kPreferences, platform::SW_SHOW); }

void TForm1::GetPrinterInfo() {
    if (!RunForSelected(platform::helper::kPrinterSettings, platform::SW_SHOW)) return;
    admin::TMain window(m_spooler, m_dialogs, this);
    ShowJobWindow(window);
}

namespace {

// Why the spooler refused the calling thread's last request, as a sentence; a refusal
// for want of rights says who has them.
std::string FailureReason() {
    const std::string& text = spooler::GetLastErrorText();
    std::string reason = text.empty() ? "The print server gave no reason." : text;
    if (spooler::GetLastError() == spooler::ERROR_ACCESS_DENIED)
        reason += std::string(reason.ends_with('.') ? "" : ".") +
                  " Changing printers takes a print administrator: root, or a member of the print server's "
                  "administrators group (SystemGroup in /etc/cups/cups-files.conf; lpadmin on Debian).";
    return reason;
}

} // namespace

void TForm1::SpeedButton3Click() {
    // The spooler is asked on the worker; the message and the refresh follow its answer.
    enum Outcome { Present, NoCompanion, Installed, Kept, Failed };
    struct Result {
        Outcome outcome;
        std::string reason;
    };
    m_worker.Post(
        [&spooler = m_spooler, companion = ProgramFolder + "/" + admin::kCompanionProgram]() -> Result {
            if (admin::PrinterExists(spooler, admin::kManagedPrinter)) {
                // A printer marked for deletion is brought back, with its settings.
                spooler::SetLastError(spooler::ERROR_SUCCESS);
                const auto kept = admin::KeepPrinter(spooler, admin::kManagedPrinter);
                if (!kept) return {Present, ""};
                return *kept ? Result{Kept, ""} : Result{Failed, FailureReason()};
            }
            // The companion is only looked for, never started.
            if (!platform::PathExists(companion, 0)) return {NoCompanion, ""};
            spooler::SetLastError(spooler::ERROR_SUCCESS);
            if (admin::InstallManagedPrinter(spooler)) return {Installed, ""};
            return {Failed, FailureReason()};
        },
        [this](const Result& result) {
            // The confirmation only once the printer is there; a failure says why.
            if (result.outcome == Installed || result.outcome == Kept)
                m_dialogs.ShowMessage(std::string(admin::kManagedPrinter) + " has been enabled.");
            else if (result.outcome == Failed)
                m_dialogs.ShowMessage(std::string(admin::kManagedPrinter) + " could not be enabled: " + result.reason);
            RefreshPrinterList();
        });
}

void TForm1::SpeedButton4Click() {
    struct Result {
        admin::Removal removal;
        std::string reason;
    };
    m_worker.Post(
        [&spooler = m_spooler] {
            spooler::SetLastError(spooler::ERROR_SUCCESS);
            const admin::Removal removal = admin::RemovePrinter(spooler, admin::kManagedPrinter);
            return Result{removal, removal == admin::Removal::Failed ? FailureReason() : ""};
        },
        [this](const Result& result) {
            const std::string printer = admin::kManagedPrinter;
            // A printer with jobs goes once they have ended; none is lost.
            if (result.removal == admin::Removal::Pending) {
                m_removalPending = true;
                m_dialogs.ShowMessage(printer +
                                      " will be removed when its last job has ended. Until then it takes no new jobs.");
            } else if (result.removal == admin::Removal::Failed) {
                m_dialogs.ShowMessage(printer + " could not be disabled: " + result.reason);
            }
            RefreshPrinterList();
        });
}

void TForm1::SpeedButton7Click() {
    // Cancel (and Escape) share nothing.
    const auto answer = m_dialogs.InputBox("Share Out", kShareOutPrompt, admin::kDefaultShareName);
    if (!answer || answer->empty()) return;
    const std::string& share = *answer;
    // The managed printer, if the list has it (compared as queue names); else the
    // selected printer, if any.
    std::string target = admin::kManagedPrinter;
    bool listed = false;
    for (int i = 0; i < ListBox1->count() && !listed; ++i)
        listed = spooler::SameQueue(EntryName(i), admin::kManagedPrinter);
    if (!listed)
        if (const auto selected = SelectedPrinter()) target = *selected;
    struct Result {
        bool shared = false;
        std::string reason;
        std::optional<bool> serverShares; // nullopt: the server could not tell
    };
    m_worker.Post(
        [&spooler = m_spooler, target, share] {
            Result result;
            spooler::SetLastError(spooler::ERROR_SUCCESS);
            result.shared = admin::SharePrinter(spooler, target, share);
            if (!result.shared) result.reason = FailureReason();
            else result.serverShares = spooler.ServerSharesPrinters();
            return result;
        },
        [this, target, share](const Result& result) {
            if (!result.shared) {
                m_dialogs.ShowMessage(target + " could not be shared as " + share + ": " + result.reason);
                return;
            }
            m_dialogs.ShowMessage(std::string(admin::kManagedPrinter) + " is now set up as a network shared printer.");
            // A shared printer reaches nobody while the server keeps its printers to itself:
            // said plainly, not left to chance. When the server could not tell, nothing is
            // said about it (the reason is in the system log).
            if (result.serverShares == false) m_dialogs.ShowMessage(kServerDoesNotShare);
        });
}

void TForm1::SpeedButton6Click() {
    const std::string path = m_dialogs.InputBox("Share In", kShareInPrompt, kShareInExample).value_or(kShareInExample);
    // Cancel and an unchanged OK do nothing.
    if (path.empty() || path == kShareInExample) return;
    // The helper tells the user how it went; once it has ended, the list shows the new
    // connection.
    const int ended =
        admin::RunPrinterCommandWatched(m_launcher, platform::helper::ForConnection(path), platform::SW_SHOW);
    if (ended < 0) return;
    WatchHelper(ended, [this](const std::string&) { RefreshPrinterList(); });
}

void TForm1::SaveSettingsButtonClick() { RunSettingsWorkflow(backup::SaveSettings); }

void TForm1::RestoreSettingsButtonClick() { RunSettingsWorkflow(backup::RestoreSettings); }

void TForm1::RunSettingsWorkflow(void (*workflow)(backup::SettingsContext&)) {
    // The window keeps processing messages while a workflow runs; a nested run on the
    // same ZIP component is not possible, so a second click is refused.
    if (m_settingsRunning) return;
    m_settingsRunning = true;
    Panel1->hide();
    backup::SettingsContext context{Zipper1,     m_dialogs,
                                    OpenDialog1, SaveDialog1,
                                    Registry,    SettingsFolder(ProgramFolder),
                                    m_random,    zip::PrivateTempFolder()};
    // The default error report shows the error's text in a message box once the panel is
    // back, as after an error that left the handler. No exception leaves the handler.
    std::optional<std::string> error;
    try {
        workflow(context);
    } catch (const std::exception& e) {
        error = e.what();
    } catch (...) {
        error = "Unknown error";
    }
    Panel1->show();
    if (error) m_dialogs.ShowErrorMessage(*error);
    m_settingsRunning = false;
}

widgets::ColorButton* TForm1::MakeButton(QWidget* container, const char* name, const char* caption, int left, int top) {
    auto* button = new widgets::ColorButton(container);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(left, top, 150, 42);
    button->setCaption(QString::fromLatin1(caption));
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(12);
    font.setBold(true);
    button->setFont(font);
    button->setFontColor(widgets::clWhite);
    button->setColor(kNormalButtonColor);
    button->setBevelWidth(1);
    button->setBorderColor(widgets::clBlack);
    button->setBorderStyle(widgets::TBorderStyle::bsNormal);
    button->setContrastHighlight(5);
    button->setContrastShadow(6);
    button->setGradientStyle(widgets::TGradientStyle::gsNone);
    button->setLayout(widgets::TButtonLayout::blGlyphLeft);
    button->setMargin(1);
    button->setSpacing(1);
    button->setTopMargin(0);
    button->setGroupIndex(0);
    button->setAllowAllUp(false);
    button->setAllowTimer(false);
    button->setTimerDelay(400);
    button->setTimerInterval(100);
    button->OnMouseMove = [this](widgets::ColorButton* sender, Qt::KeyboardModifiers, int, int) {
        CommonMouseMove(sender);
    };
    return button;
}

std::array<widgets::ColorButton*, 12> TForm1::Buttons() const {
    return {BitBtn10,     BitBtn20,     SpeedButton1, SpeedButton2, BitBtn30,           SpeedButton3,
            SpeedButton4, SpeedButton5, SpeedButton6, SpeedButton7, SaveSettingsButton, RestoreSettingsButton};
}

std::optional<std::vector<std::string>> TForm1::InstalledPrinters(spooler::Spooler& spooler) {
    auto printers = spooler.EnumPrintersA(spooler::PRINTER_ENUM_LOCAL | spooler::PRINTER_ENUM_CONNECTIONS);
    if (!printers) return std::nullopt;
    std::vector<std::string> names;
    for (const auto& printer : *printers) names.push_back(printer.pPrinterName);
    return names;
}

std::string TForm1::EntryName(int row) const {
    return ListBox1->item(row)->data(kNameRole).toByteArray().toStdString();
}

void TForm1::SelectFirstManaged() {
    for (int i = 0; i < ListBox1->count(); ++i) {
        if (IsManagedPrinterEntry(EntryName(i))) {
            ListBox1->setCurrentRow(i);
            return;
        }
    }
}

void TForm1::FormCreate() {
    const int year = m_currentYear();
    Label1->setText(QString::fromStdString(FooterText(Label1->text().toStdString(), year)));
    m_listTimer = new QTimer(this);
    m_listTimer->setSingleShot(true);
    connect(m_listTimer, &QTimer::timeout, this, [this] { ReadPrinterList(false); });
    RefreshPrinterList();
    // A deletion left pending when the program last ran (or by another program) is
    // finished once its jobs have ended.
    FinishManagedRemoval();
    WatchServer();
}

void TForm1::RefreshPrinterList() { ReadPrinterList(true); }

void TForm1::FollowPrinterList() {
    // Announcements come in bursts (a printer added is modified too): read once for them.
    if (!m_listTimer->isActive()) m_listTimer->start(100);
}

void TForm1::ReadPrinterList(bool preselect) {
    // The spooler is asked on the worker; the list is rebuilt when it has answered, so a
    // silent server leaves the window painting with the list as it was.
    m_worker.Post([&spooler = m_spooler] { return InstalledPrinters(spooler); },
                  [this, preselect](std::optional<std::vector<std::string>> names) {
                      if (!names) {
                          // Kept as it was, and asked again until the server answers.
                          m_listTimer->start(2000);
                          return;
                      }
                      ShowPrinterList(*names, preselect);
                  });
}

void TForm1::ShowPrinterList(const std::vector<std::string>& names, bool preselect) {
    std::vector<std::string> shown;
    for (int i = 0; i < ListBox1->count(); ++i) shown.push_back(EntryName(i));
    // A list that was empty (none read yet, or none there) is filled as a new one.
    preselect = preselect || shown.empty();
    if (!preselect && shown == names) return;
    const auto selected = SelectedPrinter();
    ListBox1->clear();
    for (const auto& name : names) {
        // Shown decoded; the entry keeps the name's bytes for the spooler.
        auto* item =
            new QListWidgetItem(QString::fromLocal8Bit(name.data(), static_cast<qsizetype>(name.size())), ListBox1);
        item->setData(kNameRole, QByteArray(name.data(), static_cast<qsizetype>(name.size())));
        item->setSizeHint(QSize(0, 13));
    }
    if (preselect) {
        SelectFirstManaged();
    } else {
        for (int i = 0; selected && i < ListBox1->count(); ++i) {
            if (EntryName(i) == *selected) {
                ListBox1->setCurrentRow(i);
                break;
            }
        }
    }
    if (OnListShown && ListBox1->count() > 0) {
        ListBox1->repaint();
        std::exchange(OnListShown, nullptr)();
    }
}

void TForm1::WatchServer() {
    m_worker.Post([&spooler = m_spooler] { return spooler.WatchJobs(); },
                  [this](std::unique_ptr<spooler::JobFeed> feed) {
                      if (!feed) return; // a spooler without a feed: the list follows the commands only
                      m_feed = std::move(feed);
                      m_feedNews = std::make_unique<QSocketNotifier>(m_feed->fd(), QSocketNotifier::Read);
                      connect(m_feedNews.get(), &QSocketNotifier::activated, this, [this] { TakeServerNews(); });
                  });
}

void TForm1::TakeServerNews() {
    const spooler::JobChanges news = m_feed->Take();
    // A new server (restarted, or answering again) may hold other printers, and the mark
    // of a printer to be deleted.
    if (news.printers || news.reload) FollowPrinterList();
    if (news.reload) m_removalPending = true;
    if (m_removalPending && !news.empty()) FinishManagedRemoval();
}

void TForm1::FinishManagedRemoval() {
    if (!m_removalPending) return;
    m_worker.Post([&spooler = m_spooler] { return admin::FinishRemoval(spooler, admin::kManagedPrinter); },
                  [this](bool stillPending) {
                      // Learnt again at the next job's change while it is marked.
                      m_removalPending = stillPending;
                  });
}

std::optional<std::string> TForm1::SelectedPrinter() const {
    for (int i = 0; i < ListBox1->count(); ++i) {
        if (ListBox1->item(i)->isSelected()) return EntryName(i);
    }
    return std::nullopt;
}

bool TForm1::FormCanResize(int& NewWidth, int& NewHeight) {
    NewWidth = m_size.width();
    NewHeight = m_size.height();
    return true;
}

void TForm1::CommonMouseMove(widgets::ColorButton* Sender) { Sender->setColor(kHoverButtonColor); }

void TForm1::ResetButtonColours() {
    for (widgets::ColorButton* button : Buttons()) button->setColor(kNormalButtonColor);
}

void TForm1::Panel1MouseMove() { ResetButtonColours(); }

void TForm1::GroupBox1MouseMove() { ResetButtonColours(); }

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseMove) {
        if (watched == Panel1) Panel1MouseMove();
        else if (watched == GroupBox1) GroupBox1MouseMove();
    }
    return QWidget::eventFilter(watched, event);
}

void TForm1::showEvent(QShowEvent* event) {
    if (!m_centred) {
        m_centred = true;
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            const QRect area = screen->geometry();
            move(area.left() + (area.width() - width()) / 2, area.top() + (area.height() - height()) / 2);
        }
    }
    QWidget::showEvent(event);
}

void TForm1::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // The fixed size already makes the window system keep the size; a change that gets
    // through all the same is taken back.
    if (event->size() != m_size) {
        int w = event->size().width(), h = event->size().height();
        if (FormCanResize(w, h)) resize(w, h);
    }
}

} // namespace quill::app
