#include "AccessTab.h"

#include "DialogSupport.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace quill::printui {

AccessTab::AccessTab(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    m_everyone = new QRadioButton(QStringLiteral("Allow printing to &everyone"), this);
    m_everyone->setObjectName(QStringLiteral("accessEveryone"));
    m_only = new QRadioButton(QStringLiteral("Allow only &these users and groups"), this);
    m_only->setObjectName(QStringLiteral("accessOnly"));
    m_except = new QRadioButton(QStringLiteral("Allow everyone e&xcept these users and groups"), this);
    m_except->setObjectName(QStringLiteral("accessExcept"));
    auto* group = new QButtonGroup(this);
    for (QRadioButton* button : {m_everyone, m_only, m_except}) {
        group->addButton(button);
        layout->addWidget(button);
        connect(button, &QRadioButton::toggled, this, [this] { Update(); });
    }

    m_list = new QListWidget(this);
    m_list->setObjectName(QStringLiteral("accessList"));
    m_list->setAccessibleName(QStringLiteral("Users and groups"));
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    layout->addWidget(m_list);

    auto* row = new QHBoxLayout;
    auto* label = new QLabel(QStringLiteral("&Name:"), this);
    m_name = new QLineEdit(this);
    m_name->setObjectName(QStringLiteral("accessName"));
    m_name->setPlaceholderText(QStringLiteral("user, or @group"));
    label->setBuddy(m_name);
    m_add = new QPushButton(QStringLiteral("A&dd"), this);
    m_add->setObjectName(QStringLiteral("accessAdd"));
    m_add->setAutoDefault(false);
    m_remove = new QPushButton(QStringLiteral("&Remove"), this);
    m_remove->setObjectName(QStringLiteral("accessRemove"));
    m_remove->setAutoDefault(false);
    row->addWidget(label);
    row->addWidget(m_name, 1);
    row->addWidget(m_add);
    row->addWidget(m_remove);
    layout->addLayout(row);

    m_problem = new QLabel(this);
    m_problem->setObjectName(QStringLiteral("accessProblem"));
    m_problem->setTextFormat(Qt::PlainText);
    m_problem->setWordWrap(true);
    m_problem->setStyleSheet(QStringLiteral("color: #b00000"));
    m_problem->hide();
    layout->addWidget(m_problem);

    connect(m_add, &QPushButton::clicked, this, [this] { Add(); });
    m_name->installEventFilter(this);
    connect(m_remove, &QPushButton::clicked, this, [this] { Remove(); });
    connect(m_list, &QListWidget::itemSelectionChanged, this, [this] { Update(); });
    m_everyone->setChecked(true);
}

// Enter in the name field adds the name; the line edit would pass it on to the dialog,
// whose OK would then apply without it.
bool AccessTab::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_name && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            Add();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

QString AccessTab::NameProblem(const QString& name) {
    const QString bare = name.startsWith(QLatin1Char('@')) ? name.mid(1) : name;
    if (bare.isEmpty())
        return name.isEmpty() ? QStringLiteral("Type a user name, or @ and a group name.")
                              : QStringLiteral("A group needs a name after the @.");
    // IPP carries a name in at most 255 bytes: a longer one could never match a job's user.
    if (name.toLocal8Bit().size() > 255) return QStringLiteral("A user or group name has at most 255 bytes.");
    for (const QChar c : name)
        if (c.isSpace() || c == QLatin1Char(',') || c.category() == QChar::Other_Control)
            return QStringLiteral("A user or group name cannot hold blanks, commas or control characters.");
    return {};
}

void AccessTab::Add() {
    const QString name = m_name->text();
    QString problem = NameProblem(name);
    if (problem.isEmpty() && !m_list->findItems(name, Qt::MatchFixedString).isEmpty())
        problem = name + QStringLiteral(" is already in the list.");
    if (!problem.isEmpty()) {
        m_problem->setText(problem);
        m_problem->show();
        GrowToFit(window());
        m_name->setFocus();
        return;
    }
    m_problem->hide();
    m_list->addItem(name);
    m_name->clear();
    Update();
}

void AccessTab::Remove() {
    qDeleteAll(m_list->selectedItems());
    Update();
}

void AccessTab::Update() {
    const bool listed = !m_everyone->isChecked();
    m_list->setEnabled(listed);
    m_name->setEnabled(listed && !m_readOnly);
    m_add->setEnabled(listed && !m_readOnly);
    m_remove->setEnabled(listed && !m_readOnly && !m_list->selectedItems().isEmpty());
}

void AccessTab::Show(const PrinterProperties& p) {
    m_list->clear();
    for (const std::string& name : p.accessList) m_list->addItem(QString::fromLocal8Bit(name.c_str()));
    (p.access == Access::OnlyListed     ? m_only
     : p.access == Access::AllButListed ? m_except
                                        : m_everyone)
        ->setChecked(true);
    m_problem->hide();
    Update();
}

bool AccessTab::Edit(PrinterProperties& p, QString& why) const {
    const Access access = m_only->isChecked()     ? Access::OnlyListed
                          : m_except->isChecked() ? Access::AllButListed
                                                  : Access::Everyone;
    if (access != Access::Everyone && !m_name->text().isEmpty()) {
        why = QStringLiteral("Access: the name typed has not been added to the list yet: add it, or clear it.");
        return false;
    }
    std::vector<std::string> list;
    for (int i = 0; access != Access::Everyone && i < m_list->count(); ++i)
        list.push_back(m_list->item(i)->text().toLocal8Bit().toStdString());
    if (access != Access::Everyone && list.empty()) {
        why = QStringLiteral("Access: add at least one user or group to the list, or allow printing to everyone.");
        return false;
    }
    // An unchanged list keeps its bytes (names need not be UTF-8).
    if (access == p.access && list.size() == p.accessList.size()) {
        bool same = true;
        for (std::size_t i = 0; same && i < list.size(); ++i)
            same = QString::fromLocal8Bit(p.accessList[i].c_str()).toLocal8Bit().toStdString() == list[i];
        if (same) return true;
    }
    p.access = access;
    p.accessList = std::move(list);
    return true;
}

void AccessTab::SetReadOnly(bool readOnly) {
    m_readOnly = readOnly;
    for (QRadioButton* button : {m_everyone, m_only, m_except}) button->setEnabled(!readOnly);
    Update();
}

} // namespace quill::printui
