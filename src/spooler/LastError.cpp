#include "spooler/LastError.h"

namespace quill::spooler {
namespace {

thread_local std::uint32_t lastError = ERROR_SUCCESS;

} // namespace

std::uint32_t GetLastError() { return lastError; }

void SetLastError(std::uint32_t code) { lastError = code; }

} // namespace quill::spooler
