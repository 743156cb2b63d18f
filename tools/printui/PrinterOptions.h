#pragma once

#include "CupsConnection.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quill::printui {

struct Choice {
    std::string value; // as written to lpoptions
    std::string label; // as shown
};

// One option of the Printing Preferences dialog: a list of choices, or a number
// between minimum and maximum when choices is empty.
struct PrinterOption {
    std::string name; // the lpoptions name: an IPP attribute or a PPD keyword
    std::string label;
    std::vector<Choice> choices;
    int minimum = 1;
    int maximum = 1;
    std::string preset; // the user's saved choice, else the printer's default
    bool fromPpd = false;
};

// Whose choices ReadOptions presets: the user's (lpoptions over the server's defaults), or
// the server's defaults for everyone alone.
enum class Presets { User, Server };

// The options the printer supports among paper size, two-sided printing, colour mode,
// print quality, orientation, pages per sheet and copies, and for a PPD queue its own
// options; each preset. Nullopt with CUPS' reason, or the reason the user's lpoptions
// cannot be read.
std::optional<std::vector<PrinterOption>> ReadOptions(const PrinterAddress& address, std::string& error,
                                                      Presets presets = Presets::User);

// Writes the options as the user's defaults for the printer, as `lpoptions -p QUEUE -o
// NAME=VALUE ...` does, once the server has confirmed the printer: only the printer's
// line of ~/.cups/lpoptions changes (replaced in one step), so the user's other
// printers, options and default printer stay. False with the reason (CUPS', or why the
// file cannot be read or written), the file unchanged.
bool SaveOptions(const PrinterAddress& address, const std::vector<std::pair<std::string, std::string>>& options,
                 std::string& error);

// Makes the printer the user's default printer, as `lpoptions -d QUEUE` does, once the
// server has confirmed it: the "Default" line moves to the printer's line and every
// printer's options stay. False with the reason, the file unchanged.
bool SetDefaultPrinter(const PrinterAddress& address, std::string& error);

} // namespace quill::printui
