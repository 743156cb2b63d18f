// The printer administration of the CUPS adapter: adding, deleting, reading and
// sharing printers of the local server.
#include "spooler/CupsSpooler.h"

#include "spooler/CupsPrinterHandle.h"
#include "spooler/CupsConnection.h"
#include "spooler/CupsShareNames.h"
#include "spooler/LastError.h"
#include "spooler/PrinterName.h"

#include <cups/adminutil.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace quill::spooler {
namespace {

bool SameText(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

// The ppd-name of the installed driver whose make and model (or ppd-name) is driver;
// empty when there is none, nullopt when the server could not be asked.
std::optional<std::string> FindDriver(CupsConnection& connection, const std::string& driver) {
    if (driver.empty()) return "";
    ipp_t* request = NewRequest(CUPS_GET_PPDS);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_TEXT, "ppd-make-and-model", nullptr, driver.c_str());
    static const char* const kWanted[] = {"ppd-name", "ppd-make-and-model"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, kWanted);
    const auto answer = connection.AskForList(request);
    if (!answer) return std::nullopt;
    std::string name, model, found;
    ForEachObject(
        answer.get(), IPP_TAG_PRINTER,
        [&](const std::string& n, ipp_attribute_t* attr) {
            if (n == "ppd-name") name = TextOf(attr);
            else if (n == "ppd-make-and-model") model = TextOf(attr);
        },
        [&] {
            if (found.empty() && !name.empty() && (SameText(model, driver) || name == driver)) found = name;
            name.clear();
            model.clear();
        });
    return found;
}

// Whether the server has a printer or class at the URI; nullopt (with the reason as
// the thread's last error) when it cannot tell.
std::optional<bool> Exists(CupsConnection& connection, const std::string& uri) {
    ipp_t* request = NewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "printer-name");
    const auto answer = connection.AskForList(request);
    if (!answer) return std::nullopt;
    return Holds(answer.get());
}

// The printer-state-reasons keyword of a printer marked for deletion. cupsd keeps it in
// printers.conf with the rejection, so a restarted server still knows the mark.
constexpr const char* kPendingDeletion = "quill-pending-deletion";

// The printer's state reasons and its count of jobs not yet ended; nullopt (with the
// reason as the thread's last error) when the server could not tell.
struct QueueState {
    std::vector<std::string> reasons;
    int jobs = 0;
    bool pending() const { return std::find(reasons.begin(), reasons.end(), kPendingDeletion) != reasons.end(); }
};
std::optional<QueueState> ReadQueueState(CupsConnection& connection, const std::string& queue) {
    ipp_t* request = NewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, PrinterUri(queue));
    static const char* const kWanted[] = {"printer-state-reasons", "queued-job-count"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, kWanted);
    const Ipp answer = connection.Send(request);
    if (!answer) return std::nullopt;
    QueueState state;
    ipp_attribute_t* reasons = ippFindAttribute(answer.get(), "printer-state-reasons", IPP_TAG_KEYWORD);
    for (int i = 0; reasons && i < ippGetCount(reasons); ++i) {
        const char* reason = ippGetString(reasons, i, nullptr);
        if (reason && std::strcmp(reason, "none") != 0) state.reasons.emplace_back(reason);
    }
    ipp_attribute_t* jobs = ippFindAttribute(answer.get(), "queued-job-count", IPP_TAG_INTEGER);
    state.jobs = jobs ? ippGetInteger(jobs, 0) : 0;
    return state;
}

// Sets the printer's state reasons (none left: "none").
bool SetReasons(CupsConnection& connection, const std::string& queue, const std::vector<std::string>& reasons) {
    ipp_t* request = NewRequest(CUPS_ADD_MODIFY_PRINTER, PrinterUri(queue));
    std::vector<const char*> values;
    for (const auto& reason : reasons) values.push_back(reason.c_str());
    if (values.empty()) values.push_back("none");
    ippAddStrings(request, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "printer-state-reasons", static_cast<int>(values.size()),
                  nullptr, values.data());
    return static_cast<bool>(connection.Send(request, "/admin/"));
}

// Gives the printer the server's operation policy of that name where the server has one;
// the printer keeps the server's default otherwise, or when the server refuses.
void SetPolicy(CupsConnection& connection, const std::string& uri, const std::string& policy) {
    ipp_t* request = NewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                 "printer-op-policy-supported");
    const Ipp answer = connection.Send(request);
    ipp_attribute_t* supported =
        answer ? ippFindAttribute(answer.get(), "printer-op-policy-supported", IPP_TAG_NAME) : nullptr;
    for (int i = 0; supported && i < ippGetCount(supported); ++i) {
        const char* name = ippGetString(supported, i, nullptr);
        if (!name || policy != name) continue;
        ipp_t* change = NewRequest(CUPS_ADD_MODIFY_PRINTER, uri);
        ippAddString(change, IPP_TAG_PRINTER, IPP_TAG_NAME, "printer-op-policy", nullptr, policy.c_str());
        connection.Send(change, "/admin/");
        return;
    }
}

