// The program's entry: the single-instance guard, then the application and its main
// window.
#include "app/CheckPrevious.h"
#include "widgets/Dialogs.h"
#include "widgets/FirstPaintReport.h"
#include "app/TForm1.h"
#include "monitor/ActivityLog.h"
#include "platform/Launcher.h"
#include "platform/PosixSharedSection.h"
#include "platform/SyslogDebugOutput.h"
#include "platform/X11WindowActivator.h"
#include "spooler/CupsSpooler.h"
#include "spooler/LastError.h"
#include "spooler/PasswordPrompt.h"

#include <QApplication>
#include <QIcon>
#include <QSocketNotifier>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace {

std::string ExecutablePath(const char* argv0) {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return argv0;
    return std::string(path, static_cast<std::size_t>(n));
}

// SIGTERM, SIGINT and SIGHUP end the program like closing its window, so that the
// guard gives the copy's place back. The handler only writes to a socket; the event
// loop reads it.
int g_signalSocket[2] = {-1, -1};

void OnSignal(int) {
    // The interrupted code may be about to read errno.
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_signalSocket[0], &byte, 1);
    errno = saved;
}

void QuitOnSignals(QApplication& application) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalSocket) != 0) return;
    auto* notifier = new QSocketNotifier(g_signalSocket[1], QSocketNotifier::Read, &application);
    QObject::connect(notifier, &QSocketNotifier::activated, &application, [] {
        char byte;
        [[maybe_unused]] const ssize_t read = ::read(g_signalSocket[1], &byte, 1);
        QApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

} // namespace

int main(int argc, char** argv) {
    using namespace quill;
    // A request of this thread that CUPS wants a password for fails instead of asking on
    // a terminal; the windows' workers ask in a box.
    const spooler::PasswordScope refuse(nullptr);
    platform::PosixSharedSection sections;
    platform::X11WindowActivator windows;
    // Its destructor gives the place back when main returns, on every path.
    app::CheckPrevious guard(sections, windows, ExecutablePath(argv[0]));
    try {
        // The main window does not exist yet; it is recorded as soon as it does.
        if (guard.EnterInstanceGuard(0, 1)) return 0;
    } catch (const std::system_error& error) {
        QApplication reporter(argc, argv);
        widgets::QtDialogs().ShowErrorMessage(error.code().message());
        return 1;
    }

    QApplication application(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(widgets::kApplicationTitle));
    QGuiApplication::setDesktopFileName(QStringLiteral("quill-server-management"));
    QIcon icon;
    for (int size : {16, 32, 48}) icon.addFile(QStringLiteral(":/icons/quill-server-management-%1.png").arg(size));
    QApplication::setWindowIcon(icon);
    QuitOnSignals(application);

    // Every activity log line is also sent to the system log, and so is the reason of
    // every failed spooler request (most windows only say that something failed).
    const auto systemLog = std::make_shared<platform::SyslogDebugOutput>();
    monitor::activityLog().setDebugOutput(systemLog);
    spooler::SetFailureSink([systemLog](const std::string& what, const spooler::Failure& failure) {
        systemLog->warning("CUPS request " + what + " failed: " + failure.reason);
    });
    // One spooler for every window, so that the job window and "Printer Activities" share
    // one change feed (one poller and one pair of subscriptions).
    const auto spooler = std::make_shared<spooler::CupsSpooler>();
    widgets::QtDialogs dialogs;
    // The printer user-interface helper lies beside the program (built and installed so).
    const std::string exe = ExecutablePath(argv[0]);
    const std::string folder = exe.substr(0, exe.find_last_of('/') + 1);
    std::string helper = folder + QUILL_HELPER_NAME;
    if (::access(helper.c_str(), X_OK) != 0) helper = folder + "../../tools/printui/" + QUILL_HELPER_NAME;
    platform::HelperLauncher launcher(helper);
    app::TForm1 form(*spooler, dialogs, launcher);
    form.MonitorSpooler = spooler;
    dialogs.setOwner(&form);

    const auto report = widgets::ReportFirstPaint(form, [] { QApplication::quit(); });
    form.show();
    guard.SetInstanceWindow(static_cast<std::uint32_t>(form.winId()));
    const int result = application.exec();
    // A "Printer Activities" window still open stops its watchers as it goes and joins
    // them; one that closed as the program ended is deleted as well. The spooler's poller
    // is joined as the spooler goes, after the windows.
    delete form.MonitorWindow.data();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return result;
}
