#pragma once

#include <QEventLoop>
#include <QMetaObject>

#include <thread>

class QDialog;

namespace quill::printui {

// Runs work on a thread of its own and returns its result; meanwhile the GUI thread
// keeps handling events, so the window paints and a password can be asked for.
template <typename Work> auto RunBesideTheWindow(Work work) -> decltype(work()) {
    decltype(work()) result{};
    QEventLoop loop;
    std::thread worker([&] {
        result = work();
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    return result;
}

// Sizes the dialog to its content (at most most of the screen) and centres it there.
void FitAndCentre(QDialog* dialog);

} // namespace quill::printui
