#include "admin/ManagedPrinter.h"

namespace quill::admin {

bool PrinterExists(spooler::Spooler& spooler, const std::string& printerName) {
    return spooler.OpenPrinterA(printerName, spooler::PRINTER_ALL_ACCESS) != nullptr;
}

bool InstallManagedPrinter(spooler::Spooler& spooler) {
    spooler::PrinterInfo2 printer;
    printer.pPrinterName = kManagedPrinter;
    printer.pPortName = kManagedPort;
    printer.pDriverName = kManagedPrinter;
    printer.pComment = kManagedComment;
    printer.pPrintProcessor = "WinPrint";
    printer.pDatatype = "RAW";
    // Its port writes a job into its user's PDF folder only when the server authenticated
    // the user; this policy (Debian's cupsd.conf has it) asks for that, which on the local
    // socket takes no password.
    printer.pSecurityDescriptor = kManagedPolicy;
    return spooler.AddPrinterA(printer) != nullptr; // the handle, if any, is closed at once
}

void RemovePrinter(spooler::Spooler& spooler, const std::string& printerName) {
    if (auto handle = spooler.OpenPrinterA(printerName, spooler::PRINTER_ALL_ACCESS)) spooler.DeletePrinter(*handle);
}

bool SharePrinter(spooler::Spooler& spooler, const std::string& printerName, const std::string& shareName) {
    auto handle = spooler.OpenPrinterA(printerName, spooler::PRINTER_ALL_ACCESS);
    if (!handle) return false;
    auto record = spooler.GetPrinterA(*handle);
    if (!record) return false;
    // Everything else is written back as read.
    record->pShareName = shareName;
    record->Attributes |= spooler::PRINTER_ATTRIBUTE_SHARED;
    // Other programs learn of the change from the spooler itself (CUPS announces shared
    // printers); there is no window message to send on this platform.
    return spooler.SetPrinterA(*handle, *record);
}

} // namespace quill::admin
