#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>

#include <pthread.h>

namespace quill::monitor {

// The owner of a monitor's watcher threads. A stop only signals a watcher and never
// waits for it, so its thread is joined once it has ended: when later threads start, when
// the window's pause is over, and at the latest when the owner goes. Every wait here is
// bounded on the steady clock; a watcher ends within a request's abort once stopped.
class WatcherThreads {
public:
    // A watcher needs little stack: a request's buffers live on the heap.
    static constexpr std::size_t kStackBytes = std::size_t{256} << 10;

    WatcherThreads() = default;
    // Joins every thread; they must have been stopped, and then end within a request's
    // abort and a connect's bound.
    ~WatcherThreads();
    WatcherThreads(const WatcherThreads&) = delete;
    WatcherThreads& operator=(const WatcherThreads&) = delete;

    // Runs body on a new thread at once; false with the platform's reason in error when
    // none could be created.
    bool Start(std::function<void()> body, int& error);
    // Waits up to bound for every thread to end and joins those that have; true when no
    // thread is left.
    bool Join(std::chrono::milliseconds bound);

private:
    struct Thread {
        WatcherThreads* owner = nullptr;
        std::function<void()> body;
        pthread_t id{};
        bool ended = false; // guarded by the owner's mutex
    };
    static void* Run(void* thread);
    // With m_mutex held.
    bool AllEnded() const;

    std::mutex m_mutex; // guards m_threads and every thread's flag
    std::condition_variable m_changed;
    std::list<Thread> m_threads;
};

} // namespace quill::monitor
