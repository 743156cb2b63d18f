#include "monitor/FormatLogText.h"

#include "monitor/MonitorText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quill::monitor {
namespace {

struct FormatCase {
    std::string format;
    std::vector<LogValue> values;
    std::string expected;
};

void expectFormats(const std::vector<FormatCase>& cases) {
    for (const FormatCase& c : cases)
        EXPECT_EQ(FormatLogText(c.format, c.values), c.expected) << "format: " << c.format;
}

TEST(FormatLogText, RendersTheMonitorsConversions) {
    expectFormats({
        {"%2.2d. %s", {7, "Laser"}, "07. Laser"},
        {"%8.8X", {255}, "000000FF"},
        {"%X", {5}, "5"},
        {"%X", {0}, "0"},
        {"%8.8X", {0xFFFFFFFFu}, "FFFFFFFF"},
        {"%d", {0xFFFFFFFFu}, "-1"},
        {"%d", {0x80000000u}, "-2147483648"},
        {"%2.2d", {-7}, "-07"},
        {"Started thread successfully [%s]\r\n-> Threadhandle = %8.8X",
         {"Laser 1", 0x1A4},
         "Started thread successfully [Laser 1]\r\n-> Threadhandle = 000001A4"},
        {"Finished initialisation.", {}, "Finished initialisation."},
    });
}

TEST(FormatLogText, RendersTheStartReportsOfPrinterNames) {
    expectFormats({
        {"Got required amount of memory for ThreadBuffer. (%d Bytes)",
         {ThreadBufferReportedSize(3)},
         "Got required amount of memory for ThreadBuffer. (120 Bytes)"},
        {"%2.2d. %s", {1, "Laser 1"}, "01. Laser 1"},
        {"Output will be written to: \"%s\"",
         {OutputFileName("Laser 1")},
         "Output will be written to: \"Laser_1.log\""},
        {"Output will be written to: \"%s\"", {OutputFileName("A B  C")}, "Output will be written to: \"A_B__C.log\""},
        {"%s", {OutputFileName("\\\\host\\Color Laser")}, "\\\\host\\Color_Laser.log"},
        {"%s", {OutputFileName(" ")}, "_.log"},
    });
}

TEST(FormatLogText, HandlesTheRestOfTheConversionSyntax) {
    expectFormats({
        {"%u", {0xFFFFFFFFu}, "4294967295"},
        {"%x|%#x|%#X", {255, 255, 255}, "ff|0xff|0XFF"},
        {"[%5d][%-5d][%05d]", {42, 42, -42}, "[   42][42   ][-0042]"},
        {"[%6s][%-6s][%.3s]", {"abc", "abc", "Laser"}, "[   abc][abc   ][Las]"},
        {"%ld %hd %i", {1, 2, 3}, "1 2 3"},
        {"%c%c", {'O', 'K'}, "OK"},
        {"100%%", {}, "100%"},
        {"%q", {}, "q"},
        {"ends in %", {}, "ends in "},
    });
}

// Values are untrusted in number and kind: a wrong list must not be misread as memory.
TEST(FormatLogText, ShowsMissingOrMismatchedValuesAsEmptyOrZero) {
    expectFormats({
        {"[%s] [%d]", {}, "[] [0]"},
        {"[%s]", {12}, "[]"},
        {"[%d] [%X]", {"text", "text"}, "[0] [0]"},
        {"[%s]", {static_cast<const char*>(nullptr)}, "[]"},
        {"[%s] [%s]", {"one"}, "[one] []"},
    });
}

TEST(FormatLogText, EndsAtTheFirstZeroByte) {
    expectFormats({
        {"[%s]", {std::string_view("Las\0er", 6)}, "[Las]"},
        {std::string("ab\0cd", 5), {}, "ab"},
        {"a%cb", {0}, "a"},
    });
}

TEST(FormatLogText, CutsTextLongerThan1023Bytes) {
    const std::string exact(1023, 'x');
    EXPECT_EQ(FormatLogText(exact), exact);
    EXPECT_EQ(FormatLogText(exact + "y"), exact);

    const std::string name(2000, 'n');
    const std::string line = FormatLogText("Openprinter() failed for \"%s\"", {name});
    ASSERT_EQ(line.size(), 1023u);
    EXPECT_EQ(line, ("Openprinter() failed for \"" + name).substr(0, 1023));

    EXPECT_EQ(FormatLogText("%5000d", {1}), std::string(1023, ' '));
    EXPECT_EQ(FormatLogText("%.5000d", {1}), std::string(1023, '0'));
    EXPECT_EQ(FormatLogText("%s%d%s", {name, 7, name}), std::string(1023, 'n'));
}

} // namespace
} // namespace quill::monitor
