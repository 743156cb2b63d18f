// The private cupsd's D-Bus notifier signals on the sandbox's own system bus.
#include "CupsSandbox.h"

#include <cups/cups.h>
#include <dbus/dbus.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

using namespace std::chrono_literals;

namespace {

struct CloseConnection {
    void operator()(DBusConnection* connection) const {
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
    }
};
using Connection = std::unique_ptr<DBusConnection, CloseConnection>;

// A connection to the sandbox's bus that receives the notifier's signals.
Connection Listen(const std::string& address) {
    DBusError error;
    dbus_error_init(&error);
    Connection connection(dbus_connection_open_private(address.c_str(), &error));
    if (connection && dbus_bus_register(connection.get(), &error))
        dbus_bus_add_match(connection.get(), "type='signal',interface='org.cups.cupsd.Notifier'", &error);
    if (dbus_error_is_set(&error)) ADD_FAILURE() << address << ": " << error.message;
    dbus_error_free(&error);
    return connection;
}

// The job a notifier's job signal names: its seventh argument, after the text and the
// printer's URI, name, state, state reasons and whether it accepts jobs; 0 for another.
int JobOf(DBusMessage* message) {
    DBusMessageIter argument;
    if (!dbus_message_iter_init(message, &argument)) return 0;
    for (int i = 0; i < 6; ++i)
        if (!dbus_message_iter_next(&argument)) return 0;
    if (dbus_message_iter_get_arg_type(&argument) != DBUS_TYPE_UINT32) return 0;
    dbus_uint32_t job = 0;
    dbus_message_iter_get_basic(&argument, &job);
    return static_cast<int>(job);
}

// Whether a signal named member about the job comes within timeout; the others are
// passed over.
bool Await(const Connection& connection, const std::string& member, int job, std::chrono::milliseconds timeout) {
    for (const auto end = std::chrono::steady_clock::now() + timeout;
         connection && std::chrono::steady_clock::now() < end;) {
        dbus_connection_read_write(connection.get(), 20);
        while (DBusMessage* message = dbus_connection_pop_message(connection.get())) {
            const char* name = dbus_message_get_member(message);
            const bool found = dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_SIGNAL && name && member == name &&
                               JobOf(message) == job;
            dbus_message_unref(message);
            if (found) return true;
        }
    }
    return false;
}

class CupsSandboxBusTest : public quill::test::CupsTest {
protected:
    // A dbus:// subscription to every event of the server, as any client may make one.
    static void SubscribeByDbus() {
        ipp_t* request = ippNewRequest(IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, "ipp://localhost/");
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
        ippAddString(request, IPP_TAG_SUBSCRIPTION, IPP_TAG_URI, "notify-recipient-uri", nullptr, "dbus://");
        ippAddString(request, IPP_TAG_SUBSCRIPTION, IPP_TAG_KEYWORD, "notify-events", nullptr, "all");
        ippDelete(cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/"));
        ASSERT_EQ(cupsLastError(), IPP_STATUS_OK) << cupsLastErrorString();
    }
};

TEST_F(CupsSandboxBusTest, HoldReleaseAndCancelAreSignalledOnTheSandboxBus) {
    QUILL_SKIP_WITHOUT_BUS(*s_cups);
    s_cups->AddQueue("Q");
    const Connection bus = Listen(s_cups->busAddress());
    SubscribeByDbus();
    const int held = s_cups->SubmitJob("Q", "held", true);
    EXPECT_TRUE(Await(bus, "JobCreated", held, 10s));
    // The stopped queue keeps the other job pending, to be held.
    s_cups->Run("cupsdisable Q");
    const int pending = s_cups->SubmitJob("Q", "pending", false);
    const struct {
        std::string command, member;
        int job;
    } changes[] = {
        {"lp -i " + std::to_string(held) + " -H resume", "JobState", held},
        {"lp -i " + std::to_string(pending) + " -H hold", "JobState", pending},
        {"cancel " + std::to_string(pending), "JobCompleted", pending},
    };
    for (const auto& change : changes) {
        s_cups->Run(change.command);
        EXPECT_TRUE(Await(bus, change.member, change.job, 10s)) << change.command;
    }
}

TEST_F(CupsSandboxBusTest, ALockHeldByAnotherNotifierSilencesTheSignalsUntilItIsGone) {
    QUILL_SKIP_WITHOUT_BUS(*s_cups);
    // A fresh server: no notifier of its own holds the lock yet. The bus stays.
    s_cups->Stop();
    s_cups->Start();
    s_cups->AddQueue("Q");
    const Connection bus = Listen(s_cups->busAddress());
    s_cups->TakeNotifierLock();
    SubscribeByDbus();
    const int unsignalled = s_cups->SubmitJob("Q", "unsignalled", true);
    EXPECT_FALSE(Await(bus, "JobCreated", unsignalled, 1s));
    s_cups->ReleaseNotifierLock();
    const int signalled = s_cups->SubmitJob("Q", "signalled", true);
    EXPECT_TRUE(Await(bus, "JobCreated", signalled, 10s));
}

} // namespace
