#include "admin/PrinterCommands.h"

namespace quill::admin {

namespace {
constexpr const char* kPrinterInterface = "rundll32.exe";
} // namespace

void RunPrinterCommand(platform::Launcher& launcher, const std::string& parameters, int showCommand) {
    launcher.ShellExecuteA(kPrinterInterface, parameters, showCommand);
}

int RunPrinterCommandWatched(platform::Launcher& launcher, const std::string& parameters, int showCommand) {
    return launcher.ShellExecuteWatched(kPrinterInterface, parameters, showCommand);
}

} // namespace quill::admin
