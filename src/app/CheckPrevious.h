#pragma once

#include "platform/ActivationChannel.h"
#include "platform/SharedSection.h"
#include "platform/WindowActivator.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quill::app {

// The instance key: the executable's full path with every backslash removed.
std::string InstanceKey(const std::string& executablePath);

// The guard that keeps a second copy of the same executable from running. The copies
// share an 8-byte section named by the instance key: the window of the copy counted in
// last (32 bits) and the number of copies counted in (signed 32 bits), little-endian.
class CheckPrevious {
public:
    // activation, when given, is how the running copy hears of a second start: a counted-in
    // copy listens on it, and a second start hands the running copy the token that
    // activationToken gives ("" for none; asked only by a second start) before it brings
    // the recorded window forward.
    CheckPrevious(platform::SharedSection& sections, platform::WindowActivator& windows, std::string executablePath,
                  platform::ActivationChannel* activation = nullptr, std::function<std::string()> activationToken = {});
    ~CheckPrevious();
    CheckPrevious(const CheckPrevious&) = delete;
    CheckPrevious& operator=(const CheckPrevious&) = delete;

    // True when another copy runs and was brought forward: this process must end now.
    // Throws std::system_error when the section cannot be created.
    bool EnterInstanceGuard(std::uint32_t window, std::int32_t AllowedInstances);
    // Gives this copy's place back; runs once, when the process ends.
    void LeaveInstanceGuard();
    // Records the main window once it exists (the guard runs before any window does).
    void SetInstanceWindow(std::uint32_t window);

    bool countedIn() const { return m_countedIn; }

private:
    platform::SharedSection& m_sections;
    platform::WindowActivator& m_windows;
    std::string m_executablePath;
    platform::ActivationChannel* m_activation;
    std::function<std::string()> m_activationToken;
    std::string m_key;
    std::unique_ptr<platform::SectionHandle> m_handle; // from the creation, for the copy's whole life
    std::unique_ptr<platform::SectionHandle> m_opened; // opened by name when the section existed
    std::unique_ptr<platform::SectionView> m_view;
    bool m_countedIn = false;
};

// Access to the record's fields in the section's bytes.
std::uint32_t RecordWindow(const unsigned char* record);
std::int32_t RecordCount(const unsigned char* record);
void SetRecordWindow(unsigned char* record, std::uint32_t window);
void SetRecordCount(unsigned char* record, std::int32_t count);

} // namespace quill::app
