#include "CupsSandbox.h"

#include <cups/cups.h>

#include <array>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <fcntl.h>
#include <unistd.h>

namespace quill::test {

std::string ShellQuote(const std::string& s) {
    std::string quoted = "'";
    for (char c : s) {
        if (c == '\'') quoted += "'\\''";
        else quoted += c;
    }
    return quoted + "'";
}

namespace {

std::string BusOption(CupsSandbox::Bus bus) {
    switch (bus) {
    case CupsSandbox::Bus::None: return " --no-bus";
    case CupsSandbox::Bus::CupsdToo: return " --cupsd-on-bus";
    case CupsSandbox::Bus::Private: break;
    }
    return "";
}

} // namespace

bool CupsSandbox::Possible() { return ::access("/usr/sbin/cupsd", X_OK) == 0; }

bool CupsSandbox::BusPossible() { return ::access("/usr/bin/dbus-daemon", X_OK) == 0; }

std::string CupsSandbox::Script() const { return std::string(QUILL_SOURCE_DIR) + "/tests/support/cups-sandbox"; }

CupsSandbox::CupsSandbox(bool webInterface, const std::string& listenAlso, Bus bus) : m_bus(bus) {
    char pattern[] = "/tmp/quill-cups-XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    m_dir = pattern;
    Run(Script() + " start " + ShellQuote(m_dir) + (webInterface ? " --web" : "") +
        (listenAlso.empty() ? "" : " --listen " + ShellQuote(listenAlso)) + BusOption(bus));
    ::setenv("CUPS_SERVER", server().c_str(), 1);
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress().c_str(), 1);
    cupsSetServer(server().c_str());
}

CupsSandbox::~CupsSandbox() {
    std::system((Script() + " stop " + ShellQuote(m_dir)).c_str());
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
}

std::string CupsSandbox::Run(const std::string& commandLine) const {
    // Exported, so that every command of a pipeline or list talks to this server, not
    // only the first (another sandbox may be the one of this process).
    // CUPS' administration tools (lpadmin, cupsenable, ...) are in /usr/sbin, which a normal
    // user's PATH leaves out.
    const std::string full = "export PATH=\"$PATH:/usr/sbin:/sbin\" CUPS_SERVER=" + ShellQuote(server()) +
                             " DBUS_SYSTEM_BUS_ADDRESS=" + ShellQuote(busAddress()) + "; " + commandLine + " 2>&1";
    FILE* pipe = ::popen(full.c_str(), "r");
    if (!pipe) throw std::runtime_error("cannot run " + commandLine);
    std::string output;
    std::array<char, 4096> buffer;
    for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) output.append(buffer.data(), n);
    const int status = ::pclose(pipe);
    if (status != 0) throw std::runtime_error(commandLine + " failed: " + output);
    return output;
}

void CupsSandbox::AddQueue(const std::string& name, const std::string& info, const std::string& device) {
    Run("lpadmin -p " + ShellQuote(name) + " -D " + ShellQuote(info.empty() ? name : info) + " -v " +
        ShellQuote(device) + " -E");
}

void CupsSandbox::ReplaceQueues(const std::vector<std::string>& names) {
    Stop();
    {
        std::ofstream conf(m_dir + "/etc/printers.conf");
        for (const std::string& name : names)
            conf << "<Printer " << name << ">\nInfo " << name
                 << "\nDeviceURI discard:/\nState Idle\nStateTime 0\nType 4\nAccepting Yes\nShared No\n"
                    "JobSheets none none\nQuotaPeriod 0\nPageLimit 0\nKLimit 0\nOpPolicy default\n"
                    "ErrorPolicy stop-printer\n</Printer>\n";
    }
    Start();
}

void CupsSandbox::DeleteQueue(const std::string& name) { Run("lpadmin -x " + ShellQuote(name)); }

void CupsSandbox::DeleteAllQueues() {
    for (const auto& queue : Queues()) DeleteQueue(queue);
}

void CupsSandbox::SetShared(const std::string& name, bool shared) {
    Run("lpadmin -p " + ShellQuote(name) + " -o printer-is-shared=" + (shared ? "true" : "false"));
}

void CupsSandbox::AddClass(const std::string& name, const std::string& member) {
    Run("lpadmin -p " + ShellQuote(member) + " -c " + ShellQuote(name));
}

