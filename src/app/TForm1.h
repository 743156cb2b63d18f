#pragma once

#include "widgets/Dialogs.h"
#include "widgets/SpoolerWorker.h"
#include "admin/TMain.h"
#include "backup/SettingsWorkflows.h"
#include "monitor/MonitorDialog.h"
#include "platform/RegistryStore.h"
#include "platform/Launcher.h"
#include "spooler/Spooler.h"
#include "widgets/ColorButton.h"
#include "zip/TZipper.h"

#include <QPointer>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QFrame;
class QGroupBox;
class QLabel;
class QListWidget;
class QSocketNotifier;
class QTimer;

namespace quill::app {

using widgets::Dialogs;
using widgets::FileDialogSettings;
using widgets::kApplicationTitle;

inline constexpr widgets::TColor kNormalButtonColor = 6737049; // RGB 153, 204, 102
inline constexpr widgets::TColor kHoverButtonColor = 44879;    // RGB 79, 175, 0

// The footer notice for a year: after 2013 every "2013" reads as that year.
std::string FooterText(const std::string& text, int year);
// Whether a printer-list entry is taken for the managed printer.
bool IsManagedPrinterEntry(const std::string& name);

// The main window: the printer list, the command buttons and the footer notice.
class TForm1 : public QWidget {
public:
    using YearSource = std::function<int()>;

    TForm1(spooler::Spooler& spooler, Dialogs& dialogs, platform::Launcher& launcher, YearSource currentYear = nullptr,
           QWidget* parent = nullptr);
    // A "Printer Activities" window still open goes first: its watchers use the spooler.
    ~TForm1() override;

    // Re-reads the installed printers; the list is rebuilt once the spooler has answered,
    // with the managed printer preselected.
    void RefreshPrinterList();
    // Re-reads them as the server announces new, deleted or changed printers: the user's
    // selection stays while its printer does. A list that could not be read stays as it
    // was and is read again two seconds later.
    void FollowPrinterList();
    std::optional<std::string> SelectedPrinter() const;
    // Whether a request to the spooler is under way or its answer not yet shown.
    bool SpoolerBusy() const { return m_worker.Busy(); }

    QListWidget* ListBox1 = nullptr;
    QFrame* Panel1 = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QLabel* Label1 = nullptr;

    widgets::ColorButton* BitBtn10 = nullptr;
    widgets::ColorButton* BitBtn20 = nullptr;
    widgets::ColorButton* SpeedButton1 = nullptr;
    widgets::ColorButton* SpeedButton2 = nullptr;
    widgets::ColorButton* BitBtn30 = nullptr;
    widgets::ColorButton* SpeedButton3 = nullptr;
    widgets::ColorButton* SpeedButton4 = nullptr;
    widgets::ColorButton* SpeedButton5 = nullptr;
    widgets::ColorButton* SpeedButton6 = nullptr;
    widgets::ColorButton* SpeedButton7 = nullptr;
    widgets::ColorButton* SaveSettingsButton = nullptr;
    widgets::ColorButton* RestoreSettingsButton = nullptr;
    std::array<widgets::ColorButton*, 12> Buttons() const;

    // The settings archive's file dialogs.
    FileDialogSettings OpenDialog1;
    FileDialogSettings SaveDialog1;

    // The settings archive's ZIP component and the user's registry.
    zip::TZipper Zipper1;
    platform::RegistryStore Registry;

    // The folder of the running program, where the companion program is looked for.
    std::string ProgramFolder;

    // Called once, when the list first shows printers on screen (for the start-up
    // benchmark).
    std::function<void()> OnListShown;

    // Shows the "Print Spooler" window modally; tests replace it.
    std::function<void(admin::TMain&)> ShowJobWindow = [](admin::TMain& window) { window.exec(); };

    void FormCreate();
    // "Monitor Printer": opens the "Printer Activities" window, or brings the open one forward.
    void BitBtn10Click();
    // The spooler of the monitor's watchers, which may outlive the window by a request;
    // none: the main window's.
    std::shared_ptr<spooler::Spooler> MonitorSpooler;
    QPointer<monitor::MonitorDialog> MonitorWindow;
    // The printer dialog commands.
    void BitBtn20Click();
    void SpeedButton1Click();
    void SpeedButton2Click();
    void BitBtn30Click();
    void GetPrinterInfo();
    // The managed printer's commands.
    void SpeedButton3Click();
    void SpeedButton4Click();
    void SpeedButton6Click();
    void SpeedButton7Click();
    // Save Settings and Restore Settings. A click while either runs is refused.
    void SaveSettingsButtonClick();
    void RestoreSettingsButtonClick();
    bool SettingsRunning() const { return m_settingsRunning; }
    // Every attempt to change the window's size keeps it as it is.
    bool FormCanResize(int& NewWidth, int& NewHeight);
    void CommonMouseMove(widgets::ColorButton* Sender);
    void Panel1MouseMove();
    void GroupBox1MouseMove();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    widgets::ColorButton* MakeButton(QWidget* container, const char* name, const char* caption, int left, int top);
    // Nullopt when the spooler could not be asked.
    static std::optional<std::vector<std::string>> InstalledPrinters(spooler::Spooler& spooler);
    void ReadPrinterList(bool preselect);
    void ShowPrinterList(const std::vector<std::string>& names, bool preselect);
    // Listens to the server's change feed (where the spooler has one): the list follows
    // the printers, and a printer marked for deletion goes once its last job has ended.
    void WatchServer();
    void TakeServerNews();
    // Deletes the managed printer if it is marked for deletion and its jobs have ended.
    void FinishManagedRemoval();
    // Calls `ended` with what the started helper said once it has ended.
    void WatchHelper(int ended, std::function<void(const std::string& said)> then);
    // The printer name (bytes) of a list entry.
    std::string EntryName(int row) const;
    void SelectFirstManaged();
    void ResetButtonColours();

    // Runs a printer user-interface command for the selected printer; false when none is.
    bool RunForSelected(const char* option, int showCommand);

    // Runs a settings workflow with the command panel hidden; its errors go to the
    // default error report.
    void RunSettingsWorkflow(void (*workflow)(backup::SettingsContext&));

    spooler::Spooler& m_spooler;
    Dialogs& m_dialogs;
    platform::Launcher& m_launcher;
    YearSource m_currentYear;
    bool m_centred = false;
    bool m_settingsRunning = false;
    backup::RuntimeRandom m_random;
    const QSize m_size{429, 552};
    static constexpr int kNameRole = Qt::UserRole;
    std::unique_ptr<spooler::JobFeed> m_feed;
    std::unique_ptr<QSocketNotifier> m_feedNews;
    QTimer* m_listTimer = nullptr;                     // a pending read of the list that follows the server
    bool m_removalPending = true;                      // the managed printer may be marked for deletion
    widgets::SpoolerWorker m_worker{this, &m_dialogs}; // last: it stops before anything it may touch goes
};

} // namespace quill::app
