#pragma once

#include "platform/UnixActivationChannel.h"

#include <QObject>

#include <chrono>
#include <string>

class QSocketNotifier;
class QWidget;

namespace quill::app {

// The running copy's side of a second start: takes its requests from the listener and
// brings the window forward. The window is restored when minimised and activated. On
// Wayland only the compositor gives the focus, to the holder of an activation token, so
// the second start's token goes into XDG_ACTIVATION_TOKEN for QWindow::requestActivate().
// On X11 the second start activates the window itself through the window manager. A window
// that is not active a moment later (no token, no activation protocol, a refusal) asks
// for the user's attention instead.
class ActivationReceiver final : public QObject {
public:
    // Owned by window (its Qt parent); listener must outlive it.
    ActivationReceiver(platform::ActivationListener& listener, QWidget& window,
                       std::chrono::milliseconds settle = std::chrono::milliseconds(500));

    // What one request does; token is "" when the second start had none.
    void BringForward(const std::string& token);

private:
    void TakeRequests();

    platform::ActivationListener& m_listener;
    QWidget& m_window;
    std::chrono::milliseconds m_settle;
    QSocketNotifier* m_notifier;
};

// The token this process was started with: XDG_ACTIVATION_TOKEN, else DESKTOP_STARTUP_ID
// (what launchers hand to a program they start), else "".
std::string StartupActivationToken();

} // namespace quill::app
