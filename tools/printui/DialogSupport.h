#pragma once

#include "widgets/SpoolerWorker.h"

#include <QEventLoop>

#include <utility>

class QDialog;
class QWidget;

namespace quill::printui {

// Runs work on the windows' worker and returns its result; meanwhile the GUI thread
// keeps handling events, so the window paints and CUPS' question for a password is
// asked through passwords (without it, the question is refused).
template <typename Work> auto RunBesideTheWindow(Work work, widgets::Dialogs* passwords = nullptr) -> decltype(work()) {
    decltype(work()) result{};
    QEventLoop loop;
    widgets::SpoolerWorker worker(&loop, passwords);
    worker.Post(std::move(work), [&](auto answer) {
        result = std::move(answer);
        loop.quit();
    });
    loop.exec();
    return result;
}

// Sizes the dialog to its content (at most most of the screen) and centres it there.
void FitAndCentre(QDialog* dialog);

// Makes the window as tall as its content needs at its width (at most most of the
// screen): a message that wraps onto more lines does not grow a window by itself, and
// the rows above it would be squeezed.
void GrowToFit(QWidget* window);

// Moves a window that grew up so that its lower edge, with its buttons, is on the screen.
void KeepOnScreen(QWidget* window);

} // namespace quill::printui
