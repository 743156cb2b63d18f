#pragma once

#include "CupsConnection.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quill::printui {

// One supply the printer reports (marker-names and its companions, at the same index).
// Levels are percentages; a negative level means the printer does not know it.
struct Marker {
    std::string name;
    int level = -1;
    std::string color; // "#RRGGBB" (several for a multi-colour supply), "none" or empty
    std::string type;  // toner, ink-cartridge, waste-toner, ...
    int low = -1;      // the level at which it counts as low (marker-low-levels), -1 when not given
    int high = -1;     // the level at which it counts as full (marker-high-levels), -1 when not given
};

// Who may print on a queue: everyone, only the users and groups listed, or everyone but
// them. Groups are written "@group", as CUPS does.
enum class Access { Everyone, OnlyListed, AllButListed };

// What the Properties dialog shows of a queue and may change.
struct PrinterProperties {
    std::string description; // printer-info
    std::string location;
    std::string device;       // device-uri
    std::string driver;       // printer-make-and-model, shown only
    std::string stateMessage; // printer-state-message, shown only
    // printer-state-reasons without "none", shown only.
    std::vector<std::string> stateReasons;
    // The driver chosen with "Change…" (a ppd-name of the server's, or kEverywhere) and
    // what it is called; empty while the queue keeps its driver.
    std::string newDriver;
    std::string newDriverLabel;
    // Defaults for everyone (options as NAME, VALUE) that the dialog changed; in the
    // properties before a change, what those options were.
    std::vector<std::pair<std::string, std::string>> serverDefaults;
    bool enabled = true;   // not stopped
    bool accepting = true; // accepting jobs
    bool shared = false;
    // The share-name class of a printer of this computer that is shared under another
    // name than its queue's (a one-member class); empty when there is none.
    std::string shareClass;
    // A connection (another computer's printer, or a queue whose device is a printer
    // on another computer): shown, never changed here.
    bool connection = false;

    // What the server does when the printer fails (printer-error-policy), under which
    // operation policy it runs (printer-op-policy), and the banners it prints before and
    // after each job (job-sheets-default); each with the server's choices.
    std::string errorPolicy;
    std::vector<std::string> errorPolicies;
    std::string opPolicy;
    std::vector<std::string> opPolicies;
    std::string bannerStart = "none";
    std::string bannerEnd = "none";
    std::vector<std::string> banners;
    // requesting-user-name-allowed / -denied.
    Access access = Access::Everyone;
    std::vector<std::string> accessList;
    // The supplies the printer reports, in its order; none when it reports none.
    std::vector<Marker> markers;
};

// The supplies an answer reports in its marker-* attributes, in its order.
std::vector<Marker> MarkersOf(ipp_t* answer);

// The queue's properties, or nullopt with CUPS' reason.
std::optional<PrinterProperties> ReadProperties(const PrinterAddress& address, std::string& error);

// Sends what differs between before and after: CUPS-Add-Modify-Printer for description,
// location, device and sharing, then one each for the operation policy, the error policy,
// the banners and who may print, then Pause-/Resume-Printer and CUPS-Reject-/Accept-Jobs,
// the defaults for everyone, a new driver, and for a printer no longer shared the deletion
// of its share-name class.
// When a step is refused, the steps already taken are undone, so the queue is left as
// it was, and false comes back with CUPS' reason.
bool ApplyProperties(const PrinterAddress& address, const PrinterProperties& before, const PrinterProperties& after,
                     std::string& error);

} // namespace quill::printui
