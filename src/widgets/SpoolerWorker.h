#pragma once

#include "widgets/Dialogs.h"
#include "widgets/WindowInbox.h"

#include <QObject>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

namespace quill::widgets {

// Runs a window's spooler requests one after another on a thread of its own and hands
// each answer back to the window's thread, so that the window paints, opens its menus
// and closes while a server is slow or silent. Work posted earlier always finishes
// before later work starts: a poll and a job command never overlap.
class SpoolerWorker {
public:
    // receiver: the window; answers are applied on its thread, and never after it is gone.
    // dialogs: where a server's question for a password is asked (on the window's
    // thread); without it such a request fails as refused.
    explicit SpoolerWorker(QObject* receiver, widgets::Dialogs* dialogs = nullptr);
    // Drops the queued work, makes a running request give up and waits for it (a
    // request looks at its abort flag every 100 ms). Answers not applied yet are
    // dropped, also while the window lives on.
    ~SpoolerWorker();
    SpoolerWorker(const SpoolerWorker&) = delete;
    SpoolerWorker& operator=(const SpoolerWorker&) = delete;

    // Runs work() on the worker thread, then done(result) on the receiver's thread. Work
    // that throws has failed: done gets the result type's empty value (false, nothing),
    // and the reason goes where the spooler's failures go.
    template <typename Work, typename Done> void Post(Work work, Done done) {
        using Result = decltype(work());
        static_assert(std::is_default_constructible_v<Result>, "a failed task answers with the empty value");
        ++m_pending;
        Enqueue([this, work = std::move(work), done = std::move(done)]() mutable {
            auto result = std::make_shared<Result>();
            try {
                *result = work();
            } catch (const std::exception& failure) {
                ReportFailure(failure.what());
            } catch (...) {
                ReportFailure("an unknown error");
            }
            m_answers.Post([this, result, done = std::make_shared<Done>(std::move(done))] {
                --m_pending;
                (*done)(std::move(*result));
            });
        });
    }

    // Whether work is queued or running, or its answer has not been applied yet.
    bool Busy() const { return m_pending > 0; }

private:
    // Records why a task failed (as a failed spooler request is).
    static void ReportFailure(const std::string& reason);
    void Enqueue(std::function<void()> task);
    void Run();
    // Asks on the receiver's thread and waits for the answer, or gives up when aborted.
    std::optional<std::pair<std::string, std::string>> AskPassword(const std::string& prompt, const std::string& user);

    // Answers and questions for a password are handed to the receiver's thread through it;
    // it goes with the worker, and what is still on its way with it.
    WindowInbox m_answers;
    widgets::Dialogs* m_dialogs;
    int m_pending = 0; // the receiver's thread only
    std::atomic<bool> m_abort{false};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_queue;
    bool m_stop = false;
    std::thread m_thread;
};

} // namespace quill::widgets
