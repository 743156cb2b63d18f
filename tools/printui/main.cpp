// The printer user-interface helper: what the system's printer dialogs do, on CUPS.
//   quill-printui PARAMETERS SHOWCOMMAND
// "/y" makes the printer the user's default (as lpoptions -d does); "/p" and "/e" open
// the Properties and Printing Preferences dialogs; "/Xg" and the Printers folder open
// the printer's page and the printers page of the CUPS web interface
// ($QUILL_CUPS_WEB_URL, else the server libcups talks to) with xdg-open. A hidden show
// command shows nothing. "/in /n\\server\share" adds a local queue that prints to the
// printer that another computer shares under that name, and shows how that went in a
// message box. It reports nothing to the program that started it; what it did goes to
// the system log (and, for /in, to the standard error output, for a user who runs it by
// hand).
#include "DialogSupport.h"
#include "PreferencesDialog.h"
#include "PrinterOptions.h"
#include "PrintUi.h"
#include "PropertiesDialog.h"
#include "ShareConnection.h"
#include "WebInterface.h"

#include "platform/HelperParameters.h"
#include "spooler/CupsRequest.h"
#include "spooler/PasswordPrompt.h"
#include "spooler/PrinterName.h"
#include "widgets/Dialogs.h"
#include "widgets/FirstPaintReport.h"

#include <QApplication>
#include <QMessageBox>

#include <cups/cups.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

using quill::printui::Request;
namespace printui = quill::printui;

