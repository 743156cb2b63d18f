#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace quill::zip {

inline constexpr std::uint32_t kLocalHeaderSignature = 0x04034B50;
inline constexpr std::uint32_t kCentralHeaderSignature = 0x02014B50;
inline constexpr std::uint32_t kEndCentralSignature = 0x06054B50;
inline constexpr std::uint32_t kZip64EndCentralSignature = 0x06064B50;
inline constexpr std::uint32_t kZip64LocatorSignature = 0x07064B50;
inline constexpr std::uint32_t kDataDescriptorSignature = 0x08074B50;

inline constexpr std::size_t kLocalHeaderSize = 30;
inline constexpr std::size_t kCentralHeaderSize = 46;
inline constexpr std::size_t kEndCentralSize = 22;
inline constexpr std::size_t kZip64EndCentralSize = 56;
inline constexpr std::size_t kZip64LocatorSize = 20;
inline constexpr std::size_t kMaxCommentLength = 65535;

inline constexpr std::uint16_t kZip64ExtraId = 0x0001;
inline constexpr std::uint16_t kUnicodePathExtraId = 0x7075;
inline constexpr std::uint16_t kAesExtraId = 0x9901;

inline constexpr std::uint16_t kFlagEncrypted = 0x0001;
inline constexpr std::uint16_t kFlagDataDescriptor = 0x0008;
inline constexpr std::uint16_t kFlagUtf8 = 0x0800;

inline constexpr std::uint16_t kMethodStored = 0;
inline constexpr std::uint16_t kMethodShrunk = 1;
inline constexpr std::uint16_t kMethodImploded = 6;
inline constexpr std::uint16_t kMethodDeflated = 8;
inline constexpr std::uint16_t kMethodAes = 99;

// Little-endian fields in byte buffers.
inline std::uint16_t Get16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
inline std::uint32_t Get32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
inline std::uint64_t Get64(const unsigned char* p) { return Get32(p) | static_cast<std::uint64_t>(Get32(p + 4)) << 32; }
inline void Put16(unsigned char* p, std::uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
inline void Put32(unsigned char* p, std::uint32_t v) {
    Put16(p, static_cast<std::uint16_t>(v));
    Put16(p + 2, static_cast<std::uint16_t>(v >> 16));
}
inline void Put64(unsigned char* p, std::uint64_t v) {
    Put32(p, static_cast<std::uint32_t>(v));
    Put32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

// CRC-32 (reflected polynomial 0xEDB88320): start with 0xFFFFFFFF, update over the data,
// complement at the end.
std::uint32_t Crc32Update(std::uint32_t crc, const unsigned char* data, std::size_t length);
std::uint32_t Crc32(const void* data, std::size_t length);

// DOS date and time as one value, the time in the low half.
std::uint32_t MakeDosDateTime(int year, int month, int day, int hour, int minute, int second);
// Clamps out-of-range parts; the value is rebuilt only when something was clamped.
std::uint32_t ValidateDosDateTime(std::uint32_t value);
// A DOS date and time read as local time.
std::time_t DosDateTimeToTime(std::uint32_t value);
// A time as local DOS date and time; 0xFFFFFFFF when it cannot be converted.
std::uint32_t TimeToDosDateTime(std::time_t time);

// Lower case by the ASCII rules (names are compared so).
std::string AsciiLower(std::string text);

// Whether the bytes are well-formed UTF-8 (shortest forms, no surrogates, at most U+10FFFF).
bool IsValidUtf8(const std::string& text);

// Progress: done against total as a rounded percentage, at most 100; 0 when total is 0.
int Percent(std::uint64_t done, std::uint64_t total);

// The OEM code page (437) and the ANSI one (UTF-8 here).
std::optional<std::string> OemToChar(const std::string& oem);
std::optional<std::string> CharToOem(const std::string& ansi);

} // namespace quill::zip
