#include "monitor/DescribeNotifyData.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quill::monitor {
namespace {

namespace sp = quill::spooler;

using Data = decltype(sp::NotifyData::Data);

sp::NotifyData printerRecord(std::uint16_t field, Data data = {}) { return {sp::PRINTER_NOTIFY_TYPE, field, 0, data}; }
sp::NotifyData jobRecord(std::uint16_t field, Data data = {}) { return {sp::JOB_NOTIFY_TYPE, field, 7, data}; }

struct LineCase {
    sp::NotifyData record;
    std::string expected;
};

void expectLines(const std::vector<LineCase>& cases) {
    for (const LineCase& c : cases) {
        std::optional<std::string> line = DescribeNotifyData(c.record);
        ASSERT_TRUE(line.has_value()) << "type " << c.record.Type << " field " << c.record.Field;
        EXPECT_EQ(*line, c.expected) << "type " << c.record.Type << " field " << c.record.Field;
    }
}

const sp::SystemTime kLeapDay{2024, 2, 4, 29, 13, 45, 30, 250};
constexpr const char* kLeapDayFileTime = "01DA6B158F3D5EA0";

// Every row, each given data of the kind its field carries; the remark rows are given a
// text that they must not show.
TEST(DescribeNotifyData, PrinterRecordsFollowTheirRows) {
    const std::string text = "Laser 1";
    expectLines({
        {printerRecord(0, text), "PRINTER_NOTIFY_FIELD_SERVER_NAME: NotifyData.Data.pbuf = \"Laser 1\""},
        {printerRecord(1, text), "PRINTER_NOTIFY_FIELD_PRINTER_NAME: NotifyData.Data.pbuf = \"Laser 1\""},
        {printerRecord(2, text), "PRINTER_NOTIFY_FIELD_SHARE_NAME: NotifyData.Data.pbuf = \"Laser 1\""},
        {printerRecord(3, text), "PRINTER_NOTIFY_FIELD_PORT_NAME: (not supported)"},
        {printerRecord(4, text), "PRINTER_NOTIFY_FIELD_DRIVER_NAME: NotifyData.Data.pbuf = \"Laser 1\""},
        {printerRecord(5, text), "PRINTER_NOTIFY_FIELD_COMMENT: NotifyData.Data.pbuf = \"Laser 1\""},
        {printerRecord(6, text), "PRINTER_NOTIFY_FIELD_LOCATION: NotifyData.Data.pbuf = \"Laser 1\""},
        {printerRecord(7, text), "PRINTER_NOTIFY_FIELD_DEVMODE: (too complex)"},
        {printerRecord(8, text), "PRINTER_NOTIFY_FIELD_SEPFILE: NotifyData.Data.pbuf = \"Laser 1\""},
        {printerRecord(9, text), "PRINTER_NOTIFY_FIELD_PRINT_PROCESSOR: NotifyData.Data.pbuf = \"Laser 1\""},
        {printerRecord(10, text), "PRINTER_NOTIFY_FIELD_PARAMETERS: NotifyData.Data.pbuf = \"Laser 1\""},
        {printerRecord(11, text), "PRINTER_NOTIFY_FIELD_DATATYPE: NotifyData.Data.pbuf = \"Laser 1\""},
        {printerRecord(12, text), "PRINTER_NOTIFY_FIELD_SECURITY_DESCRIPTOR: (too complex)"},
        {printerRecord(13, 0x240u), "PRINTER_NOTIFY_FIELD_ATTRIBUTES: 00000240"},
        {printerRecord(14, 1u), "PRINTER_NOTIFY_FIELD_PRIORITY: 00000001"},
        {printerRecord(15, 0xFFFFFFFFu), "PRINTER_NOTIFY_FIELD_DEFAULT_PRIORITY: FFFFFFFF"},
        {printerRecord(16, 90u), "PRINTER_NOTIFY_FIELD_START_TIME: 01:30"},
        {printerRecord(17, 1439u), "PRINTER_NOTIFY_FIELD_UNTIL_TIME: 23:59"},
        {printerRecord(18, 0x401u),
         "PRINTER_NOTIFY_FIELD_STATUS = ( PRINTER_STATUS_PAUSED | PRINTER_STATUS_PRINTING )"},
        {printerRecord(19, text), "PRINTER_NOTIFY_FIELD_STATUS_STRING: (not supported)"},
        {printerRecord(20, 3u), "PRINTER_NOTIFY_FIELD_CJOBS: 3"},
        {printerRecord(21, 12u), "PRINTER_NOTIFY_FIELD_AVERAGE_PPM: 12 per minute"},
        {printerRecord(22, 5u), "PRINTER_NOTIFY_FIELD_TOTAL_PAGES: (not supported)"},
        {printerRecord(23, 5u), "PRINTER_NOTIFY_FIELD_PAGES_PRINTED: (not supported)"},
        {printerRecord(24, 5u), "PRINTER_NOTIFY_FIELD_TOTAL_BYTES: (not supported)"},
        {printerRecord(25, 5u), "PRINTER_NOTIFY_FIELD_BYTES_PRINTED: (not supported)"},
    });
}

TEST(DescribeNotifyData, JobRecordsFollowTheirRows) {
    const std::string text = "Report";
    expectLines({
        {jobRecord(0, text), "JOB_NOTIFY_FIELD_PRINTER_NAME: NotifyData.Data.pbuf = \"Report\""},
        {jobRecord(1, text), "JOB_NOTIFY_FIELD_MACHINE_NAME: NotifyData.Data.pbuf = \"Report\""},
        {jobRecord(2, text), "JOB_NOTIFY_FIELD_PORT_NAME: NotifyData.Data.pbuf = \"Report\""},
        {jobRecord(3, text), "JOB_NOTIFY_FIELD_USER_NAME: NotifyData.Data.pbuf = \"Report\""},
        {jobRecord(4, text), "JOB_NOTIFY_FIELD_NOTIFY_NAME: NotifyData.Data.pbuf = \"Report\""},
        {jobRecord(5, text), "JOB_NOTIFY_FIELD_DATATYPE: NotifyData.Data.pbuf = \"Report\""},
        {jobRecord(6, text), "JOB_NOTIFY_FIELD_PRINT_PROCESSOR: NotifyData.Data.pbuf = \"Report\""},
        {jobRecord(7, text), "JOB_NOTIFY_FIELD_PARAMETERS: NotifyData.Data.pbuf = \"Report\""},
        {jobRecord(8, text), "JOB_NOTIFY_FIELD_DRIVER_NAME: NotifyData.Data.pbuf = \"Report\""},
        {jobRecord(9, text), "JOB_NOTIFY_FIELD_DEVMODE: (too complex)"},
        {jobRecord(10, 0x18u), "JOB_NOTIFY_FIELD_STATUS = ( JOB_STATUS_PRINTING | JOB_STATUS_SPOOLING )"},
        {jobRecord(11, text), "JOB_NOTIFY_FIELD_STATUS_STRING: NotifyData.Data.pbuf = \"Report\""},
        {jobRecord(12, text), "JOB_NOTIFY_FIELD_SECURITY_DESCRIPTOR: (not supported)"},
        {jobRecord(13, text), "JOB_NOTIFY_FIELD_DOCUMENT: NotifyData.Data.pbuf = \"Report\""},
        {jobRecord(14, 1u), "JOB_NOTIFY_FIELD_PRIORITY: NotifyData.adwData[0] = 1"},
        {jobRecord(15, 2u), "JOB_NOTIFY_FIELD_POSITION: NotifyData.adwData[0] = 2"},
        {jobRecord(16, kLeapDay),
         std::string("JOB_NOTIFY_FIELD_SUBMITTED: SYSTEMTIME(NotifyData.Data.pbuf^) = ") + kLeapDayFileTime},
        {jobRecord(17, 0u), "JOB_NOTIFY_FIELD_START_TIME: 00:00"},
        {jobRecord(18, 6000u), "JOB_NOTIFY_FIELD_UNTIL_TIME: 100:00"},
        {jobRecord(19, 42u), "JOB_NOTIFY_FIELD_TIME: NotifyData.adwData[0] = 42 sec"},
        {jobRecord(20, 0xFFFFFFFFu), "JOB_NOTIFY_FIELD_TOTAL_PAGES: NotifyData.adwData[0] = -1"},
        {jobRecord(21, 4u), "JOB_NOTIFY_FIELD_PAGES_PRINTED: NotifyData.adwData[0] = 4"},
        {jobRecord(22, 0x80000000u), "JOB_NOTIFY_FIELD_TOTAL_BYTES: NotifyData.adwData[0] = -2147483648"},
        {jobRecord(23, 2048u), "JOB_NOTIFY_FIELD_BYTES_PRINTED: NotifyData.adwData[0] = 2048"},
    });
}

TEST(DescribeNotifyData, StatusBitsShowInTableOrderAndUnnamedBitsAreDropped) {
    expectLines({
        {printerRecord(18, 0u), "PRINTER_NOTIFY_FIELD_STATUS = ()"},
        {printerRecord(18, 0x400u), "PRINTER_NOTIFY_FIELD_STATUS = ( PRINTER_STATUS_PRINTING )"},
        {printerRecord(18, 0xFE000080u), "PRINTER_NOTIFY_FIELD_STATUS = ( PRINTER_STATUS_OFFLINE )"},
        {printerRecord(18, 0x1400000u),
         "PRINTER_NOTIFY_FIELD_STATUS = ( PRINTER_STATUS_DOOR_OPEN | PRINTER_STATUS_POWER_SAVE )"},
        {jobRecord(10, 0u), "JOB_NOTIFY_FIELD_STATUS = ()"},
        {jobRecord(10, 0x204u), "JOB_NOTIFY_FIELD_STATUS = ( JOB_STATUS_BLOCKED_DEVQ | JOB_STATUS_DELETING )"},
        {jobRecord(10, 0x1010u), "JOB_NOTIFY_FIELD_STATUS = ( JOB_STATUS_PRINTING )"},
        {jobRecord(10, 0xFFFFF000u), "JOB_NOTIFY_FIELD_STATUS = ()"},
    });
}

TEST(DescribeNotifyData, AllStatusBitsShowEveryNameOnce) {
    EXPECT_EQ(FormatStatusBits(0xFFFFFFFFu, jobStatusTable()),
              " JOB_STATUS_BLOCKED_DEVQ | JOB_STATUS_DELETED | JOB_STATUS_DELETING | JOB_STATUS_ERROR "
              "| JOB_STATUS_OFFLINE | JOB_STATUS_PAPEROUT | JOB_STATUS_PAUSED | JOB_STATUS_PRINTED "
              "| JOB_STATUS_PRINTING | JOB_STATUS_RESTART | JOB_STATUS_SPOOLING | JOB_STATUS_USER_INTERVENTION ");
    EXPECT_EQ(FormatStatusBits(0xFFFFFFFFu, printerStatusTable()),
              " PRINTER_STATUS_PAUSED | PRINTER_STATUS_ERROR | PRINTER_STATUS_PENDING_DELETION "
              "| PRINTER_STATUS_PAPER_JAM | PRINTER_STATUS_PAPER_OUT | PRINTER_STATUS_MANUAL_FEED "
              "| PRINTER_STATUS_PAPER_PROBLEM | PRINTER_STATUS_OFFLINE | PRINTER_STATUS_IO_ACTIVE "
              "| PRINTER_STATUS_BUSY | PRINTER_STATUS_PRINTING | PRINTER_STATUS_OUTPUT_BIN_FULL "
              "| PRINTER_STATUS_NOT_AVAILABLE | PRINTER_STATUS_WAITING | PRINTER_STATUS_PROCESSING "
              "| PRINTER_STATUS_INITIALIZING | PRINTER_STATUS_WARMING_UP | PRINTER_STATUS_TONER_LOW "
              "| PRINTER_STATUS_NO_TONER | PRINTER_STATUS_PAGE_PUNT | PRINTER_STATUS_USER_INTERVENTION "
              "| PRINTER_STATUS_OUT_OF_MEMORY | PRINTER_STATUS_DOOR_OPEN | PRINTER_STATUS_SERVER_UNKNOWN "
              "| PRINTER_STATUS_POWER_SAVE ");
}

TEST(DescribeNotifyData, TimesOfDayUseTheWholeUnsignedValue) {
    expectLines({
        {jobRecord(17, 1439u), "JOB_NOTIFY_FIELD_START_TIME: 23:59"},
        {jobRecord(17, 61u), "JOB_NOTIFY_FIELD_START_TIME: 01:01"},
        {printerRecord(16, 0xFFFFFFFFu), "PRINTER_NOTIFY_FIELD_START_TIME: 71582788:15"},
    });
}

TEST(DescribeNotifyData, SubmissionTimesShowTheirFileTimeOrTheFallback) {
    const std::string prefix = "JOB_NOTIFY_FIELD_SUBMITTED: SYSTEMTIME(NotifyData.Data.pbuf^) = ";
    const std::string fallback = prefix + "0000F0F000000F0F";
    auto at = [](std::uint16_t year, std::uint16_t month, std::uint16_t day, std::uint16_t hour = 0,
                 std::uint16_t minute = 0, std::uint16_t second = 0, std::uint16_t ms = 0) {
        return jobRecord(16, sp::SystemTime{year, month, 0, day, hour, minute, second, ms});
    };
    expectLines({
        {at(1601, 1, 1), prefix + "0000000000000000"},
        {at(1601, 1, 1, 0, 0, 0, 1), prefix + "0000000000002710"},
        {at(1970, 1, 1), prefix + "019DB1DED53E8000"},
        {at(9999, 12, 31, 23, 59, 59, 999), prefix + "24C85A5ED1C018F0"},
        {at(30827, 12, 31, 23, 59, 59, 999), prefix + "7FFF35F4F06C58F0"},
        {at(2000, 2, 29), prefix + "01BF8247EBCC8000"},
        {at(1600, 12, 31), fallback},
        {at(30828, 1, 1), fallback},
        {at(2023, 2, 29), fallback},
        {at(2100, 2, 29), fallback},
        {at(2024, 4, 31), fallback},
        {at(2024, 0, 1), fallback},
        {at(2024, 13, 1), fallback},
        {at(2024, 1, 0), fallback},
        {at(2024, 1, 1, 24), fallback},
        {at(2024, 1, 1, 0, 60), fallback},
        {at(2024, 1, 1, 0, 0, 60), fallback},
        {at(2024, 1, 1, 0, 0, 0, 1000), fallback},
        {jobRecord(16), fallback},
        {jobRecord(16, 1234u), fallback},
        {jobRecord(16, std::string("2024-02-29")), fallback},
    });
}

TEST(DescribeNotifyData, TextsStopAtTheirFirstZeroByteAndLongLinesAreCut) {
    expectLines({
        {jobRecord(13, std::string("Rep\0ort", 7)), "JOB_NOTIFY_FIELD_DOCUMENT: NotifyData.Data.pbuf = \"Rep\""},
        {jobRecord(13, std::string("")), "JOB_NOTIFY_FIELD_DOCUMENT: NotifyData.Data.pbuf = \"\""},
        {jobRecord(13, std::string("\"quoted\"")), "JOB_NOTIFY_FIELD_DOCUMENT: NotifyData.Data.pbuf = \"\"quoted\"\""},
    });
    const std::string prefix = "JOB_NOTIFY_FIELD_DOCUMENT: NotifyData.Data.pbuf = \"";
    std::optional<std::string> line = DescribeNotifyData(jobRecord(13, std::string(3000, 'd')));
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(*line, prefix + std::string(1023 - prefix.size(), 'd'));
}

// A record whose data is not what its field carries must not be misread.
TEST(DescribeNotifyData, DataOfAnotherKindShowsAsEmptyOrZero) {
    expectLines({
        {jobRecord(13, 5u), "JOB_NOTIFY_FIELD_DOCUMENT: NotifyData.Data.pbuf = \"\""},
        {jobRecord(13), "JOB_NOTIFY_FIELD_DOCUMENT: NotifyData.Data.pbuf = \"\""},
        {printerRecord(1, kLeapDay), "PRINTER_NOTIFY_FIELD_PRINTER_NAME: NotifyData.Data.pbuf = \"\""},
        {jobRecord(20, std::string("12")), "JOB_NOTIFY_FIELD_TOTAL_PAGES: NotifyData.adwData[0] = 0"},
        {printerRecord(18, std::string("paused")), "PRINTER_NOTIFY_FIELD_STATUS = ()"},
        {printerRecord(16), "PRINTER_NOTIFY_FIELD_START_TIME: 00:00"},
    });
}

TEST(DescribeNotifyData, FieldsBeyondTheTablesAndOtherTypes) {
    expectLines({
        {printerRecord(26, 1u), "UNKNOWN printer notification."},
        {printerRecord(0xFFFF), "UNKNOWN printer notification."},
        {jobRecord(24, std::string("x")), "UNKNOWN job notification."},
        {jobRecord(0xFFFF), "UNKNOWN job notification."},
    });
    EXPECT_FALSE(DescribeNotifyData({2, 0, 0, std::string("x")}).has_value());
    EXPECT_FALSE(DescribeNotifyData({0xFFFF, 18, 0, 1u}).has_value());
}

} // namespace
} // namespace quill::monitor
