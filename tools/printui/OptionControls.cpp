#include "OptionControls.h"

#include <QComboBox>
#include <QSpinBox>

namespace quill::printui {

QWidget* NewOptionControl(const PrinterOption& option, QWidget* parent) {
    QWidget* control = nullptr;
    if (option.choices.empty()) {
        auto* spin = new QSpinBox(parent);
        spin->setRange(option.minimum, option.maximum);
        spin->setValue(option.preset.empty() ? option.minimum : std::atoi(option.preset.c_str()));
        control = spin;
    } else {
        auto* combo = new QComboBox(parent);
        for (const Choice& choice : option.choices)
            combo->addItem(QString::fromLocal8Bit(choice.label.c_str()), QByteArray::fromStdString(choice.value));
        const int preset = combo->findData(QByteArray::fromStdString(option.preset));
        combo->setCurrentIndex(preset >= 0 ? preset : 0);
        control = combo;
    }
    control->setObjectName(QString::fromStdString(option.name));
    return control;
}

std::string OptionValue(const QWidget* control) {
    if (auto* spin = qobject_cast<const QSpinBox*>(control)) return std::to_string(spin->value());
    return static_cast<const QComboBox*>(control)->currentData().toByteArray().toStdString();
}

} // namespace quill::printui
