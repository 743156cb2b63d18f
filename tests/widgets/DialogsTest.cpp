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
