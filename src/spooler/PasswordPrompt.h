#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>

namespace quill::spooler {

// Asks the user for a user name and password: (user, password), or nullopt when cancelled.
using PasswordPrompt = std::function<std::optional<std::pair<std::string, std::string>>(const std::string& prompt,
                                                                                        const std::string& user)>;

// While a scope lives, a spooler request of its thread that the server refuses for want
// of authentication asks through the prompt and tries again with the answer; a cancel,
// or a third answer the server refuses, lets the request fail as before. A scope without
// a prompt refuses every question. Scopes nest: the inner one answers while it lives.
class PasswordScope {
public:
    explicit PasswordScope(PasswordPrompt prompt);
    ~PasswordScope();
    PasswordScope(const PasswordScope&) = delete;
    PasswordScope& operator=(const PasswordScope&) = delete;

    // Answers the server's question for the thread's request (libcups' password callback).
    const char* Answer(const char* prompt);
    // Whether the calling thread has a scope that asks someone (not one that refuses).
    static bool Active();

private:
    PasswordPrompt m_prompt;
    PasswordScope* m_outer;
    std::string m_password;
    int m_asked = 0;
};

} // namespace quill::spooler
