#include "monitor/FormatLogText.h"

#include <array>
#include <cstring>

namespace quill::monitor {
namespace {

// The fixed output buffer: bytes past the limit are dropped, as the platform's
// formatter writes at most 1024 bytes including the terminating zero.
class LogBuffer {
public:
    void put(char c) {
        if (m_size < kLogTextLimit) m_bytes[m_size++] = c;
    }
    void put(std::string_view text) {
        for (char c : text) put(c);
    }
    void repeat(char c, std::size_t count) {
        for (std::size_t i = 0; i < count && !full(); ++i) put(c);
    }
    bool full() const { return m_size >= kLogTextLimit; }
    // The text up to its first zero byte.
    std::string text() const { return std::string(m_bytes.data(), ::strnlen(m_bytes.data(), m_size)); }

private:
    std::array<char, kLogTextLimit + 1> m_bytes{};
    std::size_t m_size = 0;
};

struct Conversion {
    bool leftAlign = false;
    bool alternate = false; // '#': 0x or 0X before a hexadecimal number
    bool zeroPad = false;
    std::size_t width = 0;
    bool hasPrecision = false;
    std::size_t precision = 0;
    char type = 0;
};

// Reads the digits at pos; a run that does not fit is held at a value far beyond the buffer.
std::size_t readCount(std::string_view format, std::size_t& pos) {
    std::size_t count = 0;
    while (pos < format.size() && format[pos] >= '0' && format[pos] <= '9') {
        if (count < 100000) count = count * 10 + static_cast<std::size_t>(format[pos] - '0');
        ++pos;
    }
    return count;
}

// Parses the conversion that follows a '%' at pos - 1; pos ends after its type character.
Conversion readConversion(std::string_view format, std::size_t& pos) {
    Conversion conv;
    for (; pos < format.size(); ++pos) {
        char c = format[pos];
        if (c == '-') conv.leftAlign = true;
        else if (c == '#') conv.alternate = true;
        else if (c == '0') conv.zeroPad = true;
        else break;
    }
    conv.width = readCount(format, pos);
    if (pos < format.size() && format[pos] == '.') {
        ++pos;
        conv.hasPrecision = true;
        conv.precision = readCount(format, pos);
    }
    if (pos < format.size() && (format[pos] == 'h' || format[pos] == 'l')) ++pos;
    if (pos < format.size()) conv.type = format[pos++];
    return conv;
}

void putPadded(LogBuffer& out, const Conversion& conv, std::string_view body) {
    std::size_t fill = conv.width > body.size() ? conv.width - body.size() : 0;
    if (!conv.leftAlign) out.repeat(' ', fill);
    out.put(body);
    if (conv.leftAlign) out.repeat(' ', fill);
}

void putNumber(LogBuffer& out, const Conversion& conv, std::uint32_t value) {
    std::string_view sign;
    std::uint32_t magnitude = value;
    unsigned base = 10;
    const char* digitSet = "0123456789ABCDEF";
    switch (conv.type) {
    case 'd':
    case 'i':
        if (static_cast<std::int32_t>(value) < 0) {
            sign = "-";
            magnitude = 0u - value;
        }
        break;
    case 'x': digitSet = "0123456789abcdef"; [[fallthrough]];
    case 'X': base = 16; break;
    default: break;
    }
    std::string_view prefix;
    if (conv.alternate && base == 16 && value != 0) prefix = conv.type == 'x' ? "0x" : "0X";

    std::array<char, 16> reversed{};
    std::size_t count = 0;
    do {
        reversed[count++] = digitSet[magnitude % base];
        magnitude /= base;
    } while (magnitude != 0);

    std::size_t zeros = conv.hasPrecision && conv.precision > count ? conv.precision - count : 0;
    std::size_t length = sign.size() + prefix.size() + zeros + count;
    std::size_t fill = conv.width > length ? conv.width - length : 0;
    // Zeros fill the width behind the sign, unless the number is left-aligned or has a precision.
    bool zeroFill = conv.zeroPad && !conv.leftAlign && !conv.hasPrecision;
    if (zeroFill) zeros += fill;
    if (!conv.leftAlign && !zeroFill) out.repeat(' ', fill);
    out.put(sign);
    out.put(prefix);
    out.repeat('0', zeros);
    while (count > 0) out.put(reversed[--count]);
    if (conv.leftAlign) out.repeat(' ', fill);
}

void putText(LogBuffer& out, const Conversion& conv, std::string_view text) {
    text = text.substr(0, text.find('\0'));
    if (conv.hasPrecision) text = text.substr(0, conv.precision);
    putPadded(out, conv, text);
}

} // namespace

std::string FormatLogText(std::string_view format, std::span<const LogValue> values) {
    LogBuffer out;
    std::size_t next = 0;
    auto takeValue = [&]() -> const LogValue* { return next < values.size() ? &values[next++] : nullptr; };

    std::size_t pos = 0;
    while (pos < format.size() && !out.full()) {
        char c = format[pos++];
        if (c == '\0') break;
        if (c != '%') {
            out.put(c);
            continue;
        }
        if (pos < format.size() && format[pos] == '%') {
            out.put('%');
            ++pos;
            continue;
        }
        Conversion conv = readConversion(format, pos);
        switch (conv.type) {
        case 's': {
            const LogValue* value = takeValue();
            const std::string_view* text = value ? value->text() : nullptr;
            putText(out, conv, text ? *text : std::string_view());
            break;
        }
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X': {
            const LogValue* value = takeValue();
            const std::uint32_t* number = value ? value->number() : nullptr;
            putNumber(out, conv, number ? *number : 0);
            break;
        }
        case 'c': {
            const LogValue* value = takeValue();
            const std::uint32_t* number = value ? value->number() : nullptr;
            char byte = static_cast<char>(number ? *number & 0xFF : 0);
            putPadded(out, conv, std::string_view(&byte, 1));
            break;
        }
        case 0: break; // a lone '%' at the end of the format
        default: out.put(conv.type); break;
        }
    }
    return out.text();
}

std::string FormatLogText(std::string_view format, std::initializer_list<LogValue> values) {
    return FormatLogText(format, std::span<const LogValue>(values.begin(), values.size()));
}

} // namespace quill::monitor
