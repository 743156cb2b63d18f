#pragma once

#include "PrinterProperties.h"

#include <QWidget>

#include <vector>

namespace quill::printui {

// The Properties dialog's "Supplies" tab: a bar for each supply the printer reports, in
// the supply's colour, or "not reported". Only shown, never changed.
class SuppliesTab : public QWidget {
public:
    explicit SuppliesTab(QWidget* parent = nullptr);
    void Show(const std::vector<Marker>& markers);

    // What a bar says of a supply's level ("40%", "40% (low)", "unknown").
    static QString LevelText(const Marker& marker);

private:
    QWidget* m_content = nullptr;
};

} // namespace quill::printui
