#pragma once

// What the printer helper's dialog tests share: reading a file, and opening the
// Properties dialog of a queue as the helper does.
#include "PrinterProperties.h"
#include "PropertiesDialog.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace quill::test {

inline constexpr const char* kGenericPdfPpd = "/usr/share/ppd/cupsfilters/Generic-PDF_Printer-PDF.ppd";

inline std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

inline bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The queue's Properties dialog, or nullptr (a failed expectation) when it cannot be read.
inline std::unique_ptr<printui::PropertiesDialog> OpenProperties(const std::string& name, widgets::Dialogs& passwords) {
    std::string error;
    const auto address = printui::AddressOf(name);
    auto properties = printui::ReadProperties(address, error);
    EXPECT_TRUE(properties) << error;
    if (!properties) return nullptr;
    return std::make_unique<printui::PropertiesDialog>(name, address, *properties, passwords);
}

} // namespace quill::test
