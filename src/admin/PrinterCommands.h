#pragma once

#include "platform/HelperParameters.h"
#include "platform/Launcher.h"

#include <string>

namespace quill::admin {

// The printer user interface's entry points, as parameter strings for "rundll32.exe".
inline constexpr const char* kPrintUiEntry = platform::helper::kPrintUiEntry;
inline constexpr const char* kPrintersFolder = platform::helper::kPrintersFolder;

// "printui.dll,PrintUIEntry " + option + " /n " + '"' + name + '"': the name unchanged.
inline std::string PrintUiParameters(const std::string& option, const std::string& printerName) {
    return platform::helper::ForPrinter(option, printerName);
}

// Starts the printer user interface with the parameter string; never waits, never reports.
void RunPrinterCommand(platform::Launcher& launcher, const std::string& parameters, int showCommand);
// Starts it as RunPrinterCommand does; the descriptor reaches end of file when the
// printer user interface has ended (-1: its end cannot be watched).
int RunPrinterCommandWatched(platform::Launcher& launcher, const std::string& parameters, int showCommand);

} // namespace quill::admin
