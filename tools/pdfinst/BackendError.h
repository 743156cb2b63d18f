#pragma once

#include <stdexcept>
#include <string>

namespace quill::pdfinst {

// The exit codes CUPS gives a backend's status (cups/backend.h).
enum ExitStatus : int {
    kBackendOk = 0,
    kBackendFailed = 1, // the backend or its machine cannot print now: CUPS applies the queue's error policy
    kBackendCancel = 5, // this job cannot be printed: CUPS cancels it and goes on with the next
};

// A job that ends without a PDF: the message goes to CUPS as an "ERROR:" line.
class BackendError : public std::runtime_error {
public:
    BackendError(ExitStatus status, const std::string& message) : std::runtime_error(message), m_status(status) {}
    ExitStatus status() const { return m_status; }

private:
    ExitStatus m_status;
};

} // namespace quill::pdfinst
