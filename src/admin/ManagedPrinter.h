#pragma once

#include "spooler/Spooler.h"

#include <string>

namespace quill::admin {

// The managed printer and what installing it takes.
inline constexpr const char* kManagedPrinter = "QUILL Amber PDF Creator";
inline constexpr const char* kManagedPort = "pdfinst";
inline constexpr const char* kManagedComment = "Create PDF document";
inline constexpr const char* kCompanionProgram = "SetupAid.exe";
inline constexpr const char* kDefaultShareName = "QUILL";
// The print server's operation policy the managed printer gets: printing needs an
// authenticated user.
inline constexpr const char* kManagedPolicy = "authenticated";

// Whether the printer can be opened with full access (one that cannot counts as absent).
bool PrinterExists(spooler::Spooler& spooler, const std::string& printerName);
// Adds the managed printer to the local spooler; false when it was not added, with the
// reason as the thread's last error.
bool InstallManagedPrinter(spooler::Spooler& spooler);
// Deletes the printer; nothing is reported.
void RemovePrinter(spooler::Spooler& spooler, const std::string& printerName);
// Shares the printer under the share name; true on success, else the reason is the
// thread's last error.
bool SharePrinter(spooler::Spooler& spooler, const std::string& printerName, const std::string& shareName);

} // namespace quill::admin