bool HasReason(ipp_attribute_t* reasons, const char* prefix) {
    for (int i = 0; reasons && i < ippGetCount(reasons); ++i) {
        const char* value = ippGetString(reasons, i, nullptr);
        if (value && std::strncmp(value, prefix, std::strlen(prefix)) == 0) return true;
    }
    return false;
}

} // namespace

std::uint32_t PrinterStatus(int state, ipp_attribute_t* reasons) {
    std::uint32_t status = 0;
    if (state == IPP_PSTATE_STOPPED) status |= PRINTER_STATUS_PAUSED;
    if (state == IPP_PSTATE_PROCESSING) status |= PRINTER_STATUS_PRINTING;
    static const std::pair<const char*, std::uint32_t> kReasons[] = {
        {"offline", PRINTER_STATUS_OFFLINE},
        {"media-empty", PRINTER_STATUS_PAPER_OUT},
        {"media-needed", PRINTER_STATUS_PAPER_OUT},
        {"media-jam", PRINTER_STATUS_PAPER_JAM},
        {"toner-low", PRINTER_STATUS_TONER_LOW},
        {"toner-empty", PRINTER_STATUS_NO_TONER},
        {"marker-supply-empty", PRINTER_STATUS_NO_TONER},
        {"door-open", PRINTER_STATUS_DOOR_OPEN},
        {"cover-open", PRINTER_STATUS_DOOR_OPEN},
        {kPendingDeletion, PRINTER_STATUS_PENDING_DELETION},
    };
    for (const auto& [prefix, bit] : kReasons)
        if (HasReason(reasons, prefix)) status |= bit;
    for (int i = 0; reasons && i < ippGetCount(reasons); ++i) {
        const char* value = ippGetString(reasons, i, nullptr);
        const std::size_t length = value ? std::strlen(value) : 0;
        if (length > 6 && std::strcmp(value + length - 6, "-error") == 0) status |= PRINTER_STATUS_ERROR;
    }
    return status;
}

std::unique_ptr<PrinterHandle> CupsSpooler::AddPrinterA(const PrinterInfo2& printer) {
    const std::string queue = NewQueueName(printer.pPrinterName);
    if (queue.empty() || !IsLocalHost(printer.pServerName)) {
        SetLastError(ERROR_INVALID_PRINTER_NAME, "Printers are added to this computer's print server only.");
        return nullptr;
    }
    const auto connection = CupsConnection::Open("");
    if (!connection) return nullptr;
    // A printer is added once: an existing one is not changed.
    const auto exists = Exists(*connection, PrinterUri(queue));
    if (!exists) return nullptr;
    if (*exists) {
        SetLastError(ERROR_PRINTER_ALREADY_EXISTS, "A printer or class named " + queue + " exists already.");
        return nullptr;
    }
    // The driver and the port must be installed already; this adds neither.
    const auto ppd = FindDriver(*connection, printer.pDriverName);
    if (!ppd) return nullptr;
    if (ppd->empty()) {
        SetLastError(ERROR_UNKNOWN_PRINTER_DRIVER,
                     "The driver \"" + printer.pDriverName + "\" is not installed on this computer.");
        return nullptr;
    }
    if (printer.pPortName.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER, "The printer has no port.");
        return nullptr;
    }
    ipp_t* request = NewRequest(CUPS_ADD_MODIFY_PRINTER, PrinterUri(queue));
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "ppd-name", nullptr, ppd->c_str());
    ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_URI, "device-uri", nullptr, (printer.pPortName + ":/").c_str());
    ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-info", nullptr, printer.pComment.c_str());
    ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-location", nullptr, printer.pLocation.c_str());
    ippAddBoolean(request, IPP_TAG_PRINTER, "printer-is-accepting-jobs", 1);
    ippAddInteger(request, IPP_TAG_PRINTER, IPP_TAG_ENUM, "printer-state", IPP_PSTATE_IDLE);
    ippAddBoolean(request, IPP_TAG_PRINTER, "printer-is-shared", (printer.Attributes & PRINTER_ATTRIBUTE_SHARED) != 0);
    // CUPS refuses a device whose backend (the port) is not installed.
    if (!connection->Send(request, "/admin/")) return nullptr;
    // Known once the printer exists: the server names its policies to its printers.
    if (!printer.pSecurityDescriptor.empty()) SetPolicy(*connection, PrinterUri(queue), printer.pSecurityDescriptor);
    return std::make_unique<CupsPrinterHandle>(printer.pPrinterName, "", queue);
}

