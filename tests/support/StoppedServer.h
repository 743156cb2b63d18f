#pragma once

#include "CupsSandbox.h"

#include <csignal>

namespace quill::test {

// A cupsd that stops answering (SIGSTOP) for as long as this lives: it still accepts
// connections, but reads and answers nothing.
class StoppedServer {
public:
    explicit StoppedServer(const CupsSandbox& cups) : m_pid(cups.pid()) { ::kill(m_pid, SIGSTOP); }
    ~StoppedServer() { ::kill(m_pid, SIGCONT); }
    StoppedServer(const StoppedServer&) = delete;
    StoppedServer& operator=(const StoppedServer&) = delete;

private:
    int m_pid;
};

} // namespace quill::test
