#include "DialogSupport.h"

#include <QDialog>
#include <QGuiApplication>
#include <QLayout>
#include <QScreen>

#include <algorithm>

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

void GrowToFit(QWidget* window) {
    QLayout* layout = window->layout();
    if (!layout) return;
    layout->activate();
    const int needed = std::max(layout->totalMinimumSize().height(), layout->hasHeightForWidth()
                                                                         ? layout->totalHeightForWidth(window->width())
                                                                         : layout->totalSizeHint().height());
    const QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    const int room = screen ? screen->availableGeometry().height() * 9 / 10 : needed;
    if (needed > window->height()) window->resize(window->width(), std::min(needed, room));
    KeepOnScreen(window);
}

void KeepOnScreen(QWidget* window) {
    const QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    const int below = window->frameGeometry().bottom() - area.bottom();
    if (below > 0) window->move(window->x(), std::max(area.top(), window->y() - below));
}

} // namespace quill::printui
