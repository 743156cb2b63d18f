#pragma once

#include "spooler/Spooler.h"

#include <optional>
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
// What removing a printer came to.
enum class Removal {
    Absent,  // there is no printer of that name
    Removed, // it is gone
    Pending, // it holds jobs: it takes no new ones, prints those and goes with the last
    Failed,  // the spooler refused; the reason is the thread's last error
};
// Deletes the printer; one that still holds jobs is only marked for deletion.
Removal RemovePrinter(spooler::Spooler& spooler, const std::string& printerName);
// Deletes a printer marked for deletion whose last job has ended; whether it is (still)
// marked afterwards. A printer that is not marked is left alone.
bool FinishRemoval(spooler::Spooler& spooler, const std::string& printerName);
// Withdraws the mark of a printer marked for deletion: it accepts jobs again, with its
// settings. Nullopt when it was not marked; else whether it worked (the reason is the
// thread's last error).
std::optional<bool> KeepPrinter(spooler::Spooler& spooler, const std::string& printerName);
// Shares the printer under the share name; true on success, else the reason is the
// thread's last error.
bool SharePrinter(spooler::Spooler& spooler, const std::string& printerName, const std::string& shareName);

} // namespace quill::admin
