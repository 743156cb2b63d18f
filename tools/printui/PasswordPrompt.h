#pragma once

#include <cups/cups.h>

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
    ~PasswordCallback();
    PasswordCallback(const PasswordCallback&) = delete;
    PasswordCallback& operator=(const PasswordCallback&) = delete;

private:
    static const char* Ask(const char* prompt, http_t* http, const char* method, const char* resource, void* self);

    QObject* m_gui;
    PasswordPrompt m_prompt;
    std::string m_password;
    int m_asked = 0;
};

} // namespace quill::printui
