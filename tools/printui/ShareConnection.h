#pragma once

#include <optional>
#include <string>

namespace quill::printui {

// A printer that another computer shares, named "\\host\share" or "\\host:port\share".
struct SharePath {
    std::string host;  // a name or an address, an IPv6 address in brackets
    int port = 0;      // 0 when the path names none: the server's usual port
    std::string share; // as typed
};

// The path's parts; nullopt, with the reason in error, when the path cannot name a
// printer of another computer.
std::optional<SharePath> ParseSharePath(const std::string& path, std::string& error);

// The other computer's queue: the share name mapped as "Share Out" maps it, so that a
// share made there is found here.
std::string RemoteQueue(const SharePath& path);
// The local queue of the connection, "remote-share@host" or "remote-share@host:port": a
// valid queue name (the share part is cut first, so that the server stays in the name).
std::string ConnectionQueue(const SharePath& path);
// The connection's device: the shared printer (or class: CUPS serves both under
// /printers/) on the other computer's server.
std::string DeviceUri(const SharePath& path);

// Adds to the local server a raw queue, enabled and accepting jobs, that prints to the
// shared printer named by path. True when the connection is there, made now or before
// (a local queue that prints to that printer, whatever its name, is the connection);
// outcome says what was done, or why nothing was. A printer that the other computer does
// not share or whose server does not answer in time leaves both servers as they were.
bool AddConnection(const std::string& path, std::string& outcome);

} // namespace quill::printui
