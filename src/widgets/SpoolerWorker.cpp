#include "widgets/SpoolerWorker.h"

#include "spooler/LastError.h"
#include "spooler/PasswordPrompt.h"
#include "spooler/RequestAbort.h"

#include <chrono>

namespace quill::widgets {

SpoolerWorker::SpoolerWorker(QObject* receiver, widgets::Dialogs* dialogs)
    : m_answers(receiver), m_dialogs(dialogs), m_thread([this] { Run(); }) {}

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

void SpoolerWorker::ReportFailure(const std::string& reason) {
    spooler::SetLastError(spooler::ERROR_NOT_ENOUGH_MEMORY, reason);
    spooler::RecordFailure("A window's request", reason);
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
        // Each task may answer the server's question for a password up to three times;
        // without a place to ask, the question is refused.
        spooler::PasswordScope password(
            m_dialogs ? spooler::PasswordPrompt([this](const std::string& prompt, const std::string& user) {
                return AskPassword(prompt, user);
            })
                      : spooler::PasswordPrompt());
        task();
    }
}

std::optional<std::pair<std::string, std::string>> SpoolerWorker::AskPassword(const std::string& prompt,
                                                                              const std::string& user) {
    // The box is shown on the window's thread; this thread waits without blocking that
    // one, so a window that closes meanwhile ends the wait (and the question is dropped).
    struct Question {
        std::mutex mutex;
        std::condition_variable answered;
        bool done = false;
        bool wanted = true;
        std::optional<std::pair<std::string, std::string>> answer;
    };
    auto question = std::make_shared<Question>();
    m_answers.Post([question, dialogs = m_dialogs, prompt, user] {
        {
            const std::lock_guard lock(question->mutex);
            if (!question->wanted) return;
        }
        auto answer = dialogs->AskPassword(prompt, user);
        const std::lock_guard lock(question->mutex);
        question->answer = std::move(answer);
        question->done = true;
        question->answered.notify_all();
    });
    std::unique_lock lock(question->mutex);
    while (!question->done) {
        if (spooler::AbortScope::Requested()) {
            question->wanted = false;
            return std::nullopt;
        }
        question->answered.wait_for(lock, std::chrono::milliseconds(100));
    }
    return question->answer;
}

} // namespace quill::widgets
