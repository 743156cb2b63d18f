#pragma once

#include "Fd.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace quill::pdfinst {

enum class DataKind { Pdf, PostScript, Other };

// What the job's first bytes say it is: a PDF file, PostScript (what a PPD queue's
// filters hand over), or anything else, which this port does not print.
DataKind KindOf(std::string_view head);

// The job's data: the file CUPS names, or standard input when it names none. The first
// bytes are read ahead to tell the kind; Pump hands on those and then the rest.
class JobData {
public:
    // Opens the file (or takes standard input) and reads its head. Throws BackendError.
    explicit JobData(const char* file);

    DataKind kind() const { return KindOf(m_head); }
    // Writes the data to out; false, and nothing past them written, when it has more than
    // most bytes. Throws BackendError when reading or writing fails.
    bool Pump(int out, std::uint64_t most);
    // For a reader of its own: the head, handed over once, and the descriptor the rest
    // is read from.
    std::string TakeHead() { return std::exchange(m_head, {}); }
    int fd() const { return m_fd; }

private:
    Fd m_owned;
    int m_fd = 0;
    std::string m_head;
};

// Writes all bytes to fd, going on after short writes and interrupts.
bool WriteAll(int fd, std::string_view bytes);

} // namespace quill::pdfinst
