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

} // namespace quill::test