namespace {

bool SetDefault(const std::string& name, std::string& reason) {
    if (quill::printui::SetDefaultPrinter(quill::printui::AddressOf(name), reason)) return true;
    ::syslog(LOG_WARNING, "default printer %s: %s", name.c_str(), reason.c_str());
    return false;
}

// Tells the program that started this helper and watches it how the command went: one
// line on the descriptor it named, if it named one.
void SayOutcome(bool ok, const std::string& reason) {
    const char* variable = std::getenv(quill::platform::helper::kOutcomeVariable);
    if (!variable || !*variable) return;
    char* end = nullptr;
    const long fd = std::strtol(variable, &end, 10);
    if (*end || fd < 3 || fd > 65535) return;
    std::string line = ok ? quill::platform::helper::kDone : reason.empty() ? "it failed" : reason;
    for (char& c : line)
        if (c == '\n' || c == '\r') c = ' ';
    line += '\n';
    [[maybe_unused]] const ssize_t written = ::write(static_cast<int>(fd), line.data(), line.size());
}

bool Open(const std::string& url) {
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        ::execlp("xdg-open", "xdg-open", url.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool OpenWebPage(const Request& request, int show) {
    const char* override = std::getenv("QUILL_CUPS_WEB_URL");
    const std::string base =
        override && *override
            ? override
            : printui::WebInterfaceBase(request.kind == Request::PrintersFolder ? printui::PrinterAddress{}
                                                                                : printui::AddressOf(request.printer));
    const std::string page = printui::WebPage(request, base);
    if (show == 0) {
        ::syslog(LOG_INFO, "hidden: not opening %s", page.c_str());
        return true;
    }
    const bool ok = Open(page);
    ::syslog(ok ? LOG_INFO : LOG_WARNING, "opening %s: %s", page.c_str(), ok ? "done" : "failed");
    return ok;
}

// Requests of the GUI thread ask for no password: only a dialog's changes do.
const char* NoPassword(const char*, http_t*, const char*, const char*, void*) { return nullptr; }

int RunDialog(QDialog& dialog) {
    const auto report = quill::widgets::ReportFirstPaint(dialog, [&dialog] { dialog.reject(); });
    return dialog.exec();
}

// The Properties or Printing Preferences dialog; false when the printer cannot be read.
bool ShowDialog(int argc, char** argv, const Request& request) {
    QApplication application(argc, argv);
    cupsSetPasswordCB2(NoPassword, nullptr);
    const printui::PrinterAddress address = printui::AddressOf(request.printer);
    const QString name = QString::fromLocal8Bit(request.printer.c_str());
    const bool properties = request.kind == Request::Properties;
    std::string error;
    int result = QDialog::Rejected;
    if (properties) {
        if (auto read = printui::ReadProperties(address, error)) {
            quill::widgets::QtDialogs passwords;
            printui::PropertiesDialog dialog(request.printer, address, *read, passwords);
            passwords.setOwner(&dialog);
            result = RunDialog(dialog);
        }
    } else if (auto options = printui::ReadOptions(address, error)) {
        printui::PreferencesDialog dialog(request.printer, address, std::move(*options));
        result = RunDialog(dialog);
    }
    if (!error.empty()) {
        ::syslog(LOG_WARNING, "%s of %s: %s", properties ? "properties" : "preferences", request.printer.c_str(),
                 error.c_str());
        QMessageBox box(QMessageBox::Warning, name + (properties ? " Properties" : " Printing Preferences"),
                        QStringLiteral("The printer cannot be read: ") + QString::fromLocal8Bit(error.c_str()),
                        QMessageBox::Ok);
        box.setTextFormat(Qt::PlainText);
        quill::widgets::FitCaption(box);
        box.exec();
        return false;
    }
    ::syslog(LOG_INFO, "%s of %s: %s", properties ? "properties" : "preferences", request.printer.c_str(),
             result == QDialog::Accepted ? "saved" : "cancelled");
    return true;
}

// Connects to a shared printer. Its requests run beside the GUI thread, which asks for a
// password when CUPS wants one, and the outcome is shown in a message box: the user who
// asked waits to hear which printer of this computer now prints where, or why none does.
// Hidden, nothing is asked or shown and the outcome is only logged.
bool ShareIn(int argc, char** argv, const Request& request, int show, std::string& outcome) {
    if (show == 0) {
        cupsSetPasswordCB2(NoPassword, nullptr);
        return printui::AddConnection(request.printer, outcome);
    }
    QApplication application(argc, argv);
    quill::widgets::QtDialogs passwords;
    const bool ok =
        printui::RunBesideTheWindow([&] { return printui::AddConnection(request.printer, outcome); }, &passwords);
    QMessageBox box(ok ? QMessageBox::Information : QMessageBox::Warning, QStringLiteral("Printer Connection"),
                    QString::fromLocal8Bit(outcome.c_str()), QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    quill::widgets::FitCaption(box);
    const auto report = quill::widgets::ReportFirstPaint(box, [&box] { box.accept(); });
    box.exec();
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    ::openlog("quill-printui", LOG_PID, LOG_USER);
    // A request of this thread that CUPS wants a password for fails instead of asking on a
    // terminal; the dialogs' requests ask in a box.
    const quill::spooler::PasswordScope refuse(nullptr);
    // No parameter string starts with "--": "--version" alone prints the version and ends.
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        std::printf("quill-printui %s\n", QUILL_VERSION);
        return 0;
    }
    if (argc < 2) {
        ::syslog(LOG_WARNING, "no parameters");
        return 1;
    }
    const std::string parameters = argv[1];
    const int show = argc > 2 ? std::atoi(argv[2]) : 5;
    const Request request = printui::Parse(parameters);
    bool ok = false;
    switch (request.kind) {
    case Request::SetDefault: {
        std::string reason;
        ok = SetDefault(request.printer, reason);
        ::syslog(ok ? LOG_INFO : LOG_WARNING, "default printer %s: %s", request.printer.c_str(), ok ? "set" : "failed");
        SayOutcome(ok, reason);
        break;
    }
    case Request::Properties:
    case Request::Preferences:
        if (show == 0) {
            ::syslog(LOG_INFO, "hidden: no dialog for %s", request.printer.c_str());
            ok = true;
        } else {
            ok = ShowDialog(argc, argv, request);
        }
        break;
    case Request::PrinterSettings:
    case Request::PrintersFolder: ok = OpenWebPage(request, show); break;
    case Request::AddConnection: {
        std::string outcome;
        ok = ShareIn(argc, argv, request, show, outcome);
        ::syslog(ok ? LOG_INFO : LOG_WARNING, "%s", outcome.c_str());
        std::fprintf(stderr, "%s\n", outcome.c_str());
        break;
    }
    case Request::Invalid: ::syslog(LOG_WARNING, "parameters not understood: %s", parameters.c_str()); break;
    }
    return ok ? 0 : 1;
}
