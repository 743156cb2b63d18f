#include "spooler/PasswordPrompt.h"

#include <cups/cups.h>

namespace quill::spooler {
namespace {

const char* AskScope(const char* prompt, http_t*, const char*, const char*, void* scope) {
    return static_cast<PasswordScope*>(scope)->Answer(prompt);
}

thread_local int scopes = 0;

} // namespace

// libcups keeps the password callback per thread.
PasswordScope::PasswordScope(PasswordPrompt prompt) : m_prompt(std::move(prompt)) {
    cupsSetPasswordCB2(&AskScope, this);
    ++scopes;
}

PasswordScope::~PasswordScope() {
    cupsSetPasswordCB2(nullptr, nullptr);
    --scopes;
}

bool PasswordScope::Active() { return scopes > 0; }

const char* PasswordScope::Answer(const char* prompt) {
    constexpr int kMostAnswers = 3;
    if (!m_prompt || ++m_asked > kMostAnswers) return nullptr;
    const auto answer = m_prompt(prompt ? prompt : "", cupsUser());
    if (!answer) return nullptr;
    cupsSetUser(answer->first.c_str());
    m_password = answer->second;
    return m_password.c_str();
}

} // namespace quill::spooler
