#pragma once

#include "platform/Launcher.h"

#include <string>

namespace quill::admin {

// The printer user interface's entry points, as parameter strings for "rundll32.exe".
inline constexpr const char* kPrintUiEntry = "printui.dll,PrintUIEntry ";
inline constexpr const char* kPrintersFolder = "SHELL32.DLL,SHHelpShortcuts_RunDLL PrintersFolder";

// "printui.dll,PrintUIEntry " + option + " /n " + '"' + name + '"': the name unchanged.
std::string PrintUiParameters(const std::string& option, const std::string& printerName);

// Starts the printer user interface with the parameter string; never waits, never reports.
void RunPrinterCommand(platform::Launcher& launcher, const std::string& parameters, int showCommand);
// Starts it as RunPrinterCommand does; the descriptor reaches end of file when the
// printer user interface has ended (-1: its end cannot be watched).
int RunPrinterCommandWatched(platform::Launcher& launcher, const std::string& parameters, int showCommand);

} // namespace quill::admin