bool CupsSpooler::DeletePrinter(PrinterHandle& printer) {
    auto& handle = static_cast<CupsPrinterHandle&>(printer);
    if (!handle.host().empty()) {
        SetLastError(ERROR_NOT_SUPPORTED, "A printer of another computer is deleted on that computer only.");
        return false;
    }
    const auto connection = CupsConnection::Open("");
    if (!connection) return false;
    // The share-name class goes with the printer.
    const auto shares = ShareNameClasses(*connection, handle.queue());
    if (!shares) return false;
    // CUPS deletes a printer's jobs with it. A printer that holds jobs takes no new ones,
    // prints those it holds and is marked for deletion: deleting it again once its last
    // job has ended deletes it. The jobs are counted after the rejection, so that none
    // comes in between.
    ipp_t* reject = NewRequest(CUPS_REJECT_JOBS, PrinterUri(handle.queue()));
    ippAddString(reject, IPP_TAG_OPERATION, IPP_TAG_TEXT, "printer-state-message", nullptr,
                 "Deleted once its last job has ended.");
    if (!connection->Send(reject, "/admin/")) return false;
    auto state = ReadQueueState(*connection, handle.queue());
    if (!state) return false;
    if (state->jobs > 0 && !state->pending()) {
        state->reasons.emplace_back(kPendingDeletion);
        if (!SetReasons(*connection, handle.queue(), state->reasons)) return false;
        // The last job may have ended meanwhile: then nothing would come to finish it.
        state = ReadQueueState(*connection, handle.queue());
        if (!state) return true; // marked; finished at the next look
    }
    if (state->jobs > 0) return true;
    if (!connection->Send(NewRequest(CUPS_DELETE_PRINTER, PrinterUri(handle.queue())), "/admin/")) return false;
    RemoveShareNameClasses(*connection, *shares);
    return true;
}

std::optional<PrinterInfo2> CupsSpooler::GetPrinterA(PrinterHandle& printer) {
    auto& handle = static_cast<CupsPrinterHandle&>(printer);
    const auto connection = CupsConnection::Open(handle.host());
    if (!connection) return std::nullopt;
    ipp_t* request = NewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, PrinterUri(handle.queue()));
    static const char* const kWanted[] = {
        "printer-name",      "printer-info",  "printer-location",      "device-uri",   "printer-make-and-model",
        "printer-is-shared", "printer-state", "printer-state-reasons", "printer-type", "queued-job-count"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  static_cast<int>(sizeof kWanted / sizeof kWanted[0]), nullptr, kWanted);
    const Ipp answer = connection->Send(request);
    if (!answer) return std::nullopt;
    PrinterInfo2 info;
    info.pServerName = handle.host();
    info.pPrinterName = handle.printerName();
    info.pComment = Text(answer.get(), "printer-info");
    info.pLocation = Text(answer.get(), "printer-location");
    info.pDriverName = Text(answer.get(), "printer-make-and-model");
    // The port is the backend of a device "port:/", else the whole device.
    const std::string device = Text(answer.get(), "device-uri");
    const auto colon = device.find(':');
    info.pPortName = colon != std::string::npos && device.substr(colon) == ":/" ? device.substr(0, colon) : device;
    ipp_attribute_t* type = ippFindAttribute(answer.get(), "printer-type", IPP_TAG_ENUM);
    const bool connected = IsConnection(type ? ippGetInteger(type, 0) : 0, device, *ThisComputer::Now());
    ipp_attribute_t* shared = ippFindAttribute(answer.get(), "printer-is-shared", IPP_TAG_BOOLEAN);
    const bool isShared = shared && ippGetBoolean(shared, 0);
    info.Attributes =
        (connected ? PRINTER_ATTRIBUTE_NETWORK : PRINTER_ATTRIBUTE_LOCAL) | (isShared ? PRINTER_ATTRIBUTE_SHARED : 0);
    if (isShared && handle.host().empty()) {
        const auto shareName = ShareName(*connection, handle.queue());
        if (!shareName) return std::nullopt;
        info.pShareName = *shareName;
    }
    ipp_attribute_t* state = ippFindAttribute(answer.get(), "printer-state", IPP_TAG_ENUM);
    info.Status = PrinterStatus(state ? ippGetInteger(state, 0) : IPP_PSTATE_IDLE,
                                ippFindAttribute(answer.get(), "printer-state-reasons", IPP_TAG_KEYWORD));
    ipp_attribute_t* jobs = ippFindAttribute(answer.get(), "queued-job-count", IPP_TAG_INTEGER);
    info.cJobs = jobs ? static_cast<std::uint32_t>(ippGetInteger(jobs, 0)) : 0;
    return info;
}

