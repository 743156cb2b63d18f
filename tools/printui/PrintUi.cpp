#include "PrintUi.h"

#include "platform/HelperParameters.h"
#include "spooler/PrinterName.h"

#include <cstdio>

namespace quill::printui {
namespace {

using namespace platform::helper;

std::string UrlEncode(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '_' || c == '.' || c == '~';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

} // namespace

Request Parse(const std::string& parameters) {
    Request request;
    if (parameters == kPrintersFolder) {
        request.kind = Request::PrintersFolder;
        return request;
    }
    const std::string entry = kPrintUiEntry;
    if (parameters.rfind(entry, 0) != 0) return request;
    const std::string rest = parameters.substr(entry.size());
    const std::string connection = std::string(kAddConnection) + " /n";
    if (rest.rfind(connection, 0) == 0) {
        request.kind = Request::AddConnection;
        request.printer = rest.substr(connection.size());
        return request;
    }
    struct Option {
        const char* text;
        Request::Kind kind;
    };
    static const Option kOptions[] = {{kSetDefault, Request::SetDefault},
                                      {kProperties, Request::Properties},
                                      {kPreferences, Request::Preferences},
                                      {kPrinterSettings, Request::PrinterSettings}};
    for (const auto& option : kOptions) {
        const std::string prefix = std::string(option.text) + " /n \"";
        if (rest.rfind(prefix, 0) == 0 && rest.size() > prefix.size() && rest.back() == '"') {
            request.kind = option.kind;
            request.printer = rest.substr(prefix.size(), rest.size() - prefix.size() - 1);
            return request;
        }
    }
    return request;
}

std::string WebPage(const Request& request, const std::string& base) {
    const std::string queue = UrlEncode(spooler::QueueName(spooler::SplitPrinterPath(request.printer).printer));
    switch (request.kind) {
    case Request::PrinterSettings: return base + "/printers/" + queue;
    case Request::PrintersFolder: return base + "/printers/";
    default: return "";
    }
}

} // namespace quill::printui