std::vector<std::string> CupsSandbox::Queues() {
    std::vector<std::string> queues;
    std::string output;
    try {
        output = Run("lpstat -e");
    } catch (const std::runtime_error&) {
        return queues; // lpstat fails when there are none
    }
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) queues.push_back(line);
    return queues;
}

void CupsSandbox::InstallManagedPrinterDriver() {
    Run(Script() + " install-managed " + ShellQuote(m_dir) + " " + ShellQuote(QUILL_PDFINST_BACKEND) + " " +
        ShellQuote(QUILL_PDFINST_PPD));
}

std::string CupsSandbox::JobPdf(int jobId, const std::string& folder) const {
    http_t* http =
        httpConnect2(server().c_str(), ippPort(), nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED, 1, 5000, nullptr);
    for (int i = 0; http && i < 400; ++i) {
        cups_job_t* jobs = nullptr;
        const int count = cupsGetJobs2(http, &jobs, nullptr, 0, CUPS_WHICHJOBS_ALL);
        bool ended = false;
        for (int j = 0; j < count; ++j)
            if (jobs[j].id == jobId) ended = jobs[j].state >= IPP_JSTATE_STOPPED;
        cupsFreeJobs(count, jobs);
        if (ended) break;
        ::usleep(50000);
    }
    if (http) httpClose(http);
    const std::string alone = "job-" + std::to_string(jobId) + ".pdf";
    const std::string suffix = "-" + alone;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name == alone || (name.size() > suffix.size() && name.ends_with(suffix))) return entry.path().string();
    }
    return {};
}

namespace {

int NumberIn(const std::string& file) {
    std::ifstream in(file);
    int number = 0;
    in >> number;
    return number;
}

} // namespace

int CupsSandbox::port() const { return NumberIn(m_dir + "/run/port"); }

int CupsSandbox::pid() const { return NumberIn(m_dir + "/run/cupsd.pid"); }

std::string CupsSandbox::busAddress() const {
    // Bytes other than these are escaped in a D-Bus address.
    static constexpr std::string_view kPlain = "-_/.*0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string address = "unix:path=";
    for (const unsigned char c : m_dir + "/run/dbus/system_bus_socket") {
        if (kPlain.find(static_cast<char>(c)) != std::string_view::npos) address += static_cast<char>(c);
        else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            address += escaped;
        }
    }
    return address;
}

bool CupsSandbox::HasBus() const {
    return std::system((Script() + " bus " + ShellQuote(m_dir) + " >/dev/null").c_str()) == 0;
}

void CupsSandbox::TakeNotifierLock() {
    // Exclusively, as the notifier does: a notifier that holds it already keeps sending.
    const int fd = ::open(NotifierLockFile().c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) throw std::runtime_error("cannot take " + NotifierLockFile() + ": " + std::strerror(errno));
    ::close(fd);
}

void CupsSandbox::ReleaseNotifierLock() { std::filesystem::remove(NotifierLockFile()); }

void CupsSandbox::Stop() { Run(Script() + " stop " + ShellQuote(m_dir) + " --keep-bus"); }

void CupsSandbox::Start(bool keepSubscriptions) {
    if (!keepSubscriptions) Run("rm -f " + ShellQuote(m_dir) + "/etc/subscriptions.conf*");
    Run(Script() + " start " + ShellQuote(m_dir) + BusOption(m_bus));
}

int CupsSandbox::Subscriptions(bool pullOnly) const {
    ipp_t* request = ippNewRequest(IPP_OP_GET_SUBSCRIPTIONS);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, "ipp://localhost/");
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ippAddBoolean(request, IPP_TAG_OPERATION, "my-subscriptions", 0);
    ipp_t* answer = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
    int count = 0;
    for (ipp_attribute_t* a = ippFirstAttribute(answer); a; a = ippNextAttribute(answer))
        if (ippGetName(a) && std::string(ippGetName(a)) == (pullOnly ? "notify-pull-method" : "notify-subscription-id"))
            ++count;
    ippDelete(answer);
    return count;
}

int CupsSandbox::SubmitJob(const std::string& queue, const std::string& text, bool hold, const std::string& title) {
    const std::string output = Run("printf %s " + ShellQuote(text) + " | lp -d " + ShellQuote(queue) +
                                   (hold ? " -H hold" : "") + " -t " + ShellQuote(title));
    // "request id is QUEUE-17 (1 file(s))"
    const auto dash = output.rfind('-', output.find(" ("));
    return std::atoi(output.c_str() + dash + 1);
}

} // namespace quill::test
