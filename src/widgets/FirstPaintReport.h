#pragma once

#include <QObject>

#include <functional>
#include <memory>

class QWidget;

namespace quill::widgets {

// For the start-up benchmarks: when QUILL_REPORT_FIRST_PAINT is set, the wall-clock
// time of the widget's first paint goes to standard error as "first-paint NANOSECONDS";
// with the value "exit", `end` is called then (it closes the window or ends the
// program). The filter it returns is to be kept while the widget lives; null when the
// variable is not set.
std::unique_ptr<QObject> ReportFirstPaint(QWidget& widget, std::function<void()> end);

} // namespace quill::widgets
