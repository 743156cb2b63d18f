#pragma once

#include <atomic>

namespace quill::spooler {

// While a scope lives, the spooler requests of its thread give up, as failures, as
// soon as the flag is set: a window that closes stops waiting for a server that does
// not answer.
class AbortScope {
public:
    explicit AbortScope(const std::atomic<bool>& abort);
    ~AbortScope();
    AbortScope(const AbortScope&) = delete;
    AbortScope& operator=(const AbortScope&) = delete;

    // Whether the requests of the calling thread are to give up now.
    static bool Requested();

private:
    const std::atomic<bool>* m_outer;
};

} // namespace quill::spooler
