// The printer user-interface helper: what the system's printer dialogs do, on CUPS.
//   quill-printui PARAMETERS SHOWCOMMAND
// "/y" makes the printer the user's default (as lpoptions -d does); the other commands
// open the matching page of the CUPS web interface ($QUILL_CUPS_WEB_URL, else
// http://localhost:631) with xdg-open, unless the show command hides them. It reports
// nothing to the program that started it; what it did goes to the system log.
#include "PrintUi.h"

#include "spooler/PrinterName.h"

#include <cups/cups.h>

#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

using quill::printui::Request;

namespace {

bool SetDefault(const std::string& name) {
    const std::string queue = quill::spooler::QueueName(name);
    cups_dest_t* dests = nullptr;
    const int count = cupsGetDests2(CUPS_HTTP_DEFAULT, &dests);
    cups_dest_t* dest = cupsGetDest(queue.c_str(), nullptr, count, dests);
    if (!dest) {
        cupsFreeDests(count, dests);
        return false;
    }
    for (int i = 0; i < count; ++i) dests[i].is_default = 0;
    dest->is_default = 1;
    const bool ok = cupsSetDests2(CUPS_HTTP_DEFAULT, count, dests) == 0;
    cupsFreeDests(count, dests);
    return ok;
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

} // namespace

int main(int argc, char** argv) {
    ::openlog("quill-printui", LOG_PID, LOG_USER);
    if (argc < 2) {
        ::syslog(LOG_WARNING, "no parameters");
        return 1;
    }
    const std::string parameters = argv[1];
    const int show = argc > 2 ? std::atoi(argv[2]) : 5;
    const Request request = quill::printui::Parse(parameters);
    bool ok = false;
    switch (request.kind) {
    case Request::SetDefault:
        ok = SetDefault(request.printer);
        ::syslog(ok ? LOG_INFO : LOG_WARNING, "default printer %s: %s", request.printer.c_str(), ok ? "set" : "failed");
        break;
    case Request::Properties:
    case Request::Preferences:
    case Request::PrinterSettings:
    case Request::PrintersFolder: {
        const char* base = std::getenv("QUILL_CUPS_WEB_URL");
        const std::string page = quill::printui::WebPage(request, base && *base ? base : "http://localhost:631");
        if (show == 0) {
            ::syslog(LOG_INFO, "hidden: not opening %s", page.c_str());
            ok = true;
        } else {
            ok = Open(page);
            ::syslog(ok ? LOG_INFO : LOG_WARNING, "opening %s: %s", page.c_str(), ok ? "done" : "failed");
        }
        break;
    }
    case Request::AddConnection:
        ::syslog(LOG_WARNING, "connecting to %s is not provided", request.printer.c_str());
        break;
    case Request::Invalid: ::syslog(LOG_WARNING, "parameters not understood: %s", parameters.c_str()); break;
    }
    return ok ? 0 : 1;
}
