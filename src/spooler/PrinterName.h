#pragma once

#include <string>

namespace quill::spooler {

// The CUPS queue for a printer name: every byte CUPS refuses in a queue name (control
// characters, blank, DEL, '/', '#', '\', '?', '\'', '"') becomes '_', and the result
// is cut to 127 bytes. "QUILL Amber PDF Creator" is the queue QUILL_Amber_PDF_Creator.
std::string QueueName(const std::string& printerName);

// Whether two printer names address the same queue (CUPS ignores case in queue names).
bool SameQueue(const std::string& a, const std::string& b);

// A name of the form "host\queue" or "\\host\queue" split at its last backslash;
// host is empty for a plain printer name.
struct PrinterPath {
    std::string host;
    std::string printer;
};
PrinterPath SplitPrinterPath(const std::string& name);

// This computer's name ("localhost" when it cannot be read).
std::string ThisComputerName();

// Whether a host name means this computer's own print server; ownName is
// ThisComputerName(), passed in where many names are tested at once.
bool IsLocalHost(const std::string& host, const std::string& ownName);
bool IsLocalHost(const std::string& host);

} // namespace quill::spooler
