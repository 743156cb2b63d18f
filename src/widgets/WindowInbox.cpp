#include "widgets/WindowInbox.h"

#include <QSocketNotifier>

#include <sys/eventfd.h>

#include <cstdint>
#include <stdexcept>
#include <utility>

namespace quill::widgets {

WindowInbox::WindowInbox(QObject* window) : m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (m_wake.get() < 0) throw std::runtime_error("no eventfd for a window's inbox");
    m_notifier = std::make_unique<QSocketNotifier>(m_wake.get(), QSocketNotifier::Read);
    m_notifier->moveToThread(window->thread());
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(), [this] { RunPosted(); });
}

WindowInbox::~WindowInbox() {
    // Work that ends the window runs inside the notifier's signal: the notifier then goes
    // once that signal has returned.
    if (m_running > 0) {
        m_notifier->setEnabled(false);
        m_notifier->disconnect();
        m_notifier.release()->deleteLater();
    }
    const std::lock_guard lock(m_mutex);
    m_posted.clear();
}

void WindowInbox::Post(std::function<void()> work) {
    {
        const std::lock_guard lock(m_mutex);
        m_posted.push_back(std::move(work));
    }
    const std::uint64_t one = 1;
    // Only a full counter fails, and a full counter wakes the window all the same.
    [[maybe_unused]] const auto written = ::write(m_wake.get(), &one, sizeof one);
}

void WindowInbox::RunPosted() {
    std::uint64_t count;
    [[maybe_unused]] const auto read = ::read(m_wake.get(), &count, sizeof count);
    // One at a time from the queue, so that work posted meanwhile keeps its place also
    // when some work waits in a nested event loop (a question for a password).
    const std::weak_ptr<int> alive = m_alive;
    ++m_running;
    for (;;) {
        std::function<void()> work;
        {
            const std::lock_guard lock(m_mutex);
            if (m_posted.empty()) break;
            work = std::move(m_posted.front());
            m_posted.pop_front();
        }
        work();
        if (alive.expired()) return; // the rest went with the inbox
    }
    --m_running;
}

} // namespace quill::widgets
