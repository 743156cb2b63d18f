#pragma once

#include "CupsConnection.h"

#include <string>

namespace quill::printui {

// Where the web interface of a printer's server answers, as "http://host:port": the
// server and port libcups really uses. A local socket carries no port, so the server
// is asked which one its printers' URIs name (cupsd names its loopback port there);
// without printers to ask about, localhost and libcups' port.
std::string WebInterfaceBase(const PrinterAddress& address);

} // namespace quill::printui
