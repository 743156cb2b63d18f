// The program's message boxes as Qt shows them.
#include "widgets/Dialogs.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <gtest/gtest.h>

using namespace quill;

TEST(QtDialogs, MessagesShowPrinterNamesAsPlainText) {
    widgets::QtDialogs dialogs;
    QString shown;
    Qt::TextFormat format = Qt::RichText;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_TRUE(box);
        shown = box->text();
        format = box->textFormat();
        box->accept();
    });
    dialogs.ShowMessage("Set Default Printer to a<b>c");
    EXPECT_EQ(shown, QStringLiteral("Set Default Printer to a<b>c"));
    EXPECT_EQ(format, Qt::PlainText);
}

TEST(QtDialogs, MessageBoxesAreWideEnoughForTheirCaption) {
    widgets::QtDialogs dialogs;
    int width = 0, captionWidth = 0;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_TRUE(box);
        QFont bold = box->font();
        bold.setBold(true);
        captionWidth = QFontMetrics(bold).horizontalAdvance(box->windowTitle());
        width = box->width();
        box->accept();
    });
    dialogs.ShowMessage("OK");
    EXPECT_GT(captionWidth, 100);
    EXPECT_GE(width, captionWidth + 100); // the caption beside the title bar's icon and buttons
}
