#include "spooler/NotifierSignals.h"

#include <dbus/dbus.h>

#include <cstdlib>
#include <string>

namespace quill::spooler {
namespace {

constexpr const char* kNotifierInterface = "org.cups.cupsd.Notifier";

// A call to the bus daemon that waits for its answer at most timeoutMs.
bool CallBus(DBusConnection* connection, const char* method, const char* argument, int timeoutMs) {
    DBusMessage* call = dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, method);
    if (!call) return false;
    if (argument) dbus_message_append_args(call, DBUS_TYPE_STRING, &argument, DBUS_TYPE_INVALID);
    DBusError error;
    dbus_error_init(&error);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(connection, call, timeoutMs, &error);
    dbus_message_unref(call);
    dbus_error_free(&error);
    if (!reply) return false;
    dbus_message_unref(reply);
    return true;
}

} // namespace

std::unique_ptr<NotifierSignals> NotifierSignals::Connect(int timeoutMs) {
    const char* named = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::string address = named && *named ? named : "unix:path=/run/dbus/system_bus_socket";
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* connection = dbus_connection_open_private(address.c_str(), &error);
    dbus_error_free(&error);
    if (!connection) return nullptr;
    // A bus that goes must not end the program.
    dbus_connection_set_exit_on_disconnect(connection, FALSE);
    int fd = -1;
    // The greeting every bus client sends first, then the signals to hear; each answer is
    // waited for, so a bus that hangs costs at most the bound.
    if (!CallBus(connection, "Hello", nullptr, timeoutMs) ||
        !CallBus(connection, "AddMatch", "type='signal',interface='org.cups.cupsd.Notifier'", timeoutMs) ||
        !dbus_connection_get_unix_fd(connection, &fd)) {
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
        return nullptr;
    }
    return std::unique_ptr<NotifierSignals>(new NotifierSignals(connection, fd));
}

NotifierSignals::~NotifierSignals() {
    dbus_connection_close(m_connection);
    dbus_connection_unref(m_connection);
}

bool NotifierSignals::Read() {
    bool heard = false;
    if (!dbus_connection_read_write(m_connection, 0)) m_connected = false;
    while (DBusMessage* message = dbus_connection_pop_message(m_connection)) {
        if (dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_SIGNAL) {
            if (dbus_message_has_interface(message, kNotifierInterface)) heard = true;
            else if (dbus_message_is_signal(message, DBUS_INTERFACE_LOCAL, "Disconnected")) m_connected = false;
        }
        dbus_message_unref(message);
    }
    if (!dbus_connection_get_is_connected(m_connection)) m_connected = false;
    return heard;
}

} // namespace quill::spooler
