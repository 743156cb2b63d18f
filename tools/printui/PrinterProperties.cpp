#include "PrinterProperties.h"

#include "ServerDefaults.h"

#include "spooler/CupsShareNames.h"
#include "spooler/LastError.h"
#include "spooler/PrinterName.h"

#include <functional>
#include <vector>

namespace quill::printui {
namespace {

// A device that is a printer on another computer makes the queue a connection.
bool IsRemoteDevice(const std::string& device) {
    char scheme[32], user[256], host[256], resource[1024];
    int port = 0;
    if (httpSeparateURI(HTTP_URI_CODING_ALL, device.c_str(), scheme, sizeof scheme, user, sizeof user, host,
                        sizeof host, &port, resource, sizeof resource) < HTTP_URI_STATUS_OK)
        return false;
    const std::string s = scheme;
    return (s == "ipp" || s == "ipps" || s == "http" || s == "https") && !spooler::IsLocalHost(host);
}

bool BoolOf(ipp_t* answer, const char* name, bool otherwise) {
    ipp_attribute_t* attr = ippFindAttribute(answer, name, IPP_TAG_BOOLEAN);
    return attr ? ippGetBoolean(attr, 0) != 0 : otherwise;
}

// Sends the request to the printer's administration; false with the reason when it failed.
bool Administer(spooler::CupsConnection& connection, ipp_t* request, std::string& error) {
    if (connection.Send(request, "/admin/")) return true;
    error = spooler::LastFailure().reason;
    return false;
}

// CUPS-Add-Modify-Printer with the description, location, device and sharing of
// `values` where they differ from `from`; true when nothing differs.
bool Modify(spooler::CupsConnection& connection, const PrinterAddress& address, const PrinterProperties& from,
            const PrinterProperties& values, std::string& error) {
    ipp_t* request = NewPrinterRequest(IPP_OP_CUPS_ADD_MODIFY_PRINTER, address);
    bool any = false;
    if (values.description != from.description) {
        ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-info", nullptr, values.description.c_str());
        any = true;
    }
    if (values.location != from.location) {
        ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-location", nullptr, values.location.c_str());
        any = true;
    }
    if (values.device != from.device) {
        ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_URI, "device-uri", nullptr, values.device.c_str());
        any = true;
    }
    if (values.shared != from.shared) {
        ippAddBoolean(request, IPP_TAG_PRINTER, "printer-is-shared", values.shared ? 1 : 0);
        any = true;
    }
    if (!any) {
        ippDelete(request);
        return true;
    }
    return Administer(connection, request, error);
}

// CUPS-Add-Modify-Printer with the attributes that add puts in.
bool ModifyWith(spooler::CupsConnection& connection, const PrinterAddress& address,
                const std::function<void(ipp_t*)>& add, std::string& error) {
    ipp_t* request = NewPrinterRequest(IPP_OP_CUPS_ADD_MODIFY_PRINTER, address);
    add(request);
    return Administer(connection, request, error);
}

void AddNames(ipp_t* request, const char* name, const std::vector<std::string>& values) {
    std::vector<const char*> texts;
    for (const std::string& value : values) texts.push_back(value.c_str());
    ippAddStrings(request, IPP_TAG_PRINTER, IPP_TAG_NAME, name, static_cast<int>(texts.size()), nullptr, texts.data());
}

// Who may print, as lpadmin -u sends it: one list, of the allowed or of the denied users;
// everyone is the allowed list "all".
void AddAccess(ipp_t* request, Access access, const std::vector<std::string>& list) {
    if (access == Access::Everyone || list.empty()) AddNames(request, "requesting-user-name-allowed", {"all"});
    else
        AddNames(request, access == Access::OnlyListed ? "requesting-user-name-allowed" : "requesting-user-name-denied",
                 list);
}

std::vector<std::string> TextsOf(ipp_t* answer, const char* name) {
    std::vector<std::string> texts;
    ipp_attribute_t* attr = ippFindAttribute(answer, name, IPP_TAG_ZERO);
    for (int i = 0; attr && i < ippGetCount(attr); ++i) {
        const char* text = ippGetString(attr, i, nullptr);
        texts.emplace_back(text ? text : "");
    }
    return texts;
}

std::vector<int> IntegersOf(ipp_t* answer, const char* name) {
    std::vector<int> values;
    ipp_attribute_t* attr = ippFindAttribute(answer, name, IPP_TAG_INTEGER);
    for (int i = 0; attr && i < ippGetCount(attr); ++i) values.push_back(ippGetInteger(attr, i));
    return values;
}

void ReadPolicies(ipp_t* answer, PrinterProperties& p) {
    p.errorPolicy = spooler::Text(answer, "printer-error-policy");
    p.errorPolicies = TextsOf(answer, "printer-error-policy-supported");
    p.opPolicy = spooler::Text(answer, "printer-op-policy");
    p.opPolicies = TextsOf(answer, "printer-op-policy-supported");
    const auto sheets = TextsOf(answer, "job-sheets-default");
    if (!sheets.empty()) p.bannerStart = sheets[0];
    if (sheets.size() > 1) p.bannerEnd = sheets[1];
    p.banners = TextsOf(answer, "job-sheets-supported");

    // CUPS keeps one list: of the allowed users, or of the denied ones.
    const auto allowed = TextsOf(answer, "requesting-user-name-allowed");
    const auto denied = TextsOf(answer, "requesting-user-name-denied");
    if (!allowed.empty() && allowed != std::vector<std::string>{"all"}) {
        p.access = Access::OnlyListed;
        p.accessList = allowed;
    } else if (!denied.empty() && denied != std::vector<std::string>{"none"}) {
        p.access = Access::AllButListed;
        p.accessList = denied;
    }

    p.markers = MarkersOf(answer);
}

bool Operation(spooler::CupsConnection& connection, const PrinterAddress& address, ipp_op_t operation,
               std::string& error) {
    return Administer(connection, NewPrinterRequest(operation, address), error);
}

} // namespace

