#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace quill::pdfinst {

// Passes what the interpreter prints (the document's own `print` output among it) on to
// cupsd as "DEBUG:" lines only. cupsd reads the backend's other lines ("PPD:", "STATE:",
// "ATTR:", ...) as commands that change the queue, and a document must never give one.
// Control characters become '?', long lines are cut into several DEBUG lines, and after
// kMaxLines lines the rest is dropped, so a document cannot flood cupsd's log.
class DebugLines {
public:
    static constexpr std::size_t kMaxLines = 200;
    static constexpr std::size_t kMaxLineBytes = 200;

    explicit DebugLines(std::FILE* to) : m_to(to) {}
    // Bytes as they come from the pipe, in any pieces.
    void Add(std::string_view bytes);
    // Passes on a last line that has no newline.
    void Finish();

private:
    void Emit();

    std::FILE* m_to;
    std::string m_line;
    std::size_t m_lines = 0;
};

} // namespace quill::pdfinst
