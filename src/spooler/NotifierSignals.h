#pragma once

#include <memory>

struct DBusConnection;

namespace quill::spooler {

// A private connection to the system bus that hears the print server's event signals
// (CUPS' D-Bus notifier, interface org.cups.cupsd.Notifier). It is read on the caller's
// own thread: wait for fd() to become readable, then Read(). The bus is the one
// DBUS_SYSTEM_BUS_ADDRESS names, else the system's.
class NotifierSignals {
public:
    // nullptr when there is no system bus, or it does not answer within timeoutMs.
    static std::unique_ptr<NotifierSignals> Connect(int timeoutMs);
    ~NotifierSignals();
    NotifierSignals(const NotifierSignals&) = delete;
    NotifierSignals& operator=(const NotifierSignals&) = delete;

    int fd() const { return m_fd; }
    // Reads what has come without waiting; true when a signal of the notifier was among it.
    bool Read();
    // False once the bus has gone.
    bool Connected() const { return m_connected; }

private:
    explicit NotifierSignals(DBusConnection* connection, int fd) : m_connection(connection), m_fd(fd) {}
    DBusConnection* m_connection;
    int m_fd;
    bool m_connected = true;
};

} // namespace quill::spooler
