#pragma once

#include "CupsConnection.h"

#include <optional>
#include <string>

namespace quill::printui {

// CUPS' own test page: a banner description that the server's filters turn into a page
// showing the printer's name, driver, paper size and printable area.
std::string TestPageFile();

// Prints the test page on the printer as the job "Test Page"; its job id, or nullopt with
// CUPS' reason (or why the page cannot be read).
std::optional<int> PrintTestPage(const PrinterAddress& address, std::string& error);

} // namespace quill::printui
