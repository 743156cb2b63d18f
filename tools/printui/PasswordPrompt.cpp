#include "PasswordPrompt.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QVBoxLayout>

namespace quill::printui {

std::optional<Credentials> AskForPassword(QWidget* owner, const std::string& prompt, const std::string& user) {
    QDialog dialog(owner);
    dialog.setWindowTitle(QStringLiteral("Authentication"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* text = new QLabel(QString::fromLocal8Bit(prompt.c_str()), &dialog);
    text->setTextFormat(Qt::PlainText);
    text->setWordWrap(true);
    layout->addWidget(text);
    auto* form = new QFormLayout;
    auto* name = new QLineEdit(QString::fromLocal8Bit(user.c_str()), &dialog);
    auto* password = new QLineEdit(&dialog);
    password->setEchoMode(QLineEdit::Password);
    form->addRow(QStringLiteral("&User name:"), name);
    form->addRow(QStringLiteral("&Password:"), password);
    layout->addLayout(form);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    password->setFocus();
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return Credentials{name->text().toLocal8Bit().toStdString(), password->text().toLocal8Bit().toStdString()};
}

PasswordCallback::PasswordCallback(QObject* gui, PasswordPrompt prompt) : m_gui(gui), m_prompt(std::move(prompt)) {
    cupsSetPasswordCB2(&PasswordCallback::Ask, this);
}

PasswordCallback::~PasswordCallback() { cupsSetPasswordCB2(nullptr, nullptr); }

const char* PasswordCallback::Ask(const char* prompt, http_t*, const char*, const char*, void* context) {
    constexpr int kMostAnswers = 3;
    auto* self = static_cast<PasswordCallback*>(context);
    if (++self->m_asked > kMostAnswers) return nullptr;
    const std::string question = prompt ? prompt : "";
    const std::string user = cupsUser();
    std::optional<Credentials> answer;
    QMetaObject::invokeMethod(
        self->m_gui, [&] { answer = self->m_prompt(question, user); }, Qt::BlockingQueuedConnection);
    if (!answer) return nullptr;
    cupsSetUser(answer->user.c_str());
    self->m_password = answer->password;
    return self->m_password.c_str();
}

} // namespace quill::printui
