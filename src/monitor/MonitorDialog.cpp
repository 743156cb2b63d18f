#include "monitor/MonitorDialog.h"

#include "widgets/WindowInbox.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimer>
#include <QVBoxLayout>

#include <mutex>
#include <string>

namespace quill::monitor {
namespace {

// How long the window's end waits for stopped watchers to end: a watcher's request
// gives up within a tenth of a second, a connect within a second.
constexpr std::chrono::milliseconds kJoinBound{1500};

// The window's size in dialog units of its font.
constexpr int kWidthUnits = 365;
constexpr int kHeightUnits = 273;

// The log's CR LF line ends become the text box's line breaks.
QString ToBoxText(std::string_view text) {
    QString result = QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
    result.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return result;
}

} // namespace

// The log's view of the text box. Lines are gathered and handed to the window's thread
// in the order the log gives them (also those given on that thread); the text box takes
// all lines gathered so far at once, so a burst of lines costs one update.
class MonitorDialog::TextBoxLog final : public LogWindow {
public:
    explicit TextBoxLog(QPlainTextEdit* box) : m_box(box), m_inbox(box) {}

    void showText(std::string_view text) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_pending = ToBoxText(text);
        m_replace = true;
        Post();
    }
    void appendText(std::string_view line) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_pending += ToBoxText(line);
        Post();
    }

private:
    // With m_mutex held.
    void Post() {
        if (m_posted) return;
        m_posted = true;
        m_inbox.Post([this] { Apply(); });
    }
    void Apply() {
        QString text;
        bool replace;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            text.swap(m_pending);
            replace = m_replace;
            m_replace = false;
            m_posted = false;
        }
        if (replace) {
            m_box->setPlainText(text);
        } else {
            QTextCursor end(m_box->document());
            end.movePosition(QTextCursor::End);
            end.insertText(text);
        }
        m_box->verticalScrollBar()->setValue(m_box->verticalScrollBar()->maximum());
    }

    QPlainTextEdit* m_box;
    widgets::WindowInbox m_inbox; // the watchers' lines go to the window's thread through it
    std::mutex m_mutex;           // guards the members below
    QString m_pending;
    bool m_replace = false;
    bool m_posted = false;
};

MonitorDialog::MonitorDialog(std::shared_ptr<spooler::Spooler> spooler, widgets::Dialogs* dialogs)
    : QDialog(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                           Qt::WindowCloseButtonHint),
      m_spooler(std::move(spooler)), m_monitor(std::make_unique<Monitor>()),
      m_worker(std::make_unique<widgets::SpoolerWorker>(this, dialogs)) {
    setWindowTitle(QStringLiteral("Printer Activities"));
    setWindowIcon(QApplication::windowIcon());
    // Closing the main window ends the program even while this window is open.
    setAttribute(Qt::WA_QuitOnClose, false);
    QFont font(QStringLiteral("Liberation Mono"));
    font.setPointSize(8);
    font.setStyleHint(QFont::TypeWriter);
    setFont(font);

    TextBox = new QPlainTextEdit(this);
    TextBox->setObjectName(QStringLiteral("TextBox"));
    TextBox->setReadOnly(true);
    TextBox->setLineWrapMode(QPlainTextEdit::NoWrap);
    TextBox->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(TextBox);

    // Dialog units: a quarter of the font's average character width across, an eighth of
    // its height down.
    const QFontMetrics metrics(font);
    int baseX = 0;
    for (char c = 'a'; c <= 'z'; ++c)
        baseX += metrics.horizontalAdvance(QChar(c)) + metrics.horizontalAdvance(QChar(c - 32));
    baseX = (baseX / 26 + 1) / 2;
    const int baseY = metrics.height();
    resize(kWidthUnits * baseX / 4, kHeightUnits * baseY / 8);
    if (const QScreen* screen = QApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    m_log = std::make_unique<TextBoxLog>(TextBox);
    QCoreApplication::instance()->installEventFilter(this);
}

MonitorDialog::~MonitorDialog() { End(); }

void MonitorDialog::End() {
    if (m_ended) return;
    m_ended = true;
    // A start still under way gives up its requests and returns first; then its
    // watchers are stopped like those of a started window.
    m_worker.reset();
    if (m_starting && !m_closing) Stop();
    activityLog().closeWindow(*m_log);
    // The stopped watchers end within a request's abort.
    m_monitor->JoinWatcherThreads(kJoinBound);
}

bool MonitorDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched == QCoreApplication::instance() && event->type() == QEvent::Quit) End();
    return false;
}

void MonitorDialog::Start() {
    activityLog().openWindow(*m_log);
    m_starting = true;
    m_worker->Post(
        [monitor = m_monitor.get(), spooler = m_spooler] { return monitor->InitNotificationThreads(spooler); },
        [this](bool started) {
            m_started = true;
            if (!started) WriteLog("InitNotificationThreads() failed. No further error code");
        });
}

void MonitorDialog::reject() { close(); }

void MonitorDialog::closeEvent(QCloseEvent* event) {
    if (m_ended) {
        event->accept();
        return;
    }
    event->ignore();
    if (m_closing) return;
    if (!m_started) {
        // The start is still waiting for the spooler: it gives up its request and
        // returns (its answer is dropped), then the monitor stops as usual.
        m_worker.reset();
        m_started = true;
    }
    Stop();
    // The pause lets the stop lines show before the window ends.
    QTimer::singleShot(kCloseDelayMs, this, [this] { Finish(); });
}

void MonitorDialog::Stop() {
    m_closing = true;
    if (!m_monitor->FInitnotificationThreads())
        WriteLog("FInitnotificationThreads() failed ... Windows will force the process/threads to end.");
}

void MonitorDialog::Finish() {
    activityLog().closeWindow(*m_log);
    m_ended = true;
    // Threads that have ended by now are joined; the others when the window goes.
    m_monitor->JoinWatcherThreads(std::chrono::milliseconds(0));
    close();
}

} // namespace quill::monitor
