#include "OutputName.h"

#include <algorithm>
#include <cctype>

namespace quill::pdfinst {

namespace {

bool EndsWithIgnoringCase(std::string_view text, std::string_view suffix) {
    if (text.size() < suffix.size()) return false;
    return std::equal(suffix.begin(), suffix.end(), text.end() - static_cast<std::ptrdiff_t>(suffix.size()),
                      [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

} // namespace

std::string SafeTitle(std::string_view title) {
    std::string safe;
    safe.reserve(title.size());
    for (char c : title) {
        const auto byte = static_cast<unsigned char>(c);
        safe += (byte < 0x20 || byte == 0x7f || c == '/') ? '_' : c;
    }
    // A leading '.' would hide the file or name "." and ".."; leading spaces are noise.
    safe.erase(0, safe.find_first_not_of(". "));
    for (std::string_view extension : {".pdf", ".ps"}) {
        if (EndsWithIgnoringCase(safe, extension)) {
            safe.resize(safe.size() - extension.size());
            break;
        }
    }
    if (safe.size() > kTitleBytes) {
        std::size_t end = kTitleBytes;
        // Back off to the start of a UTF-8 sequence, so no half character is left.
        while (end > 0 && (static_cast<unsigned char>(safe[end]) & 0xC0) == 0x80) --end;
        safe.resize(end);
    }
    safe.erase(safe.find_last_not_of(' ') + 1);
    return safe;
}

std::string OutputName(std::string_view title, std::string_view jobId, int attempt) {
    const std::string safe = SafeTitle(title);
    std::string name = safe.empty() ? "job-" : safe + "-job-";
    name += jobId;
    if (attempt > 1) name += " (" + std::to_string(attempt) + ")";
    return name + ".pdf";
}

} // namespace quill::pdfinst
