// The file-name dialog: only OK hands a name on.
#include "ui/dlguploadnvram.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

class TestUploadDialog : public QObject {
    Q_OBJECT

private slots:
    void okEmitsFieldText_data();
    void okEmitsFieldText();
    void okHidesBeforeEmitting();
    void nextShowingKeepsTypedText();
    void dismissingEmitsNothing_data();
    void dismissingEmitsNothing();
    void isModalWhileShown();
};

namespace {

QLineEdit *nameField(dlgUploadNVRAM &dialog)
{
    return dialog.findChild<QLineEdit *>(QStringLiteral("lineEditFileName"));
}

QPushButton *button(dlgUploadNVRAM &dialog, const char *name)
{
    return dialog.findChild<QPushButton *>(QString::fromLatin1(name));
}

} // namespace

void TestUploadDialog::okEmitsFieldText_data()
{
    QTest::addColumn<bool>("retype");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("emitted");

    QTest::newRow("defaultName") << false << QString() << QStringLiteral("CtlUpload");
    QTest::newRow("typedName") << true << QStringLiteral("Line 3 backup")
                               << QStringLiteral("Line 3 backup");
    QTest::newRow("emptyName") << true << QString() << QString();
    QTest::newRow("untrimmed") << true << QStringLiteral(" a/b.nvr ")
                               << QStringLiteral(" a/b.nvr ");
}

void TestUploadDialog::okEmitsFieldText()
{
    QFETCH(bool, retype);
    QFETCH(QString, typed);
    QFETCH(QString, emitted);

    dlgUploadNVRAM dialog;
    QSignalSpy spy(&dialog, &dlgUploadNVRAM::saveFileSelected);
    dialog.show();
    if (retype) {
        nameField(dialog)->clear();
        QTest::keyClicks(nameField(dialog), typed);
    }
    QTest::mouseClick(button(dialog, "btnOK"), Qt::LeftButton);

    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), emitted);
    QVERIFY(dialog.isHidden());
}

void TestUploadDialog::okHidesBeforeEmitting()
{
    dlgUploadNVRAM dialog;
    bool visibleAtEmit = true;
    connect(&dialog, &dlgUploadNVRAM::saveFileSelected, this,
        [&] { visibleAtEmit = dialog.isVisible(); });
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::mouseClick(button(dialog, "btnOK"), Qt::LeftButton);
    QVERIFY(!visibleAtEmit);
}

void TestUploadDialog::nextShowingKeepsTypedText()
{
    dlgUploadNVRAM dialog;
    QSignalSpy spy(&dialog, &dlgUploadNVRAM::saveFileSelected);
    dialog.show();
    nameField(dialog)->setText(QStringLiteral("Before service"));
    QTest::mouseClick(button(dialog, "btnOK"), Qt::LeftButton);

    dialog.show();
    QCOMPARE(nameField(dialog)->text(), QStringLiteral("Before service"));
    QTest::mouseClick(button(dialog, "btnOK"), Qt::LeftButton);
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(1).at(0).toString(), QStringLiteral("Before service"));
}

void TestUploadDialog::dismissingEmitsNothing_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("cancelButton") << QStringLiteral("cancel");
    QTest::newRow("escapeKey") << QStringLiteral("escape");
    QTest::newRow("titleBarClose") << QStringLiteral("close");
}

void TestUploadDialog::dismissingEmitsNothing()
{
    QFETCH(QString, how);

    dlgUploadNVRAM dialog;
    QSignalSpy spy(&dialog, &dlgUploadNVRAM::saveFileSelected);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    if (how == QLatin1String("cancel"))
        QTest::mouseClick(button(dialog, "btnCancel"), Qt::LeftButton);
    else if (how == QLatin1String("escape"))
        QTest::keyClick(&dialog, Qt::Key_Escape);
    else
        dialog.close();

    QVERIFY(dialog.isHidden());
    QCoreApplication::processEvents();
    QCOMPARE(spy.count(), 0);
}

void TestUploadDialog::isModalWhileShown()
{
    dlgUploadNVRAM dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCOMPARE(QApplication::activeModalWidget(), &dialog);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Enter NVRAM File Name"));
}

QTEST_MAIN(TestUploadDialog)
#include "tst_dlguploadnvram.moc"