bool CupsSpooler::SetPrinterA(PrinterHandle& printer, const PrinterInfo2& info) {
    auto& handle = static_cast<CupsPrinterHandle&>(printer);
    if (!handle.host().empty()) {
        SetLastError(ERROR_NOT_SUPPORTED, "A printer of another computer is changed on that computer only.");
        return false;
    }
    const auto connection = CupsConnection::Open("");
    if (!connection) return false;
    // A record that no longer says the printer is to be deleted withdraws the mark: the
    // printer accepts jobs again.
    if (!(info.Status & PRINTER_STATUS_PENDING_DELETION)) {
        auto state = ReadQueueState(*connection, handle.queue());
        if (!state) return false;
        if (state->pending()) {
            std::erase(state->reasons, std::string(kPendingDeletion));
            if (!SetReasons(*connection, handle.queue(), state->reasons) ||
                !connection->Send(NewRequest(CUPS_ACCEPT_JOBS, PrinterUri(handle.queue())), "/admin/"))
                return false;
        }
    }
    const bool share = (info.Attributes & PRINTER_ATTRIBUTE_SHARED) != 0;
    // A share name other than the queue's own is the printer's share-name class
    // (CupsShareNames.h). Its own class may be kept; any other printer or class of that
    // name belongs to others, and taking it over would turn their jobs into this
    // printer's: refused before anything changes.
    const std::string shareQueue = NewQueueName(info.pShareName);
    const bool byClass = share && !shareQueue.empty() && !SameQueue(shareQueue, handle.queue());
    // Not knowing the printer's share-name classes, a change could leave an old one live.
    const auto known = ShareNameClasses(*connection, handle.queue());
    if (!known) return false;
    const std::vector<std::string>& own = *known;
    if (byClass && std::none_of(own.begin(), own.end(), [&](const auto& c) { return SameQueue(c, shareQueue); })) {
        for (const std::string& uri : {PrinterUri(shareQueue), ClassUri(shareQueue)}) {
            const auto taken = Exists(*connection, uri);
            if (!taken) return false;
            if (*taken) {
                SetLastError(ERROR_PRINTER_ALREADY_EXISTS,
                             "The share name " + shareQueue + " is taken by another printer or class.");
                return false;
            }
        }
    }
    ipp_t* request = NewRequest(CUPS_ADD_MODIFY_PRINTER, PrinterUri(handle.queue()));
    ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-info", nullptr, info.pComment.c_str());
    ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-location", nullptr, info.pLocation.c_str());
    ippAddBoolean(request, IPP_TAG_PRINTER, "printer-is-shared", share);
    if (!connection->Send(request, "/admin/")) return false;
    if (byClass) {
        // A new class starts stopped and rejecting jobs: it is enabled and accepts them.
        request = NewRequest(CUPS_ADD_MODIFY_CLASS, ClassUri(shareQueue));
        const std::string member = PrinterUri(handle.queue());
        ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_URI, "member-uris", nullptr, member.c_str());
        ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-info", nullptr, info.pComment.c_str());
        ippAddBoolean(request, IPP_TAG_PRINTER, "printer-is-shared", 1);
        ippAddBoolean(request, IPP_TAG_PRINTER, "printer-is-accepting-jobs", 1);
        ippAddInteger(request, IPP_TAG_PRINTER, IPP_TAG_ENUM, "printer-state", IPP_PSTATE_IDLE);
        if (!connection->Send(request, "/admin/") ||
            !connection->Send(NewRequest(CUPS_ACCEPT_JOBS, ClassUri(shareQueue)), "/admin/") ||
            !connection->Send(NewRequest(IPP_OP_RESUME_PRINTER, ClassUri(shareQueue)), "/admin/"))
            return false;
    }
    // One share name: a new one replaces the old, and an unshared printer keeps none, so
    // that no other computer reaches it under an old name.
    return RemoveShareNameClasses(*connection, own, byClass ? shareQueue : "");
}

std::optional<bool> CupsSpooler::ServerSharesPrinters() {
    // Unknown is nullopt; the reason is the thread's LastFailure() and goes to the
    // failure sink (Open records its own).
    const auto connection = CupsConnection::Open("");
    if (!connection) return std::nullopt;
    int count = 0;
    cups_option_t* settings = nullptr;
    if (!cupsAdminGetServerSettings(connection->Http(), &count, &settings)) {
        const char* why = cupsLastErrorString();
        SetLastError(ERROR_ACCESS_DENIED, why ? why : "");
        RecordFailure("Get-Server-Settings", why ? why : "");
        return std::nullopt;
    }
    const char* value = cupsGetOption(CUPS_SERVER_SHARE_PRINTERS, count, settings);
    const bool shares = value && std::atoi(value) != 0;
    cupsFreeOptions(count, settings);
    return shares;
}

} // namespace quill::spooler
