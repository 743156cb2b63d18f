#pragma once

#include "spooler/PrinterName.h"

#include <cups/cups.h>
#include <sys/types.h>

#include <optional>
#include <string>

namespace quill::spooler {

// A TCP address of this computer where the server behind a local-socket connection
// listens too, so that a request can be asked there once more with a user name and
// password. Such a name and password must never reach another program, so an address
// counts only when the kernel tells that its listener belongs to the server's own user
// (the one at the other end of the local socket), and that user is root or the user of
// this process: no other local user can own such a listener. Where the kernel cannot be
// asked, only the system's own socket with a privileged port (below 1024) counts.
struct TcpTwin {
    HostPort address; // a numeric loopback address and port
    uid_t owner = 0;  // whose listener it is
};

// The address for the server behind local (a connection to a local socket) at port;
// nullopt when no address is known to be the same server's.
std::optional<TcpTwin> TcpTwinOf(http_t* local, int port);

// Whether the other end of the TCP connection tcp is a socket of owner's, as the kernel
// tells it (or cannot tell, for a privileged port).
bool ServedBy(http_t* tcp, const TcpTwin& twin);

} // namespace quill::spooler
