#pragma once

#include "platform/ActivationChannel.h"
#include "platform/PrivateFolder.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quill::platform {

// The message of a second start: this line, then the token and a newline.
inline constexpr const char* kActivationGreeting = "QUILL-ACTIVATE 1\n";
// The longest token taken; launchers' tokens are far shorter.
inline constexpr std::size_t kMaxActivationToken = 1024;

// The token in a complete message, or nullopt for anything else (another greeting, a
// token with bytes outside printable ASCII, a cut or overlong message).
std::optional<std::string> ParseActivationMessage(const std::string& message);
std::string ActivationMessage(const std::string& token);

// A listening Unix socket in the user's private folder (PrivateFolder), named from the
// instance key. Only the user can reach it, and a request is taken only from a peer of the
// user's own. The socket file goes with the listener unless a later copy has replaced it.
class ActivationListener {
public:
    ~ActivationListener();
    ActivationListener(const ActivationListener&) = delete;
    ActivationListener& operator=(const ActivationListener&) = delete;

    // Readable when a request waits (for an event loop's notifier).
    int fd() const { return m_fd; }
    // Takes one waiting request: its token ("" for none), or nullopt when none waits or
    // it is not one (garbage, another user's, a peer that does not finish its message
    // within timeout). Never blocks longer than timeout.
    std::optional<std::string> Receive(std::chrono::milliseconds timeout = std::chrono::milliseconds(250));

private:
    friend class UnixActivationChannel;
    ActivationListener(int fd, int folder, std::string fileName, unsigned long long device, unsigned long long inode)
        : m_fd(fd), m_folder(folder), m_fileName(std::move(fileName)), m_device(device), m_inode(inode) {}
    int m_fd;
    int m_folder;
    std::string m_fileName;
    unsigned long long m_device;
    unsigned long long m_inode;
};

class UnixActivationChannel final : public ActivationChannel {
public:
    explicit UnixActivationChannel(std::vector<std::string> fallbackParents = PrivateFolder::DefaultParents(),
                                   std::chrono::milliseconds timeout = std::chrono::milliseconds(500));
    ~UnixActivationChannel() override;

    // A stale socket of a copy that died is replaced.
    bool Listen(const std::string& key) override;
    // Fails at once when nobody listens (no socket, or a stale one); otherwise waits at most
    // the timeout for the running copy to take the connection and the message.
    bool SendActivation(const std::string& key, const std::string& token) override;

    // The listener after a successful Listen, else null.
    ActivationListener* listener() { return m_listener.get(); }

    // The socket's file name in the private folder for a key.
    static std::string SocketName(const std::string& key);

private:
    std::vector<std::string> m_fallbackParents;
    std::chrono::milliseconds m_timeout;
    std::unique_ptr<ActivationListener> m_listener;
};

} // namespace quill::platform
