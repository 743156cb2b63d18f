#pragma once

#include "platform/Fd.h"

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class QObject;
class QSocketNotifier;

namespace quill::widgets {

// Hands work from any thread to a window's thread: Post() queues it, and the window's
// thread runs it, in the order posted, when its event loop sees the queue's eventfd. The
// queue is a std::mutex and the wake-up a file descriptor, so that ThreadSanitizer sees
// each handoff (Qt's own cross-thread posting synchronises inside Qt, which it cannot see).
class WindowInbox {
public:
    // Made on the window's thread; window: whose thread runs the work.
    explicit WindowInbox(QObject* window);
    // Work not run yet is dropped (on the window's thread).
    ~WindowInbox();
    WindowInbox(const WindowInbox&) = delete;
    WindowInbox& operator=(const WindowInbox&) = delete;

    // From any thread, while the inbox lives.
    void Post(std::function<void()> work);

private:
    void RunPosted();

    platform::Fd m_wake;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::mutex m_mutex;
    std::deque<std::function<void()>> m_posted; // guarded by m_mutex
    // Gone with the inbox: work that ends the inbox's owner stops the run of the rest.
    std::shared_ptr<int> m_alive = std::make_shared<int>();
    int m_running = 0; // RunPosted calls under way (nested event loops); the window's thread only
};

} // namespace quill::widgets
