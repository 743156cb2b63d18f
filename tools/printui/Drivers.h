#pragma once

#include "CupsConnection.h"

#include <optional>
#include <string>
#include <vector>

namespace quill::printui {

// A driver the print server offers: one of its PPDs.
struct Driver {
    std::string name;         // ppd-name, what CUPS-Add-Modify-Printer takes
    std::string make;         // ppd-make
    std::string makeAndModel; // ppd-make-and-model, what the user sees
};

// The ppd-name that has the server make the driver from what an IPP Everywhere printer
// reports about itself.
inline constexpr const char* kEverywhere = "everywhere";

// The server's PPDs (CUPS-Get-PPDs; seconds on a server with many drivers: run it beside
// the window), by make and model; nullopt with CUPS' reason.
std::optional<std::vector<Driver>> ReadDrivers(const PrinterAddress& address, std::string& error);

// Whether the device is reached over IPP (ipp, ipps, or an IPP printer found by DNS-SD), the
// only devices the server can make a driverless queue for.
bool IsIppDevice(const std::string& deviceUri);

// Whether the IPP device takes a document format the server's driverless queues send (PDF,
// PWG raster, Apple raster): asked of the device itself, with bounded waits. Nullopt with the
// reason when it cannot be asked (a DNS-SD name, which the server resolves; no answer).
std::optional<bool> SpeaksIppEverywhere(const std::string& deviceUri, std::string& error);

// The IPP device's answer to Get-Printer-Attributes for the attributes, asked of the device
// itself (ipp or ipps) with bounded waits, given up when the worker is; null with the reason.
Ipp AskIppDevice(const std::string& deviceUri, const std::vector<const char*>& attributes, std::string& error);

} // namespace quill::printui
