#include "admin/PrinterCommands.h"

namespace quill::admin {

std::string PrintUiParameters(const std::string& option, const std::string& printerName) {
    return std::string(kPrintUiEntry) + option + " /n \"" + printerName + "\"";
}

void RunPrinterCommand(platform::Launcher& launcher, const std::string& parameters, int showCommand) {
    launcher.ShellExecuteA("rundll32.exe", parameters, showCommand);
}

} // namespace quill::admin
