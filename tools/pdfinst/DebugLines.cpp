#include "DebugLines.h"

namespace quill::pdfinst {

void DebugLines::Add(std::string_view bytes) {
    for (const char c : bytes) {
        if (c == '\n') {
            Emit();
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        m_line += (byte < 0x20 && c != '\t') || byte == 0x7f ? '?' : c;
        if (m_line.size() == kMaxLineBytes) Emit();
    }
}

void DebugLines::Finish() {
    if (!m_line.empty()) Emit();
}

void DebugLines::Emit() {
    ++m_lines;
    if (m_lines <= kMaxLines) {
        // One write per line, so that the line reaches cupsd whole.
        const std::string message = "DEBUG: " + m_line + "\n";
        std::fwrite(message.data(), 1, message.size(), m_to);
    } else if (m_lines == kMaxLines + 1) {
        std::fputs("DEBUG: Ghostscript printed more; the rest is dropped\n", m_to);
    }
    m_line.clear();
}

} // namespace quill::pdfinst
