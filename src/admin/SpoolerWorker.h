#pragma once

// The windows' one async helper lives with the widgets, so that the monitor's window
// uses it without the administration library; the job window knows it under this name.
#include "widgets/SpoolerWorker.h"

namespace quill::admin {

using SpoolerWorker = widgets::SpoolerWorker;

} // namespace quill::admin
