#pragma once

#include "spooler/Spooler.h"
#include "widgets/Dialogs.h"

#include <QDialog>

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

class QAction;
class QMenuBar;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

namespace quill::admin {

// The "Print Spooler" window: the jobs of every printer, polled five times a second, one
// row per job id; rows stay after their jobs have left the spooler.
class TMain : public QDialog {
public:
    TMain(spooler::Spooler& spooler, widgets::Dialogs& dialogs, QWidget* owner = nullptr);
    ~TMain() override;

    QTreeWidget* lvMain = nullptr;
    QMenuBar* MainMenu1 = nullptr;
    QTimer* Timer1 = nullptr;
    QAction* RefreshPrinters1 = nullptr;
    QAction* Monitoring1 = nullptr;
    QAction* MonitorSharedPrinters1 = nullptr;
    QAction* Exit1 = nullptr;
    QAction* DeleteSelectedItem1 = nullptr;
    QAction* DeleteAllItems1 = nullptr;
    QAction* CancelJob1 = nullptr;
    QAction* PauseJob1 = nullptr;
    QAction* RestartJob1 = nullptr;
    QAction* ResumeJob1 = nullptr;

    std::vector<std::string> PrinterNames;
    bool SharedOnly = false;
    // Each tick reads one answer with the jobs of all printers instead of asking every
    // printer in turn; what the window shows is the same.
    bool UseSnapshot = true;

    void FormCreate();
    void EnumPrinterNames();
    void ReloadPrinterNames();
    void Timer1Timer();
    void PollPrinterJobs(const std::string& printerName);
    void UpdateJobRow(const spooler::JobInfo2& job);
    void ControlSelectedJob(std::uint32_t command);
    void Monitoring1Click();
    void MonitorSharedPrinters1Click();
    void DeleteSelectedItem1Click();
    void DeleteAllItems1Click();

    // Cell texts.
    static std::string JobStatusText(std::uint32_t status);
    static std::string SizeText(std::uint32_t bytes);
    static std::string StartAtText(const spooler::SystemTime& submitted);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void UpdateRow(QTreeWidgetItem* row, const spooler::JobInfo2& job);

    spooler::Spooler& m_spooler;
    widgets::Dialogs& m_dialogs;
    std::optional<std::vector<spooler::JobInfo2>> m_snapshot;       // this tick's jobs
    std::unordered_map<std::uint32_t, QTreeWidgetItem*> m_rowsById; // the row of each job id
};

} // namespace quill::admin
