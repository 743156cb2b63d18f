#include "monitor/WatcherPool.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

namespace quill::monitor {

WatcherPool::WatcherPool() : m_epoll(::epoll_create1(EPOLL_CLOEXEC)), m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (m_epoll >= 0 && m_wake >= 0) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = m_wake;
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &event);
    }
}

WatcherPool::~WatcherPool() {
    Stop(std::chrono::milliseconds(1500));
    if (m_epoll >= 0) ::close(m_epoll);
    if (m_wake >= 0) ::close(m_wake);
}

bool WatcherPool::Start(int& error) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_started) return true;
    if (m_stop || m_epoll < 0 || m_wake < 0) {
        error = m_stop ? ECANCELED : EMFILE;
        return false;
    }
    if (!m_threads.Start([this] { Wait(); }, error)) return false;
    // The waiting thread alone already lets tasks run, late; every worker that starts helps.
    m_started = true;
    for (int i = 0; i < kWorkers; ++i) {
        int reason = 0;
        if (!m_threads.Start([this] { Work(); }, reason) && i == 0) {
            m_stop = true;
            Wake();
            error = reason;
            return false;
        }
    }
    return true;
}

void WatcherPool::Post(Task task) {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop) return;
        m_queue.push_back(std::move(task));
    }
    m_due.notify_one();
}

void WatcherPool::PostAfter(std::chrono::milliseconds delay, Task task) {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop) return;
        m_timers.emplace(std::chrono::steady_clock::now() + delay, std::move(task));
    }
    Wake();
}

void WatcherPool::WatchOnce(int fd, Task onReadable) {
    Task replaced; // goes after the lock
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stop) return;
    replaced = std::exchange(m_watched[fd], std::move(onReadable));
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.fd = fd;
    if (::epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &event) != 0 && errno == ENOENT)
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
}

void WatcherPool::Forget(int fd) {
    Task dropped; // goes after the lock: it may hold the last reference to what asked
    const std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_watched.find(fd);
    if (found != m_watched.end()) {
        dropped = std::move(found->second);
        m_watched.erase(found);
    }
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
}

bool WatcherPool::Stop(std::chrono::milliseconds bound) {
    std::deque<Task> queue;
    std::multimap<std::chrono::steady_clock::time_point, Task> timers;
    std::unordered_map<int, Task> watched;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        queue.swap(m_queue);
        timers.swap(m_timers);
        watched.swap(m_watched);
    }
    m_due.notify_all();
    Wake();
    // What the dropped tasks held goes here, on the stopping thread, outside the lock.
    queue.clear();
    timers.clear();
    watched.clear();
    return m_threads.Join(bound);
}

void WatcherPool::Wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wake, &one, sizeof one);
}

void WatcherPool::Work() {
    for (;;) {
        Task task;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_due.wait(lock, [this] { return m_stop || !m_queue.empty(); });
            if (m_stop) return;
            task = std::move(m_queue.front());
            m_queue.pop_front();
        }
        task();
    }
}

void WatcherPool::Wait() {
    using Clock = std::chrono::steady_clock;
    epoll_event events[64];
    for (;;) {
        int timeoutMs = -1;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_stop) return;
            // Timers that are due become tasks. The wait for the next one is measured from
            // the same moment: read again after the workers were woken, the clock could
            // have passed it already, and a negative time would make epoll wait for ever.
            const auto now = Clock::now();
            bool due = false;
            while (!m_timers.empty() && m_timers.begin()->first <= now) {
                m_queue.push_back(std::move(m_timers.begin()->second));
                m_timers.erase(m_timers.begin());
                due = true;
            }
            if (due) m_due.notify_all();
            if (!m_timers.empty())
                timeoutMs = static_cast<int>(
                    std::chrono::ceil<std::chrono::milliseconds>(m_timers.begin()->first - now).count());
        }
        const int ready = ::epoll_wait(m_epoll, events, 64, timeoutMs);
        if (ready < 0 && errno != EINTR) return;
        bool due = false;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            for (int i = 0; i < ready; ++i) {
                const int fd = events[i].data.fd;
                if (fd == m_wake) {
                    std::uint64_t count = 0;
                    [[maybe_unused]] const ssize_t drained = ::read(m_wake, &count, sizeof count);
                    continue;
                }
                auto found = m_watched.find(fd);
                if (found == m_watched.end()) continue;
                m_queue.push_back(std::move(found->second));
                m_watched.erase(found);
                due = true;
            }
        }
        if (due) m_due.notify_all();
    }
}

} // namespace quill::monitor
