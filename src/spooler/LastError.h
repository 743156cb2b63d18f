#pragma once

#include <cstdint>
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

} // namespace quill::spooler