std::vector<Marker> MarkersOf(ipp_t* answer) {
    std::vector<Marker> markers;
    const auto names = TextsOf(answer, "marker-names");
    const auto levels = IntegersOf(answer, "marker-levels");
    const auto colors = TextsOf(answer, "marker-colors");
    const auto types = TextsOf(answer, "marker-types");
    const auto lows = IntegersOf(answer, "marker-low-levels");
    const auto highs = IntegersOf(answer, "marker-high-levels");
    for (std::size_t i = 0; i < names.size(); ++i) {
        Marker m;
        m.name = names[i];
        if (i < levels.size()) m.level = levels[i];
        if (i < colors.size()) m.color = colors[i];
        if (i < types.size()) m.type = types[i];
        if (i < lows.size()) m.low = lows[i];
        if (i < highs.size()) m.high = highs[i];
        markers.push_back(std::move(m));
    }
    return markers;
}

std::optional<PrinterProperties> ReadProperties(const PrinterAddress& address, std::string& error) {
    const auto connection = Connect(address, error);
    if (!connection) return std::nullopt;
    static const char* const kAttributes[] = {"printer-info",
                                              "printer-location",
                                              "device-uri",
                                              "printer-make-and-model",
                                              "printer-state",
                                              "printer-state-message",
                                              "printer-is-accepting-jobs",
                                              "printer-is-shared",
                                              "printer-type",
                                              "printer-error-policy",
                                              "printer-error-policy-supported",
                                              "printer-op-policy",
                                              "printer-op-policy-supported",
                                              "job-sheets-default",
                                              "job-sheets-supported",
                                              "requesting-user-name-allowed",
                                              "requesting-user-name-denied",
                                              "marker-names",
                                              "marker-levels",
                                              "marker-colors",
                                              "marker-types",
                                              "marker-low-levels",
                                              "marker-high-levels",
                                              "printer-state-reasons"};
    ipp_t* request = NewPrinterRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, address);
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  static_cast<int>(std::size(kAttributes)), nullptr, kAttributes);
    const Ipp answer = connection->Send(request);
    if (!answer) {
        error = spooler::LastFailure().reason;
        return std::nullopt;
    }
    PrinterProperties p;
    p.description = spooler::Text(answer.get(), "printer-info");
    p.location = spooler::Text(answer.get(), "printer-location");
    p.device = spooler::Text(answer.get(), "device-uri");
    p.driver = spooler::Text(answer.get(), "printer-make-and-model");
    p.stateMessage = spooler::Text(answer.get(), "printer-state-message");
    if (ipp_attribute_t* reasons = ippFindAttribute(answer.get(), "printer-state-reasons", IPP_TAG_KEYWORD))
        for (int i = 0; i < ippGetCount(reasons); ++i)
            if (const char* reason = ippGetString(reasons, i, nullptr); reason && std::string(reason) != "none")
                p.stateReasons.emplace_back(reason);
    ipp_attribute_t* state = ippFindAttribute(answer.get(), "printer-state", IPP_TAG_ENUM);
    p.enabled = !state || ippGetInteger(state, 0) != IPP_PSTATE_STOPPED;
    p.accepting = BoolOf(answer.get(), "printer-is-accepting-jobs", true);
    p.shared = BoolOf(answer.get(), "printer-is-shared", false);
    ipp_attribute_t* type = ippFindAttribute(answer.get(), "printer-type", IPP_TAG_ENUM);
    const bool remoteType = type && (ippGetInteger(type, 0) & CUPS_PRINTER_REMOTE) != 0;
    p.connection = !address.local() || (p.device.empty() ? remoteType : IsRemoteDevice(p.device));
    ReadPolicies(answer.get(), p);
    if (address.local()) {
        // Unsharing removes the share-name class read here: an unknown one would stay live.
        const auto classes = spooler::ShareNameClasses(*connection, address.queue);
        if (!classes) {
            error = spooler::LastFailure().reason;
            return std::nullopt;
        }
        if (!classes->empty()) p.shareClass = classes->front();
    }
    return p;
}

