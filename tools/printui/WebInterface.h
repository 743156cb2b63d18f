#pragma once

#include "CupsConnection.h"

#include <string>

namespace quill::printui {

// Where the web interface of a printer's server answers, as "http://host:port": the
// host and port libcups really connects to. A local socket names no port (and cupsd
// names none in its answers over one), so there it is localhost at libcups' IPP port.
std::string WebInterfaceBase(const PrinterAddress& address);

} // namespace quill::printui
