#include "zip/ZipFormat.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace quill::zip;

TEST(ZipFormat, Crc32OfKnownTexts) {
    EXPECT_EQ(Crc32("", 0), 0u);
    EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
    const char* fox = "The quick brown fox jumps over the lazy dog";
    EXPECT_EQ(Crc32(fox, std::strlen(fox)), 0x414FA339u);
    // In pieces as in one go.
    std::uint32_t crc = Crc32Update(0xFFFFFFFFu, reinterpret_cast<const unsigned char*>(fox), 10);
    crc = Crc32Update(crc, reinterpret_cast<const unsigned char*>(fox) + 10, std::strlen(fox) - 10);
    EXPECT_EQ(~crc, 0x414FA339u);
}

TEST(ZipFormat, DosDateAndTimeHalveTheSecondsAndPutTheTimeFirst) {
    const std::uint32_t value = MakeDosDateTime(2013, 5, 5, 6, 42, 39);
    EXPECT_EQ(value & 0xFFFF, 6u * 2048 + 42 * 32 + 19);
    EXPECT_EQ(value >> 16, 33u * 512 + 5 * 32 + 5);
    unsigned char bytes[4];
    Put32(bytes, value);
    EXPECT_EQ(Get16(bytes), 6 * 2048 + 42 * 32 + 19); // the time is written first
    std::tm local{};
    const std::time_t t = DosDateTimeToTime(value);
    localtime_r(&t, &local);
    EXPECT_EQ(local.tm_year, 113);
    EXPECT_EQ(local.tm_mon, 4);
    EXPECT_EQ(local.tm_hour, 6);
    EXPECT_EQ(local.tm_sec, 38);
    EXPECT_EQ(TimeToDosDateTime(t), MakeDosDateTime(2013, 5, 5, 6, 42, 38));
}

TEST(ZipFormat, ValidationClampsOnlyWhatIsOutOfRange) {
    const std::uint32_t good = MakeDosDateTime(2020, 2, 29, 23, 59, 58);
    EXPECT_EQ(ValidateDosDateTime(good), good);
    // Month 0 and hour 31.
    const std::uint32_t bad = (40u * 512 + 0 * 32 + 10) << 16 | (31u * 2048 + 10 * 32 + 5);
    EXPECT_EQ(ValidateDosDateTime(bad), MakeDosDateTime(2020, 1, 10, 23, 10, 10));
    // Minute 63, seconds 62 (stored 31), day 0: seconds become 59, stored halved as 29.
    const std::uint32_t worse = (1u * 512 + 13 * 32 + 0) << 16 | (5u * 2048 + 63 * 32 + 31);
    EXPECT_EQ(ValidateDosDateTime(worse), (1u * 512 + 12 * 32 + 1) << 16 | (5u * 2048 + 59 * 32 + 29));
    EXPECT_EQ(ValidateDosDateTime(0), MakeDosDateTime(1980, 1, 1, 0, 0, 0));
}

TEST(ZipFormat, OemCodePageRoundTrips) {
    EXPECT_EQ(OemToChar("\x84rger.reg"), "\xC3\xA4rger.reg"); // a-umlaut
    EXPECT_EQ(CharToOem("\xC3\xA4rger.reg"), "\x84rger.reg");
    EXPECT_EQ(CharToOem("1.reg"), "1.reg");
    EXPECT_FALSE(CharToOem("\xE2\x82\xAC.reg")); // the euro sign has no OEM form
    EXPECT_FALSE(CharToOem("\xFF\xFE"));         // not UTF-8
}

TEST(ZipFormat, Utf8IsRecognisedOnlyInItsWellFormedShortestForms) {
    const std::pair<const char*, bool> rows[] = {
        {"1.reg", true},
        {"caf\xC3\xA9.reg", true},   // U+00E9
        {"\xE2\x82\xAC", true},      // U+20AC
        {"\xF0\x9F\x96\xA8", true},  // U+1F5A8, four bytes
        {"caf\xE9.reg", false},      // Latin-1
        {"\xC3", false},             // cut off
        {"\xC0\xAF", false},         // "/" in two bytes: an overlong form
        {"\xE0\x80\xAF", false},     // the same in three
        {"\xED\xA0\x80", false},     // a UTF-16 surrogate
        {"\xF4\x90\x80\x80", false}, // beyond U+10FFFF
        {"\xFF\xFE", false},
    };
    for (const auto& [text, valid] : rows) EXPECT_EQ(IsValidUtf8(text), valid) << text;
}
