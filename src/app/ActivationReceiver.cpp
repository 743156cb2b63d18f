#include "app/ActivationReceiver.h"

#include <QApplication>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <cstdlib>

namespace quill::app {
namespace {

Q_LOGGING_CATEGORY(lcActivation, "quill.activation", QtWarningMsg)

bool OnWayland() { return QGuiApplication::platformName().startsWith(QLatin1String("wayland")); }

} // namespace

std::string StartupActivationToken() {
    for (const char* name : {"XDG_ACTIVATION_TOKEN", "DESKTOP_STARTUP_ID"}) {
        const char* value = std::getenv(name);
        if (value && *value) return value;
    }
    return {};
}

ActivationReceiver::ActivationReceiver(platform::ActivationListener& listener, QWidget& window,
                                       std::chrono::milliseconds settle)
    : QObject(&window), m_listener(listener), m_window(window), m_settle(settle),
      m_notifier(new QSocketNotifier(listener.fd(), QSocketNotifier::Read, this)) {
    connect(m_notifier, &QSocketNotifier::activated, this, [this] { TakeRequests(); });
}

void ActivationReceiver::TakeRequests() {
    // The listener does not block: every waiting request is taken, then the loop goes on.
    // A peer that connects and says nothing holds the loop for at most the receive time.
    for (int i = 0; i < 8; ++i) {
        const auto token = m_listener.Receive();
        if (!token) break;
        BringForward(*token);
    }
}

void ActivationReceiver::BringForward(const std::string& token) {
    qCDebug(lcActivation).noquote() << "activation request, token"
                                    << (token.empty() ? QStringLiteral("(none)") : QString::fromStdString(token));
    if (m_window.isMinimized()) m_window.setWindowState(m_window.windowState() & ~Qt::WindowMinimized);
    m_window.show();
    m_window.raise();
    if (QWindow* handle = m_window.windowHandle()) {
        const bool withToken = OnWayland() && !token.empty();
        if (withToken) qputenv("XDG_ACTIVATION_TOKEN", QByteArray::fromStdString(token));
        handle->requestActivate();
        qCDebug(lcActivation) << "requestActivate called" << (withToken ? "with the token" : "without a token");
        // Qt takes the token only where the compositor has the activation protocol; it
        // must not reach the programs that this copy starts later.
        if (withToken) qunsetenv("XDG_ACTIVATION_TOKEN");
    }
    QTimer::singleShot(m_settle, this, [this] {
        if (m_window.isActiveWindow()) {
            qCDebug(lcActivation) << "window is active";
            return;
        }
        qCDebug(lcActivation) << "window is not active, asking for attention";
        QApplication::alert(&m_window);
    });
}

} // namespace quill::app
