#include "app/CheckPrevious.h"

#include <cerrno>
#include <system_error>

namespace quill::app {
namespace {

std::uint32_t Get32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void Put32(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

} // namespace

std::uint32_t RecordWindow(const unsigned char* record) { return Get32(record); }
std::int32_t RecordCount(const unsigned char* record) { return static_cast<std::int32_t>(Get32(record + 4)); }
void SetRecordWindow(unsigned char* record, std::uint32_t window) { Put32(record, window); }
void SetRecordCount(unsigned char* record, std::int32_t count) { Put32(record + 4, static_cast<std::uint32_t>(count)); }

std::string InstanceKey(const std::string& executablePath) {
    std::string key;
    for (char c : executablePath)
        if (c != '\\') key += c;
    return key;
}

CheckPrevious::CheckPrevious(platform::SharedSection& sections, platform::WindowActivator& windows,
                             std::string executablePath, platform::ActivationChannel* activation,
                             std::function<std::string()> activationToken)
    : m_sections(sections), m_windows(windows), m_executablePath(std::move(executablePath)), m_activation(activation),
      m_activationToken(std::move(activationToken)) {}

CheckPrevious::~CheckPrevious() { LeaveInstanceGuard(); }

bool CheckPrevious::EnterInstanceGuard(std::uint32_t window, std::int32_t AllowedInstances) {
    m_key = InstanceKey(m_executablePath);
    // Two copies starting at the same moment take turns here, so they cannot both read
    // a count of 0 and both run.
    const auto startLock = m_sections.LockStarts(m_key);

    platform::SharedSection::Created created = m_sections.CreateFileMappingA(m_key);
    if (!created.handle) throw std::system_error(created.error, std::generic_category(), "CreateFileMapping");
    m_handle = std::move(created.handle);

    if (!created.alreadyExists) {
        m_view = m_handle->MapViewOfFile();
        if (!m_view) throw std::system_error(errno ? errno : EIO, std::generic_category(), "MapViewOfFile");
        SetRecordWindow(m_view->bytes(), window);
        SetRecordCount(m_view->bytes(), 1);
        m_countedIn = true;
        if (m_activation) m_activation->Listen(m_key); // without it, later starts can still use the window
        return false;
    }

    // The handle of the creation stays with the copy: it is what keeps the section alive
    // for as long as this copy runs, also when it runs as a later counted-in copy.
    m_opened = m_sections.OpenFileMappingA(m_key);
    if (!m_opened) return true; // ends quietly and leaves the count alone
    m_view = m_opened->MapViewOfFile();
    if (!m_view) return true;

    unsigned char* record = m_view->bytes();
    if (AllowedInstances > RecordCount(record)) {
        SetRecordWindow(record, window);
        SetRecordCount(record, RecordCount(record) + 1);
        m_countedIn = true;
        if (m_activation) m_activation->Listen(m_key);
        return false;
    }

    // Where only the window's owner can bring it forward (Wayland), the running copy does
    // it with this start's token; the window operations below serve X11.
    if (m_activation) m_activation->SendActivation(m_key, m_activationToken ? m_activationToken() : std::string());
    const std::uint32_t running = RecordWindow(record);
    if (m_windows.IsIconic(running)) m_windows.ShowWindow(running, platform::WindowActivator::SW_RESTORE);
    m_windows.SetForegroundWindow(running);
    return true;
}

void CheckPrevious::SetInstanceWindow(std::uint32_t window) {
    if (!m_countedIn || !m_view) return;
    const auto startLock = m_sections.LockStarts(m_key);
    SetRecordWindow(m_view->bytes(), window);
}

void CheckPrevious::LeaveInstanceGuard() {
    if (m_key.empty() && !m_handle) return;
    const auto startLock = m_sections.LockStarts(m_key);
    if (m_countedIn) {
        if (auto handle = m_sections.OpenFileMappingA(m_key)) {
            if (auto view = handle->MapViewOfFile()) SetRecordCount(view->bytes(), RecordCount(view->bytes()) - 1);
        }
        m_countedIn = false;
    }
    m_view.reset();
    m_opened.reset();
    m_handle.reset();
    m_key.clear();
}

} // namespace quill::app
