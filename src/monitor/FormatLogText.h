#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace quill::monitor {

// One value for a conversion of FormatLogText: a 32-bit number or a string. Integers
// of other widths are cut to their low 32 bits, as the monitor always passes 32-bit
// values. A string is read up to its first zero byte; a null pointer is an empty string.
// A string value only refers to the text: keep the text alive until the call returns.
class LogValue {
public:
    template <std::integral T> LogValue(T number) : m_value(static_cast<std::uint32_t>(number)) {}
    LogValue(std::string_view text) : m_value(text) {}
    LogValue(const std::string& text) : m_value(std::string_view(text)) {}
    LogValue(const char* text) : m_value(text ? std::string_view(text) : std::string_view()) {}

    const std::uint32_t* number() const { return std::get_if<std::uint32_t>(&m_value); }
    const std::string_view* text() const { return std::get_if<std::string_view>(&m_value); }

private:
    std::variant<std::uint32_t, std::string_view> m_value;
};

// Longest text FormatLogText returns: its buffer holds 1024 bytes with the terminating zero.
inline constexpr std::size_t kLogTextLimit = 1023;

// Builds one activity log message. Conversions: %[-][#][0][width][.precision][h|l]type
// with the types s (string), d and i (signed decimal), u (unsigned decimal), x and X
// (hexadecimal), c (one byte), and %% for a percent sign; the monitor itself uses %s,
// %d, %X, %8.8X and %2.2d. Each conversion takes the next value. A missing value, or
// one of the other kind, is shown as an empty string or as 0 instead of being
// misread. Any other character after % is copied as it is. The text ends at its first
// zero byte and is cut after kLogTextLimit bytes.
std::string FormatLogText(std::string_view format, std::span<const LogValue> values);
std::string FormatLogText(std::string_view format, std::initializer_list<LogValue> values = {});

} // namespace quill::monitor
