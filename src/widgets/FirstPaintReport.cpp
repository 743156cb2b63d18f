#include "widgets/FirstPaintReport.h"

#include <QEvent>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace quill::widgets {
namespace {

class FirstPaintFilter : public QObject {
public:
    FirstPaintFilter(bool exit, std::function<void()> end) : m_exit(exit), m_end(std::move(end)) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !m_done) {
            m_done = true;
            // Reported once the paint is done, from the event loop.
            QTimer::singleShot(0, this, [this] {
                const auto now = std::chrono::system_clock::now().time_since_epoch();
                std::fprintf(stderr, "first-paint %lld\n",
                             static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()));
                if (m_exit) m_end();
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_exit;
    std::function<void()> m_end;
    bool m_done = false;
};

} // namespace

std::unique_ptr<QObject> ReportFirstPaint(QWidget& widget, std::function<void()> end) {
    const char* mode = std::getenv("QUILL_REPORT_FIRST_PAINT");
    if (!mode) return nullptr;
    auto filter = std::make_unique<FirstPaintFilter>(std::string(mode) == "exit", std::move(end));
    widget.installEventFilter(filter.get());
    return filter;
}

} // namespace quill::widgets
