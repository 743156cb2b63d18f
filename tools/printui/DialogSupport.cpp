#include "DialogSupport.h"

#include <QDialog>
#include <QGuiApplication>
#include <QScreen>

namespace quill::printui {

void FitAndCentre(QDialog* dialog) {
    dialog->adjustSize();
    QScreen* screen = dialog->screen() ? dialog->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    const QSize wanted = dialog->sizeHint().expandedTo(dialog->minimumSizeHint());
    dialog->resize(std::min(wanted.width(), area.width() * 9 / 10), std::min(wanted.height(), area.height() * 9 / 10));
    dialog->move(area.center() - QPoint(dialog->width() / 2, dialog->height() / 2));
}

} // namespace quill::printui
