#pragma once

#include "widgets/SpoolerWorker.h"
#include "monitor/ActivityLog.h"
#include "monitor/Monitor.h"
#include "spooler/Spooler.h"

#include <QDialog>

#include <memory>

class QPlainTextEdit;

namespace quill::monitor {

// The "Printer Activities" window: a read-only, unwrapped text box filling the window
// that shows the whole activity log and every new line. Opening it starts the monitor;
// closing it stops the monitor, writes the stop lines, pauses 1.5 s and then ends. It
// has no owner, so the main window stays usable while it is open.
class MonitorDialog : public QDialog {
public:
    static constexpr int kCloseDelayMs = 1500;

    // dialogs: where a server's question for a password during the start is asked;
    // without it the question is refused.
    explicit MonitorDialog(std::shared_ptr<spooler::Spooler> spooler, widgets::Dialogs* dialogs = nullptr);
    // A window that is still open when it is destroyed stops the monitor without the pause.
    // Its watcher threads are joined before it is gone, so the spooler must outlive it.
    ~MonitorDialog() override;

    // Shows the log and starts the monitor. The start's spooler requests run on a worker;
    // the window paints meanwhile, and a close asked for in between makes the start give
    // up its request and return before the monitor stops.
    void Start();
    // Ends the window's part at once, as when the program ends: a start under way gives
    // up, the monitor stops without the pause and its watcher threads are joined. The
    // window then closes when asked.
    void End();
    // Whether the start has returned, and whether the close has begun.
    bool Started() const { return m_started; }
    bool Closing() const { return m_closing; }
    // The window's monitor (its thread table), for tests.
    const Monitor& monitor() const { return *m_monitor; }

    QPlainTextEdit* TextBox = nullptr; // control 1000

    void reject() override; // Escape closes as the close button does

protected:
    void closeEvent(QCloseEvent* event) override;
    // The program's end (its Quit event) ends the window at once, so that the window
    // does not hold the program back with its pause.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class TextBoxLog;
    void Stop();
    void Finish();

    std::shared_ptr<spooler::Spooler> m_spooler;
    // This window's monitor: its watchers go with the window, joined.
    std::unique_ptr<Monitor> m_monitor;
    std::unique_ptr<TextBoxLog> m_log;
    std::unique_ptr<widgets::SpoolerWorker> m_worker;
    bool m_starting = false;
    bool m_started = false;
    bool m_closing = false;
    bool m_ended = false;
};

} // namespace quill::monitor
