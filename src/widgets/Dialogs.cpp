#include "widgets/Dialogs.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QFontMetrics>
#include <QFormLayout>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

namespace quill::widgets {
namespace {

QString Q(const std::string& s) { return QString::fromLocal8Bit(s.data(), static_cast<qsizetype>(s.size())); }

// Message texts hold printer names: shown as plain text, never as markup.
void ShowBox(QWidget* owner, QMessageBox::Icon icon, const std::string& text) {
    QMessageBox box(icon, QString::fromUtf8(kApplicationTitle), Q(text), QMessageBox::Ok, owner);
    box.setTextFormat(Qt::PlainText);
    FitCaption(box);
    box.exec();
}

// "Printer Settings (*.qpk)|*.qpk" as Qt writes it: "Printer Settings (*.qpk)".
QString QtFilter(const std::string& filter) {
    QStringList parts = Q(filter).split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString description = parts[i];
        if (!description.contains(QLatin1Char('('))) description += QStringLiteral(" (") + parts[i + 1] + ")";
        filters << description;
    }
    return filters.join(QStringLiteral(";;"));
}

std::optional<std::string> RunFileDialog(QWidget* owner, const FileDialogSettings& settings, bool save) {
    QFileDialog dialog(owner, Q(settings.Title));
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setNameFilter(QtFilter(settings.Filter));
    dialog.setDefaultSuffix(Q(settings.DefaultExt));
    if (!settings.InitialDir.empty()) dialog.setDirectory(Q(settings.InitialDir));
    // A name with wildcards ("*.qpk") stands in the name field as a pattern to type over.
    if (!settings.FileName.empty()) dialog.selectFile(Q(settings.FileName));
    // A Qt file dialog has no read-only box, so HideReadOnly needs nothing here.
    if (!settings.OverwritePrompt) dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setSizeGripEnabled(settings.EnableSizing);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return QFile::encodeName(dialog.selectedFiles().first()).toStdString();
}

} // namespace

void FitCaption(QMessageBox& box) {
    // A box sized to a short text is narrower than its caption, which the window manager
    // then cuts in the middle. Title bars use a bold face of about the box's size, and
    // keep room for the window icon and two or three buttons.
    constexpr int kTitleBarControls = 120;
    QFont titleFont = box.font();
    titleFont.setBold(true);
    const int width = QFontMetrics(titleFont).horizontalAdvance(box.windowTitle()) + kTitleBarControls;
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    if (!grid) return;
    grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Minimum), grid->rowCount(), 0, 1,
                  grid->columnCount());
}

void QtDialogs::ShowMessage(const std::string& text) { ShowBox(m_owner, QMessageBox::NoIcon, text); }

void QtDialogs::ShowErrorMessage(const std::string& text) { ShowBox(m_owner, QMessageBox::Critical, text); }

std::optional<std::string> QtDialogs::InputBox(const std::string& caption, const std::string& prompt,
                                               const std::string& defaultText) {
    bool ok = false;
    // The prompt's lines are joined by carriage returns.
    const QString lines = Q(prompt).replace(QLatin1Char('\r'), QLatin1Char('\n'));
    const QString text = QInputDialog::getText(m_owner, Q(caption), lines, QLineEdit::Normal, Q(defaultText), &ok);
    if (!ok) return std::nullopt;
    return text.toLocal8Bit().toStdString();
}

std::optional<std::pair<std::string, std::string>> QtDialogs::AskPassword(const std::string& prompt,
                                                                          const std::string& user) {
    QDialog dialog(m_owner);
    dialog.setWindowTitle(QStringLiteral("Authentication"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* text = new QLabel(Q(prompt), &dialog);
    text->setTextFormat(Qt::PlainText);
    text->setWordWrap(true);
    layout->addWidget(text);
    auto* form = new QFormLayout;
    auto* name = new QLineEdit(Q(user), &dialog);
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
    return std::make_pair(name->text().toLocal8Bit().toStdString(), password->text().toLocal8Bit().toStdString());
}

std::optional<std::string> QtDialogs::OpenFile(const FileDialogSettings& settings) {
    return RunFileDialog(m_owner, settings, false);
}

std::optional<std::string> QtDialogs::SaveFile(const FileDialogSettings& settings) {
    return RunFileDialog(m_owner, settings, true);
}

} // namespace quill::widgets
