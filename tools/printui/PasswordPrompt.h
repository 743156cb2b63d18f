#pragma once

#include "spooler/PasswordPrompt.h"

#include <functional>
#include <optional>
#include <string>

class QObject;
class QWidget;

namespace quill::printui {

struct Credentials {
    std::string user;
    std::string password;
};

// Asks for a user name and password on the GUI thread; nullopt when cancelled.
using PasswordPrompt = std::function<std::optional<Credentials>(const std::string& prompt, const std::string& user)>;

// The password dialog: CUPS' prompt as plain text, the user name (preset), the password.
std::optional<Credentials> AskForPassword(QWidget* owner, const std::string& prompt, const std::string& user);

// While it lives, CUPS' password callback of the calling thread (a worker) asks through
// prompt on the thread of gui and waits for the answer. A cancelled prompt, or a third
// wrong answer, lets the request fail with CUPS' reason.
class PasswordCallback {
public:
    PasswordCallback(QObject* gui, PasswordPrompt prompt);

private:
    spooler::PasswordScope m_scope;
};

} // namespace quill::printui
