#pragma once

#include "CupsConnection.h"
#include "widgets/Dialogs.h"
#include "widgets/SpoolerWorker.h"

#include <QDialog>

#include <memory>
#include <string>

class QComboBox;
class QLabel;
class QLineEdit;
class QListView;
class QSortFilterProxyModel;
class QStandardItemModel;

namespace quill::printui {

// "Change Driver": the server's drivers by make and model, read beside the window, with
// "IPP Everywhere" first for an IPP device that speaks it. Narrowed by make and by a text.
// OK takes the selected driver; the Properties dialog applies it with OK or Apply.
class DriverDialog : public QDialog {
public:
    DriverDialog(PrinterAddress address, std::string deviceUri, widgets::Dialogs* passwords, QWidget* parent);
    ~DriverDialog() override;

    // The driver chosen (its ppd-name) and what it is called; empty before one is.
    std::string chosenName() const { return m_chosenName; }
    std::string chosenLabel() const { return m_chosenLabel; }
    // Whether the list has been read (or could not be).
    bool loaded() const { return m_loaded; }

    void accept() override;
    void done(int result) override;

private:
    void Filter();

    QComboBox* m_make;
    QLineEdit* m_filter;
    QListView* m_view;
    QLabel* m_status;
    QStandardItemModel* m_model;
    QSortFilterProxyModel* m_shown;
    std::string m_chosenName;
    std::string m_chosenLabel;
    bool m_loaded = false;
    std::unique_ptr<widgets::SpoolerWorker> m_worker;
};

} // namespace quill::printui
