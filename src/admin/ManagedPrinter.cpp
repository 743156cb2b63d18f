#include "admin/ManagedPrinter.h"

#include "spooler/LastError.h"

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

namespace {

bool MarkedForDeletion(const spooler::PrinterInfo2& record) {
    return (record.Status & spooler::PRINTER_STATUS_PENDING_DELETION) != 0;
}

} // namespace

Removal RemovePrinter(spooler::Spooler& spooler, const std::string& printerName) {
    auto handle = spooler.OpenPrinterA(printerName, spooler::PRINTER_ALL_ACCESS);
    // A server that could not be asked is no answer that the printer is not there.
    if (!handle)
        return spooler::GetLastError() == spooler::ERROR_INVALID_PRINTER_NAME ? Removal::Absent : Removal::Failed;
    if (!spooler.DeletePrinter(*handle)) return Removal::Failed;
    // Still there: marked, for the jobs it holds.
    return spooler.OpenPrinterA(printerName, spooler::PRINTER_ALL_ACCESS) ? Removal::Pending : Removal::Removed;
}

bool FinishRemoval(spooler::Spooler& spooler, const std::string& printerName) {
    auto handle = spooler.OpenPrinterA(printerName, spooler::PRINTER_ALL_ACCESS);
    if (!handle) return false;
    const auto record = spooler.GetPrinterA(*handle);
    if (!record || !MarkedForDeletion(*record)) return false;
    // Deleting a marked printer deletes it once it holds no job, and marks it again else.
    return !spooler.DeletePrinter(*handle) || spooler.OpenPrinterA(printerName, spooler::PRINTER_ALL_ACCESS);
}

std::optional<bool> KeepPrinter(spooler::Spooler& spooler, const std::string& printerName) {
    auto handle = spooler.OpenPrinterA(printerName, spooler::PRINTER_ALL_ACCESS);
    if (!handle) return std::nullopt;
    auto record = spooler.GetPrinterA(*handle);
    if (!record) return false;
    if (!MarkedForDeletion(*record)) return std::nullopt;
    record->Status &= ~spooler::PRINTER_STATUS_PENDING_DELETION;
    return spooler.SetPrinterA(*handle, *record);
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
