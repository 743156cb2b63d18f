#include "spooler/PrinterName.h"

#include <gtest/gtest.h>

using namespace quill::spooler;

TEST(PrinterName, ManagedPrinterMapsToItsQueue) {
    EXPECT_EQ(QueueName("QUILL Amber PDF Creator"), "QUILL_Amber_PDF_Creator");
}

TEST(PrinterName, EveryCharacterCupsRefusesBecomesUnderscore) {
    EXPECT_EQ(QueueName("a b/c#d\\e?f'g\"h"), "a_b_c_d_e_f_g_h");
    EXPECT_EQ(QueueName(std::string("x\x01y\x7Fz\tw")), "x_y_z_w");
    // Everything else passes unchanged, bytes of UTF-8 names included.
    EXPECT_EQ(QueueName("Laser-2_Office.B@3+%"), "Laser-2_Office.B@3+%");
    EXPECT_EQ(QueueName("B\xC3\xBCro"), "B\xC3\xBCro");
}

TEST(PrinterName, QueueNamesAreCutTo127Bytes) {
    EXPECT_EQ(QueueName(std::string(200, 'p')).size(), 127u);
    EXPECT_EQ(QueueName(std::string(127, 'p')), std::string(127, 'p'));
}

TEST(PrinterName, SameQueueComparesMappedFormsIgnoringCase) {
    EXPECT_TRUE(SameQueue("QUILL Amber PDF Creator", "quill_amber_pdf_creator"));
    EXPECT_TRUE(SameQueue("Fax", "FAX"));
    EXPECT_FALSE(SameQueue("Fax", "Fax2"));
    EXPECT_FALSE(SameQueue("quill-amber", "quill_amber"));
}

TEST(PrinterName, NetworkNamesSplitAtTheLastBackslash) {
    EXPECT_EQ(SplitPrinterPath("server\\Laser").host, "server");
    EXPECT_EQ(SplitPrinterPath("server\\Laser").printer, "Laser");
    EXPECT_EQ(SplitPrinterPath("\\\\server\\Share Name").host, "server");
    EXPECT_EQ(SplitPrinterPath("\\\\server\\Share Name").printer, "Share Name");
    EXPECT_EQ(SplitPrinterPath("Laser").host, "");
    EXPECT_EQ(SplitPrinterPath("Laser").printer, "Laser");
}

TEST(PrinterName, LocalHostNamesMeanThisServer) {
    EXPECT_TRUE(IsLocalHost(""));
    EXPECT_TRUE(IsLocalHost("localhost"));
    EXPECT_TRUE(IsLocalHost("LOCALHOST"));
    EXPECT_TRUE(IsLocalHost("127.0.0.1"));
    EXPECT_FALSE(IsLocalHost("other-computer.invalid"));
}

TEST(PrinterName, ServersSplitIntoHostAndPortWithIpv6AddressesInBrackets) {
    auto split = [](const std::string& server) {
        const HostPort parts = SplitHostPort(server, 631);
        return std::make_pair(parts.host, parts.port);
    };
    using Parts = std::pair<std::string, int>;
    EXPECT_EQ(split("print-server"), Parts("print-server", 631));
    EXPECT_EQ(split("print-server:8631"), Parts("print-server", 8631));
    EXPECT_EQ(split("192.0.2.7:8631"), Parts("192.0.2.7", 8631));
    EXPECT_EQ(split("[2001:db8::7]:8631"), Parts("[2001:db8::7]", 8631));
    EXPECT_EQ(split("[2001:db8::7]"), Parts("[2001:db8::7]", 631));
    // A bare IPv6 address: its last group is no port.
    EXPECT_EQ(split("2001:db8::7"), Parts("2001:db8::7", 631));
    // What is no port stays part of the name, for the connect to refuse.
    EXPECT_EQ(split("print-server:"), Parts("print-server:", 631));
    EXPECT_EQ(split("print-server:ipp"), Parts("print-server:ipp", 631));
    EXPECT_EQ(split("print-server:70000"), Parts("print-server:70000", 631));
    EXPECT_EQ(split("print-server:0"), Parts("print-server:0", 631));
}

TEST(PrinterName, OwnNetworkAddressesMeanThisComputerOtherLoopbackClientsToo) {
    const ThisComputer own;
    EXPECT_TRUE(own.Is(own.name()));
    EXPECT_TRUE(own.Is("[::1]"));
    EXPECT_FALSE(own.Is("192.0.2.77")); // nobody's address
    EXPECT_FALSE(own.Is("127.0.0.5"));  // a loopback address that no interface of ours has
}

TEST(PrinterName, PercentEncodedQueueNamesDecodeToTheirBytes) {
    EXPECT_EQ(PercentDecode("B%C3%BCro"), "B\xC3\xBCro");
    EXPECT_EQ(PercentDecode("50%25off"), "50%off");
    EXPECT_EQ(PercentDecode("Lat%E9in"), "Lat\xE9in");
    EXPECT_EQ(PercentDecode("100%"), "100%");
    EXPECT_EQ(PercentDecode("a%zzb%4"), "a%zzb%4");
}
