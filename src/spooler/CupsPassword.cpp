#include "spooler/PasswordPrompt.h"

#include <cups/cups.h>

namespace quill::spooler {
namespace {

const char* AskScope(const char* prompt, http_t*, const char*, const char*, void* scope) {
    return static_cast<PasswordScope*>(scope)->Answer(prompt);
}

// The innermost scope of the thread; libcups keeps the password callback per thread.
thread_local PasswordScope* t_scope = nullptr;

} // namespace

PasswordScope::PasswordScope(PasswordPrompt prompt) : m_prompt(std::move(prompt)), m_outer(t_scope) {
    t_scope = this;
    cupsSetPasswordCB2(&AskScope, this);
}

// The scope around it answers again; without one, libcups' own prompt would, so a thread
// is meant to keep an outer scope for as long as it talks to CUPS.
PasswordScope::~PasswordScope() {
    t_scope = m_outer;
    cupsSetPasswordCB2(m_outer ? &AskScope : nullptr, m_outer);
}

// A scope that refuses every question has nobody to ask.
bool PasswordScope::Active() { return t_scope && t_scope->m_prompt; }

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
