#pragma once

#include "CupsConnection.h"

#include <optional>
#include <string>
#include <vector>

namespace quill::printui {

// A device the print server found, as CUPS-Get-Devices reports it.
struct Device {
    std::string uri;  // device-uri: a whole URI, or only a scheme for a kind of connection to fill in
    std::string info; // device-info
    std::string makeAndModel;
    std::string deviceClass; // direct, file, network, serial
};

// How long the server looks for devices: its backends that have not answered by then are
// left out. Below the request's answer bound, so the answer comes in time.
inline constexpr int kDeviceSearchSeconds = 3;

// The devices the server's backends find (seconds: run it beside the window); nullopt with
// CUPS' reason. excludeSchemes leaves those backends out (exclude-schemes).
std::optional<std::vector<Device>> FindDevices(const PrinterAddress& address, std::string& error,
                                               const std::vector<std::string>& excludeSchemes = {});

} // namespace quill::printui
