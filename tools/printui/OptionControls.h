#pragma once

#include "PrinterOptions.h"

#include <string>

class QWidget;

namespace quill::printui {

// The control that edits an option: a list of its choices, or a number box for a number
// (copies), showing the option's preset; object name: the option's name.
QWidget* NewOptionControl(const PrinterOption& option, QWidget* parent);

// The value the control shows now, as lpoptions and CUPS write it.
std::string OptionValue(const QWidget* control);

} // namespace quill::printui
