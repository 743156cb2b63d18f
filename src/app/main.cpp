// The program's entry: the single-instance guard, then the application and its main
// window.
#include "app/ActivationReceiver.h"
#include "app/CheckPrevious.h"
#include "widgets/Dialogs.h"
#include "widgets/FirstPaintReport.h"
#include "app/TForm1.h"
#include "monitor/ActivityLog.h"
#include "platform/Launcher.h"
#include "platform/PosixSharedSection.h"
#include "platform/SyslogDebugOutput.h"
#include "platform/UnixActivationChannel.h"
#include "platform/WaylandActivationToken.h"
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
#include <cstdio>
#include <cstdlib>
#include <string_view>
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
    // The program takes no options; "--version" alone prints the version and ends.
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        std::printf("quill-server-management %s\n", QUILL_VERSION);
        return 0;
    }
    // A request of this thread that CUPS wants a password for fails instead of asking on
    // a terminal; the windows' workers ask in a box.
    const spooler::PasswordScope refuse(nullptr);
    platform::PosixSharedSection sections;
    platform::X11WindowActivator windows;
    // A second start hands the running copy its activation token through this channel.
    platform::UnixActivationChannel activation;
    // Its destructor gives the place back when main returns, on every path.
    app::CheckPrevious guard(sections, windows, ExecutablePath(argv[0]), &activation, [] {
        // Without a token from its launcher the start asks the compositor for one.
        std::string token = app::StartupActivationToken();
        return token.empty() ? platform::RequestActivationToken("quill-server-management") : token;
    });
    try {
        // The main window does not exist yet; it is recorded as soon as it does.
        if (guard.EnterInstanceGuard(0, 1)) {
            // An X11 launcher waits for a window of this start to end its busy cursor; there
            // will be none. (On Wayland the start token is the running copy's to use.)
            const char* startupId = std::getenv("DESKTOP_STARTUP_ID");
            const char* wayland = std::getenv("WAYLAND_DISPLAY");
            if (startupId && (!wayland || !*wayland)) windows.CompleteStartup(startupId);
            return 0;
        }
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
    // With QUILL_REPORT_FIRST_PAINT=list, the time the printers are first on screen follows
    // the first paint, and the program ends then.
    if (const char* mode = std::getenv("QUILL_REPORT_FIRST_PAINT"); mode && std::string(mode) == "list") {
        form.OnListShown = [] {
            const auto now = std::chrono::system_clock::now().time_since_epoch();
            std::fprintf(stderr, "list-shown %lld\n",
                         static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()));
            QApplication::quit();
        };
    }
    form.show();
    // Only an X11 window id names the window for another process; elsewhere (Wayland) the
    // running copy brings its window forward itself when a second start asks.
    const bool x11 = QGuiApplication::platformName() == QLatin1String("xcb");
    guard.SetInstanceWindow(x11 ? static_cast<std::uint32_t>(form.winId()) : 0);
    if (platform::ActivationListener* listener = activation.listener()) new app::ActivationReceiver(*listener, form);
    const int result = application.exec();
    // A "Printer Activities" window still open stops its watchers as it goes and joins
    // them; one that closed as the program ended is deleted as well. The spooler's poller
    // is joined as the spooler goes, after the windows.
    delete form.MonitorWindow.data();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return result;
}
