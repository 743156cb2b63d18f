#pragma once

#include <cups/http.h>

#include <chrono>
#include <string>

namespace quill::spooler {

// The addresses of a print server's name (or address, or local socket path), looked up
// until `until` at most and given up at once when the calling thread's requests are to
// give up (AbortScope): a name server that does not answer would otherwise hold a request
// for as long as the resolver keeps trying, seconds before any connect bound starts.
// nullptr with the reason when there are none in time. Free with httpAddrFreeList.
http_addrlist_t* LookUpServer(const std::string& host, int port, std::chrono::steady_clock::time_point until,
                              std::string& reason);

} // namespace quill::spooler
