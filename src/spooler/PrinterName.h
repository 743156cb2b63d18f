#pragma once

#include <memory>
#include <string>
#include <vector>

namespace quill::spooler {

// The CUPS queue for a printer name: every byte CUPS refuses in a queue name (control
// characters, blank, DEL, '/', '#', '\', '?', '\'', '"') becomes '_', and the result
// is cut to 127 bytes, never inside a UTF-8 character. "QUILL Amber PDF Creator" is the
// queue QUILL_Amber_PDF_Creator. Bytes that are not UTF-8 stay: such a name addresses
// a queue that someone else made.
std::string QueueName(const std::string& printerName);

// The name of a queue or class this program makes: QueueName, and every byte that is not
// part of a well-formed UTF-8 character becomes '_' too. cupsd
// sends queue names on the system bus, and libdbus ends cupsd on a string that is not
// UTF-8. Equal to QueueName for a name in UTF-8.
std::string NewQueueName(const std::string& printerName);

// The name cut to at most maxBytes, never inside a UTF-8 character.
std::string CutName(const std::string& name, std::size_t maxBytes);

// Whether two printer names address the same queue (CUPS ignores case in queue names).
bool SameQueue(const std::string& a, const std::string& b);

// A name of the form "host\queue" or "\\host\queue" split at its last backslash;
// host is empty for a plain printer name.
struct PrinterPath {
    std::string host;
    std::string printer;
};
PrinterPath SplitPrinterPath(const std::string& name);

// This computer's name ("localhost" when it cannot be read).
std::string ThisComputerName();

// This computer as other hosts and CUPS name it: localhost, its name with or without
// its domain, the loopback addresses and the addresses of its own network interfaces.
// Read once when made.
class ThisComputer {
public:
    ThisComputer();
    // This computer as read at most a few seconds ago (its addresses may change).
    static std::shared_ptr<const ThisComputer> Now();
    const std::string& name() const { return m_name; }
    // Whether host means this computer (an empty host does).
    bool Is(const std::string& host) const;

private:
    std::string m_name;
    std::vector<std::string> m_addresses;
};

// Whether a host name means this computer's own print server.
bool IsLocalHost(const std::string& host);

// A server as "name", "name:port", "[IPv6 address]" or "[IPv6 address]:port" split
// into its name and port; defaultPort when it names none (a bare IPv6 address, with
// its colons, names none either).
struct HostPort {
    std::string host;
    int port = 0;
};
HostPort SplitHostPort(const std::string& server, int defaultPort);

// The decoded form of a URI part in which CUPS writes bytes as %XX.
std::string PercentDecode(const std::string& text);

} // namespace quill::spooler