bool ApplyProperties(const PrinterAddress& address, const PrinterProperties& before, const PrinterProperties& after,
                     std::string& error) {
    const auto connection = Connect(address, error);
    if (!connection) return false;

    // Each step with the step that takes it back.
    struct Step {
        std::function<bool(std::string&)> apply;
        std::function<bool(std::string&)> undo;
    };
    std::vector<Step> steps;
    steps.push_back({[&](std::string& e) { return Modify(*connection, address, before, after, e); },
                     [&](std::string& e) { return Modify(*connection, address, after, before, e); }});
    // One request per policy: CUPS takes the attributes before a refused one, so a
    // request holding several could be half taken.
    const auto modifyStep = [&](bool changed, std::function<void(ipp_t*, const PrinterProperties&)> add) {
        if (!changed) return;
        steps.push_back({[&, add](std::string& e) {
                             return ModifyWith(
                                 *connection, address, [&](ipp_t* r) { add(r, after); }, e);
                         },
                         [&, add](std::string& e) {
                             return ModifyWith(
                                 *connection, address, [&](ipp_t* r) { add(r, before); }, e);
                         }});
    };
    modifyStep(after.opPolicy != before.opPolicy, [](ipp_t* r, const PrinterProperties& p) {
        ippAddString(r, IPP_TAG_PRINTER, IPP_TAG_NAME, "printer-op-policy", nullptr, p.opPolicy.c_str());
    });
    modifyStep(after.errorPolicy != before.errorPolicy, [](ipp_t* r, const PrinterProperties& p) {
        ippAddString(r, IPP_TAG_PRINTER, IPP_TAG_NAME, "printer-error-policy", nullptr, p.errorPolicy.c_str());
    });
    modifyStep(after.bannerStart != before.bannerStart || after.bannerEnd != before.bannerEnd,
               [](ipp_t* r, const PrinterProperties& p) {
                   AddNames(r, "job-sheets-default", {p.bannerStart, p.bannerEnd});
               });
    modifyStep(after.access != before.access || after.accessList != before.accessList,
               [](ipp_t* r, const PrinterProperties& p) { AddAccess(r, p.access, p.accessList); });

    if (after.enabled != before.enabled) {
        const ipp_op_t on = IPP_OP_RESUME_PRINTER, off = IPP_OP_PAUSE_PRINTER;
        steps.push_back(
            {[&, on, off](std::string& e) { return Operation(*connection, address, after.enabled ? on : off, e); },
             [&, on, off](std::string& e) { return Operation(*connection, address, after.enabled ? off : on, e); }});
    }
    if (after.accepting != before.accepting) {
        const ipp_op_t on = IPP_OP_CUPS_ACCEPT_JOBS, off = IPP_OP_CUPS_REJECT_JOBS;
        steps.push_back(
            {[&, on, off](std::string& e) { return Operation(*connection, address, after.accepting ? on : off, e); },
             [&, on, off](std::string& e) { return Operation(*connection, address, after.accepting ? off : on, e); }});
    }

    if (after.serverDefaults != before.serverDefaults) {
        steps.push_back({[&](std::string& e) { return SaveServerDefaults(address, after.serverDefaults, e); },
                         [&](std::string& e) { return SaveServerDefaults(address, before.serverDefaults, e); }});
    }
    // The old driver is not known by its ppd-name (CUPS does not report it): a new one is
    // not taken back, so it comes after every step that can be.
    if (!after.newDriver.empty()) {
        steps.push_back({[&](std::string& e) {
                             ipp_t* request = NewPrinterRequest(IPP_OP_CUPS_ADD_MODIFY_PRINTER, address);
                             ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_NAME, "ppd-name", nullptr,
                                          after.newDriver.c_str());
                             return Administer(*connection, request, e);
                         },
                         [](std::string&) { return true; }});
    }

    // An unshared printer is reached under no name: its share-name class goes too. Last,
    // as it cannot be taken back.
    if (!after.shared && !before.shareClass.empty()) {
        steps.push_back({[&](std::string& e) {
                             if (spooler::RemoveShareNameClasses(*connection, {before.shareClass})) return true;
                             e = spooler::LastFailure().reason;
                             return false;
                         },
                         [](std::string&) { return true; }});
    }

    for (std::size_t i = 0; i < steps.size(); ++i) {
        if (steps[i].apply(error)) continue;
        // CUPS checks a whole modification before it takes any of it (a device it
        // refuses leaves the description alone too), so only the earlier steps are
        // taken back.
        for (std::size_t j = i; j-- > 0;) {
            std::string undoError;
            if (!steps[j].undo(undoError)) error += "\nThe changes already made could not be taken back: " + undoError;
        }
        return false;
    }
    return true;
}

} // namespace quill::printui
