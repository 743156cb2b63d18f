#include "WebInterface.h"

namespace quill::printui {
namespace {

std::string HostPort(const std::string& host, int port) {
    const bool bare6 = host.find(':') != std::string::npos && host.front() != '[';
    return "http://" + (bare6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

} // namespace

std::string WebInterfaceBase(const PrinterAddress& address) {
    if (!address.local()) return HostPort(address.host, address.port);
    const std::string server = cupsServer();
    if (server.empty() || server.front() == '/') return HostPort("localhost", ippPort());
    return HostPort(server, ippPort());
}

} // namespace quill::printui
