#include "spooler/LastError.h"

namespace quill::spooler {
namespace {

thread_local std::uint32_t lastError = ERROR_SUCCESS;
thread_local std::string lastErrorText;

} // namespace

std::uint32_t GetLastError() { return lastError; }

void SetLastError(std::uint32_t code) {
    lastError = code;
    lastErrorText.clear();
}

void SetLastError(std::uint32_t code, const std::string& text) {
    lastError = code;
    lastErrorText = text;
}

const std::string& GetLastErrorText() { return lastErrorText; }

} // namespace quill::spooler
