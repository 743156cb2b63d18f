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

namespace {

std::string Times(std::size_t n, const std::string& unit) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += unit;
    return s;
}

const std::string kCyrillic = "\xD0\x96";      // two bytes
const std::string kCjk = "\xE5\x8D\xB0";       // three bytes
const std::string kEmoji = "\xF0\x9F\x96\xA8"; // four bytes

} // namespace

// A name is cut before the character that would pass 127 bytes, never inside one; a
// name made by this program holds no byte that is not part of a UTF-8 character, while
// a name given for an existing queue keeps its bytes.
TEST(PrinterName, NamesAreCutBetweenCharactersAndMadeNamesAreUtf8) {
    struct Row {
        std::string name, queue, made;
    };
    const Row rows[] = {
        {Times(64, kCyrillic), Times(63, kCyrillic), Times(63, kCyrillic)},
        {Times(43, kCjk), Times(42, kCjk), Times(42, kCjk)},
        {"a" + Times(63, kCyrillic), "a" + Times(63, kCyrillic), "a" + Times(63, kCyrillic)},
        {"aaa" + Times(31, kEmoji), "aaa" + Times(31, kEmoji), "aaa" + Times(31, kEmoji)},
        {"aaaa" + Times(31, kEmoji), "aaaa" + Times(30, kEmoji), "aaaa" + Times(30, kEmoji)},
        {"Lat\xE9in", "Lat\xE9in", "Lat_in"},                      // Latin-1
        {"ab\xD0", "ab\xD0", "ab_"},                               // cut short
        {"\xC0\xAF\xE0\x80\xAF", "\xC0\xAF\xE0\x80\xAF", "_____"}, // overlong forms
        {"\xED\xA0\x80x", "\xED\xA0\x80x", "___x"},                // a surrogate
        {"\xF4\x90\x80\x80", "\xF4\x90\x80\x80", "____"},          // past U+10FFFF
        {"a b\xD0\x96/", "a_b\xD0\x96_", "a_b\xD0\x96_"},
        {std::string(126, 'p') + "\xE9\xE9", std::string(126, 'p') + "\xE9", std::string(126, 'p') + "_"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(QueueName(row.name), row.queue) << row.name;
        EXPECT_EQ(NewQueueName(row.name), row.made) << row.name;
    }
    EXPECT_EQ(CutName(Times(10, kCjk), 10), Times(3, kCjk));
    EXPECT_EQ(CutName(Times(10, kCjk), 9), Times(3, kCjk));
    EXPECT_EQ(CutName(Times(10, kCjk), 8), Times(2, kCjk));
    EXPECT_EQ(CutName("ab", 0), "");
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
