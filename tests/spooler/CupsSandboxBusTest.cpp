// The private cupsd's D-Bus notifier signals on the sandbox's own system bus.
#include "CupsSandbox.h"

#include <cups/cups.h>
#include <dbus/dbus.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>

using namespace std::chrono_literals;

namespace {

// Listens on the sandbox's bus for the notifier's signals.
class NotifierSignals {
public:
    explicit NotifierSignals(const std::string& address) {
        DBusError error;
        dbus_error_init(&error);
        m_connection = dbus_connection_open_private(address.c_str(), &error);
        if (m_connection && dbus_bus_register(m_connection, &error))
            dbus_bus_add_match(m_connection, "type='signal',interface='org.cups.cupsd.Notifier'", &error);
        if (dbus_error_is_set(&error)) ADD_FAILURE() << address << ": " << error.message;
        dbus_error_free(&error);
    }
    ~NotifierSignals() {
        if (!m_connection) return;
        dbus_connection_close(m_connection);
        dbus_connection_unref(m_connection);
    }
    NotifierSignals(const NotifierSignals&) = delete;
    NotifierSignals& operator=(const NotifierSignals&) = delete;

    // Whether a signal named member comes within timeout; the others are passed over.
    bool Await(const std::string& member, std::chrono::milliseconds timeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (m_connection && std::chrono::steady_clock::now() < end) {
            dbus_connection_read_write(m_connection, 20);
            while (DBusMessage* message = dbus_connection_pop_message(m_connection)) {
                const char* name = dbus_message_get_member(message);
                const bool found = dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_SIGNAL && name && member == name;
                dbus_message_unref(message);
                if (found) return true;
            }
        }
        return false;
    }

private:
    DBusConnection* m_connection = nullptr;
};

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
    NotifierSignals signals(s_cups->busAddress());
    SubscribeByDbus();
    const int held = s_cups->SubmitJob("Q", "held", true);
    EXPECT_TRUE(signals.Await("JobCreated", 10s));
    const int other = s_cups->SubmitJob("Q", "other", true);
    const struct {
        std::string command, member;
    } changes[] = {
        {"lp -i " + std::to_string(held) + " -H resume", "JobState"},
        {"lp -i " + std::to_string(other) + " -H hold", "JobConfigChanged"},
        {"cancel " + std::to_string(other), "JobCompleted"},
    };
    for (const auto& change : changes) {
        s_cups->Run(change.command);
        EXPECT_TRUE(signals.Await(change.member, 10s)) << change.command;
    }
}

TEST_F(CupsSandboxBusTest, ALockHeldByAnotherNotifierSilencesTheSignalsUntilItIsGone) {
    QUILL_SKIP_WITHOUT_BUS(*s_cups);
    // A fresh server: no notifier of its own holds the lock yet. The bus stays.
    s_cups->Stop();
    s_cups->Start();
    s_cups->AddQueue("Q");
    NotifierSignals signals(s_cups->busAddress());
    s_cups->TakeNotifierLock();
    SubscribeByDbus();
    s_cups->SubmitJob("Q", "unsignalled", true);
    EXPECT_FALSE(signals.Await("JobCreated", 1s));
    s_cups->ReleaseNotifierLock();
    s_cups->SubmitJob("Q", "signalled", true);
    EXPECT_TRUE(signals.Await("JobCreated", 10s));
}

} // namespace
