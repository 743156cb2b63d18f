#include "PasswordPrompt.h"

#include "widgets/Dialogs.h"

#include <QMetaObject>

namespace quill::printui {

std::optional<Credentials> AskForPassword(QWidget* owner, const std::string& prompt, const std::string& user) {
    widgets::QtDialogs dialogs(owner);
    const auto answer = dialogs.AskPassword(prompt, user);
    if (!answer) return std::nullopt;
    return Credentials{answer->first, answer->second};
}

PasswordCallback::PasswordCallback(QObject* gui, PasswordPrompt prompt)
    : m_scope([gui, prompt = std::move(prompt)](const std::string& question, const std::string& user) {
          // The request waits on this worker thread while the GUI thread asks.
          std::optional<Credentials> answer;
          QMetaObject::invokeMethod(
              gui, [&] { answer = prompt(question, user); }, Qt::BlockingQueuedConnection);
          return answer ? std::optional(std::make_pair(answer->user, answer->password)) : std::nullopt;
      }) {}

} // namespace quill::printui
