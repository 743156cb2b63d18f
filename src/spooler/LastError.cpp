#include "spooler/LastError.h"

#include "spooler/RequestAbort.h"

#include <mutex>

namespace quill::spooler {
namespace {

thread_local Failure lastFailure;

std::mutex sinkMutex;
FailureSink failureSink; // guarded by sinkMutex

} // namespace

std::uint32_t GetLastError() { return lastFailure.code; }

void SetLastError(std::uint32_t code) {
    lastFailure.code = code;
    lastFailure.reason.clear();
}

void SetLastError(std::uint32_t code, const std::string& text) {
    lastFailure.code = code;
    lastFailure.reason = text;
}

const std::string& GetLastErrorText() { return lastFailure.reason; }

Failure LastFailure() { return lastFailure; }

void RecordFailure(const std::string& what, const std::string& reason) {
    lastFailure.reason = reason;
    if (AbortScope::Requested()) return;
    const std::lock_guard<std::mutex> lock(sinkMutex);
    if (failureSink) failureSink(what, lastFailure);
}

void SetFailureSink(FailureSink sink) {
    const std::lock_guard<std::mutex> lock(sinkMutex);
    failureSink = std::move(sink);
}

} // namespace quill::spooler
