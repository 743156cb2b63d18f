#pragma once

#include "CupsConnection.h"

#include <string>
#include <utility>
#include <vector>

namespace quill::printui {

// Makes the options the queue's defaults for everyone, as `lpadmin -p QUEUE -o NAME=VALUE`
// does: each as the printer's NAME-default, and for a queue with a PPD (a driver's, or the
// one the server made for an IPP Everywhere printer) also as the PPD's Default line, the PPD
// going back to the server with the modification. The users' own choices (lpoptions) are not
// touched. False with CUPS' reason, the queue unchanged.
bool SaveServerDefaults(const PrinterAddress& address, const std::vector<std::pair<std::string, std::string>>& options,
                        std::string& error);

} // namespace quill::printui
