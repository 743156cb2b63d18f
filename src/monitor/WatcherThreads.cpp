#include "monitor/WatcherThreads.h"

#include <algorithm>
#include <cstdio>

namespace quill::monitor {

WatcherThreads::~WatcherThreads() {
    // Stopped watchers end within a request's abort; a connect under way takes up to its
    // own second. Nothing is left running or detached past this point.
    if (!Join(std::chrono::milliseconds(1500))) {
        std::fputs("quill: waiting for watcher threads that did not end in time\n", stderr);
        while (!Join(std::chrono::milliseconds(1000))) {
        }
    }
}

void* WatcherThreads::Run(void* argument) {
    auto* thread = static_cast<Thread*>(argument);
    try {
        thread->body();
    } catch (...) {
        // A watcher that fails on its own (out of memory, say) ends like one that could
        // not open its printer: the others go on.
    }
    thread->body = nullptr;
    WatcherThreads& owner = *thread->owner;
    const std::lock_guard<std::mutex> lock(owner.m_mutex);
    thread->ended = true;
    owner.m_changed.notify_all();
    return nullptr;
}

bool WatcherThreads::Start(std::function<void()> body, int& error) {
    Join(std::chrono::milliseconds(0));
    const std::lock_guard<std::mutex> lock(m_mutex);
    Thread& thread = m_threads.emplace_back();
    thread.owner = this;
    thread.body = std::move(body);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kStackBytes);
    error = pthread_create(&thread.id, &attributes, &WatcherThreads::Run, &thread);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        m_threads.pop_back();
        return false;
    }
    return true;
}

bool WatcherThreads::Join(std::chrono::milliseconds bound) {
    std::list<Thread> ended;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_until(lock, std::chrono::steady_clock::now() + bound, [this] { return AllEnded(); });
        for (auto it = m_threads.begin(); it != m_threads.end();) {
            auto next = std::next(it);
            if (it->ended) ended.splice(ended.end(), m_threads, it);
            it = next;
        }
    }
    for (Thread& thread : ended) pthread_join(thread.id, nullptr);
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_threads.empty();
}

bool WatcherThreads::AllEnded() const {
    return std::all_of(m_threads.begin(), m_threads.end(), [](const Thread& t) { return t.ended; });
}

} // namespace quill::monitor
