#pragma once

#include <QTest>

namespace quill::test {

// Lets the window's event loop run until its spooler requests are answered and shown.
template <typename Window> bool WaitForSpooler(const Window& window, int timeoutMs = 10000) {
    return QTest::qWaitFor([&] { return !window.SpoolerBusy(); }, timeoutMs);
}

// One poll of the job window, shown.
template <typename Window> void Tick(Window& window) {
    WaitForSpooler(window);
    window.Timer1Timer();
    WaitForSpooler(window);
}

// Ticks the job window until pred() holds: a job feed hears of a change a little after it.
template <typename Window, typename Pred> bool TickUntil(Window& window, Pred pred, int timeoutMs = 10000) {
    return QTest::qWaitFor(
        [&] {
            Tick(window);
            return pred();
        },
        timeoutMs);
}

} // namespace quill::test
