#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace quill::spooler {

// The reason of the calling thread's last failed spooler operation, as the platform's
// last-error code: each thread has its own, and a failing operation sets it before it
// returns its empty result. A successful operation leaves it as it was.
//
// The codes the spooler gives (the platform's documented numbers):
inline constexpr std::uint32_t ERROR_SUCCESS = 0;
inline constexpr std::uint32_t ERROR_ACCESS_DENIED = 5;      // the server refused the request
inline constexpr std::uint32_t ERROR_INVALID_HANDLE = 6;     // a handle or registration that is not valid (any more)
inline constexpr std::uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;  // a buffer could not be allocated
inline constexpr std::uint32_t ERROR_NOT_SUPPORTED = 50;     // the server does not offer the operation
inline constexpr std::uint32_t ERROR_INVALID_PARAMETER = 87; // the server rejected the request's values
inline constexpr std::uint32_t ERROR_TIMEOUT = 1460;         // no answer in the bounded time
inline constexpr std::uint32_t ERROR_BUSY = 170;             // the server is too busy to take the request now
inline constexpr std::uint32_t ERROR_INVALID_PRINTER_NAME = 1801;   // no such printer
inline constexpr std::uint32_t RPC_S_SERVER_UNAVAILABLE = 1722;     // the server cannot be reached
inline constexpr std::uint32_t ERROR_UNKNOWN_PRINTER_DRIVER = 1797; // the driver is not installed
inline constexpr std::uint32_t ERROR_PRINTER_ALREADY_EXISTS = 1802; // the name is taken

std::uint32_t GetLastError();
// Sets the code and forgets the reason's text.
void SetLastError(std::uint32_t code);
// Sets the code with the reason as a sentence for the user (CUPS' own reason where it gave one).
void SetLastError(std::uint32_t code, const std::string& text);
// The reason's text of the last failure; empty when it was not given.
const std::string& GetLastErrorText();

// A failed spooler operation as a value: the code GetLastError gives and the reason in
// words (CUPS' status message, the time-out, the connection's error), empty where none
// was given.
struct Failure {
    std::uint32_t code = ERROR_SUCCESS;
    std::string reason;
};
// The calling thread's last failure.
Failure LastFailure();

// Records why the thread's last request (`what`: its operation) failed, beside the code
// already set, and hands it to the failure sink, unless the thread's requests were
// asked to give up (a window closed: no failure of the server).
void RecordFailure(const std::string& what, const std::string& reason);
// Where every recorded failure goes as well (the program puts it into the system log,
// so that an administrator can see why a window only said that something failed);
// none: nowhere. Called from any thread that makes requests.
using FailureSink = std::function<void(const std::string& what, const Failure& failure)>;
void SetFailureSink(FailureSink sink);

} // namespace quill::spooler
