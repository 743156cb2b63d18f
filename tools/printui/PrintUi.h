#pragma once

#include <string>

namespace quill::printui {

// What a parameter string of the program asks for.
struct Request {
    enum Kind {
        Invalid,
        SetDefault,
        Properties,
        Preferences,
        PrinterSettings,
        PrintersFolder,
        AddConnection
    } kind = Invalid;
    std::string printer; // the name between the quotes (or the path after /n for /in)
};

// Parses the parameter string exactly as the program builds it: the printer user
// interface's entry point, an option, and /n with the name in double quotes, where the
// name ends at the last double quote (a name may hold blanks and double quotes).
Request Parse(const std::string& parameters);

// The page of the CUPS web interface for a request, below base (for example
// http://localhost:631): the printer's page for /Xg, the printers page for the Printers
// folder; empty for the other requests, which have dialogs of their own.
std::string WebPage(const Request& request, const std::string& base);

} // namespace quill::printui
