#pragma once

#include <string>

// The parameter strings that the program hands to the printer user-interface helper and
// that the helper reads: one definition for both sides.
namespace quill::platform::helper {

// The printer user interface's entry points, as parameter strings for "rundll32.exe".
inline constexpr const char* kPrintUiEntry = "printui.dll,PrintUIEntry ";
inline constexpr const char* kPrintersFolder = "SHELL32.DLL,SHHelpShortcuts_RunDLL PrintersFolder";

// The options of the entry point that name a printer.
inline constexpr const char* kSetDefault = "/y";
inline constexpr const char* kProperties = "/p";
inline constexpr const char* kPreferences = "/e";
inline constexpr const char* kPrinterSettings = "/Xg";
// Adds a connection: followed by " /n" and the path, without quotes.
inline constexpr const char* kAddConnection = "/in";

// A watched helper finds the descriptor of its outcome in this variable and writes one
// line there: kDone when the command was carried out, else the reason why not.
inline constexpr const char* kOutcomeVariable = "QUILL_HELPER_OUTCOME_FD";
inline constexpr const char* kDone = "done";

// kPrintUiEntry + option + " /n " + '"' + name + '"': the name unchanged.
inline std::string ForPrinter(const std::string& option, const std::string& printerName) {
    return std::string(kPrintUiEntry) + option + " /n \"" + printerName + "\"";
}
// kPrintUiEntry + "/in /n" + path.
inline std::string ForConnection(const std::string& path) {
    return std::string(kPrintUiEntry) + kAddConnection + " /n" + path;
}

} // namespace quill::platform::helper
