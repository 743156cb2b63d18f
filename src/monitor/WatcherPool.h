#pragma once

#include "monitor/WatcherThreads.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <unordered_map>

namespace quill::monitor {

// The few threads that run every watcher of a monitor. A watcher is a chain of short
// tasks (open the printer, register, handle one notification) of which one at a time
// runs; between them it waits here for its registration's descriptor or a pause to end,
// holding no thread. So thousands of printers cost a few threads and at most kWorkers
// spooler requests at once. Tasks are run in the order they became due.
class WatcherPool {
public:
    using Task = std::function<void()>;
    static constexpr int kWorkers = 6;

    WatcherPool();
    // Stops and joins the threads (Stop).
    ~WatcherPool();
    WatcherPool(const WatcherPool&) = delete;
    WatcherPool& operator=(const WatcherPool&) = delete;

    // Starts the threads unless they run; false with the platform's reason in error when
    // they cannot run.
    bool Start(int& error);
    // Runs task on one of the threads.
    void Post(Task task);
    // Runs task once delay has passed.
    void PostAfter(std::chrono::milliseconds delay, Task task);
    // Runs onReadable once fd has become readable; ask again for the next time.
    void WatchOnce(int fd, Task onReadable);
    // Forgets fd before it is closed.
    void Forget(int fd);
    // Drops the tasks not begun, lets those under way end (a stopped watcher's requests
    // give up at once) and joins the threads, waiting up to bound; true when none is left.
    bool Stop(std::chrono::milliseconds bound);

private:
    void Work();
    void Wait();
    // Wakes the waiting thread (its set of descriptors or its next time has changed).
    void Wake();

    std::mutex m_mutex; // guards the members up to m_stop
    std::condition_variable m_due;
    std::deque<Task> m_queue;
    std::multimap<std::chrono::steady_clock::time_point, Task> m_timers;
    std::unordered_map<int, Task> m_watched;
    bool m_started = false;
    bool m_stop = false;
    const int m_epoll;
    const int m_wake;
    // Declared last, so that it goes first: its threads use everything above.
    WatcherThreads m_threads;
};

} // namespace quill::monitor
