#include "zip/ZipFormat.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <iconv.h>
#include <memory>
#include <zlib.h>

namespace quill::zip {
namespace {

struct IconvClose {
    void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};

// Converts all of in, or fails.
std::optional<std::string> Convert(const char* to, const char* from, const std::string& in) {
    // (iconv_t)-1 is no handle: only a real one is closed.
    const iconv_t opened = iconv_open(to, from);
    if (opened == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    std::unique_ptr<void, IconvClose> cd(opened);
    std::string out(in.size() * 4 + 16, '\0');
    char* inPtr = const_cast<char*>(in.data());
    std::size_t inLeft = in.size();
    char* outPtr = out.data();
    std::size_t outLeft = out.size();
    if (iconv(static_cast<iconv_t>(cd.get()), &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1))
        return std::nullopt;
    if (iconv(static_cast<iconv_t>(cd.get()), nullptr, nullptr, &outPtr, &outLeft) == static_cast<std::size_t>(-1))
        return std::nullopt;
    out.resize(out.size() - outLeft);
    return out;
}

} // namespace

std::uint32_t Crc32Update(std::uint32_t crc, const unsigned char* data, std::size_t length) {
    // zlib's table-driven CRC-32 of the same polynomial, which works on the complemented
    // value and takes several bytes a step.
    while (length > 0) {
        const uInt n = static_cast<uInt>(std::min<std::size_t>(length, 1u << 30));
        crc = ~static_cast<std::uint32_t>(crc32(~crc & 0xFFFFFFFFu, data, n));
        data += n;
        length -= n;
    }
    return crc;
}

std::uint32_t Crc32(const void* data, std::size_t length) {
    return ~Crc32Update(0xFFFFFFFFu, static_cast<const unsigned char*>(data), length);
}

std::uint32_t MakeDosDateTime(int year, int month, int day, int hour, int minute, int second) {
    const std::uint32_t date = static_cast<std::uint32_t>((year - 1980) * 512 + month * 32 + day);
    const std::uint32_t time = static_cast<std::uint32_t>(hour * 2048 + minute * 32 + second / 2);
    return date << 16 | time;
}

std::uint32_t ValidateDosDateTime(std::uint32_t value) {
    int hour = static_cast<int>((value >> 11) & 0x1F);
    int minute = static_cast<int>((value >> 5) & 0x3F);
    int second = static_cast<int>(value & 0x1F) * 2;
    int year = static_cast<int>((value >> 25) & 0x7F) + 1980;
    int month = static_cast<int>((value >> 21) & 0x0F);
    int day = static_cast<int>((value >> 16) & 0x1F);
    bool clamped = false;
    auto clamp = [&clamped](int& v, int low, int high) {
        if (v < low) v = low, clamped = true;
        if (v > high) v = high, clamped = true;
    };
    clamp(hour, 0, 23);
    clamp(minute, 0, 59);
    clamp(second, 0, 59);
    clamp(year, 1980, 2099);
    clamp(month, 1, 12);
    clamp(day, 1, 31);
    return clamped ? MakeDosDateTime(year, month, day, hour, minute, second) : value;
}

std::time_t DosDateTimeToTime(std::uint32_t value) {
    value = ValidateDosDateTime(value);
    std::tm local{};
    local.tm_year = static_cast<int>((value >> 25) & 0x7F) + 80;
    local.tm_mon = static_cast<int>((value >> 21) & 0x0F) - 1;
    local.tm_mday = static_cast<int>((value >> 16) & 0x1F);
    local.tm_hour = static_cast<int>((value >> 11) & 0x1F);
    local.tm_min = static_cast<int>((value >> 5) & 0x3F);
    local.tm_sec = static_cast<int>(value & 0x1F) * 2;
    local.tm_isdst = -1;
    return std::mktime(&local);
}

std::uint32_t TimeToDosDateTime(std::time_t time) {
    std::tm local{};
    if (!localtime_r(&time, &local)) return 0xFFFFFFFFu;
    const int year = local.tm_year + 1900;
    if (year < 1980 || year > 2107) return 0xFFFFFFFFu;
    return MakeDosDateTime(year, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
}

std::string AsciiLower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

bool IsValidUtf8(const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned c = p[i];
        std::size_t length;
        std::uint32_t value;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            length = 2, value = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3, value = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4, value = c & 0x07;
        } else {
            return false;
        }
        if (i + length > n) return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            value = value << 6 | (p[i + k] & 0x3F);
        }
        static constexpr std::uint32_t kShortest[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (value < kShortest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

int Percent(std::uint64_t done, std::uint64_t total) {
    if (total == 0) return 0;
    const double percent = std::nearbyint(static_cast<double>(done) * 100.0 / static_cast<double>(total));
    return static_cast<int>(std::min(100.0, percent));
}

std::optional<std::string> OemToChar(const std::string& oem) { return Convert("UTF-8", "CP437", oem); }

std::optional<std::string> CharToOem(const std::string& ansi) { return Convert("CP437", "UTF-8", ansi); }

} // namespace quill::zip
