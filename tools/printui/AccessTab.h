#pragma once

#include "PrinterProperties.h"

#include <QWidget>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;

namespace quill::printui {

// The Properties dialog's "Access" tab: printing allowed to everyone, only to the users
// and groups of a list, or to everyone but them. Names are checked as they are added, and
// a refused one is explained on the tab.
class AccessTab : public QWidget {
public:
    explicit AccessTab(QWidget* parent = nullptr);

    void Show(const PrinterProperties& properties);
    // Puts the tab's choice into properties; false with the reason, when the choice cannot
    // be sent (a list that is empty).
    bool Edit(PrinterProperties& properties, QString& why) const;
    void SetReadOnly(bool readOnly);

    // Why CUPS could not take name as a user or "@group" name; empty when it can.
    static QString NameProblem(const QString& name);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Add();
    void Remove();
    void Update();

    QRadioButton* m_everyone;
    QRadioButton* m_only;
    QRadioButton* m_except;
    QListWidget* m_list;
    QLineEdit* m_name;
    QPushButton* m_add;
    QPushButton* m_remove;
    QLabel* m_problem;
    bool m_readOnly = false;
};

} // namespace quill::printui
