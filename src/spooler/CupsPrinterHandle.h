#pragma once

#include "spooler/PrinterName.h"
#include "spooler/Spooler.h"

#include <cups/ipp.h>

#include <cstdint>
#include <string>

namespace quill::spooler {

// An open printer of the CUPS adapter: the name it was opened with, its server (empty
// for the local one) and its queue as CUPS names it.
class CupsPrinterHandle final : public PrinterHandle {
public:
    CupsPrinterHandle(std::string name, std::string host, std::string queue)
        : m_name(std::move(name)), m_host(std::move(host)), m_queue(std::move(queue)) {}
    const std::string& printerName() const override { return m_name; }
    const std::string& host() const { return m_host; }
    const std::string& queue() const { return m_queue; }

private:
    std::string m_name;
    std::string m_host;
    std::string m_queue;
};

// A queue whose device is a printer on another computer is a printer connection. CUPS
// also marks queues with an IPP device on this computer as remote, so the device
// decides where there is one, and the remote type only where there is none.
bool IsConnection(int printerType, const std::string& deviceUri, const ThisComputer& own);

// The printer status bits of a printer's state and state reasons.
std::uint32_t PrinterStatus(int state, ipp_attribute_t* reasons);

} // namespace quill::spooler
