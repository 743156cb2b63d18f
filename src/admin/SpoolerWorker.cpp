#include "admin/SpoolerWorker.h"

#include "spooler/RequestAbort.h"

namespace quill::admin {

SpoolerWorker::SpoolerWorker(QObject* receiver) : m_receiver(receiver), m_thread([this] { Run(); }) {}

SpoolerWorker::~SpoolerWorker() {
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
        m_queue.clear();
    }
    m_abort = true;
    m_wake.notify_one();
    m_thread.join();
}

void SpoolerWorker::Enqueue(std::function<void()> task) {
    {
        const std::lock_guard lock(m_mutex);
        m_queue.push_back(std::move(task));
    }
    m_wake.notify_one();
}

void SpoolerWorker::Run() {
    const spooler::AbortScope abort(m_abort);
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stop || !m_queue.empty(); });
            if (m_stop) return;
            task = std::move(m_queue.front());
            m_queue.pop_front();
        }
        task();
    }
}

} // namespace quill::admin
