// The main window as the technician first sees it.
#include "testsupport.h"

#include "app/constants.h"
#include "nvram/version.h"
#include "ui/styles.h"

#include <QLabel>
#include <QSerialPortInfo>
#include <QTemporaryDir>
#include <QtTest>

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void startsDisconnected();
    void listsEmptyEntryThenPortsInPlatformOrder();
    void showsIcon();
    void titleNamesVersion();

private:
    QTemporaryDir m_saveFolder;
};

void TestMainWindow::startsDisconnected()
{
    MainWindow w(nullptr, kTestTimings, m_saveFolder.path());
    MainWindowUi &ui = MainWindowTestAccess::ui(w);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    QCOMPARE(w.windowTitle(), QStringLiteral("VKT RIZ OVEDA"));
    QVERIFY(!ui.btnConnectPort->isVisible());
    for (QPushButton *enter : { ui.btnFromCTL_PCB, ui.btnToCTL_PCB }) {
        QVERIFY(!enter->isEnabled());
        QCOMPARE(enter->styleSheet(), kStyleButtonGreen);
        QCOMPARE(enter->text(), QStringLiteral("Enter"));
    }
    for (QLineEdit *field : { ui.editFromCTLPCB, ui.editToCTLPCB }) {
        QCOMPARE(field->text(), QStringLiteral("------------------"));
        QCOMPARE(field->styleSheet(), QStringLiteral("\nbackground-color: rgb(246, 211, 45);"));
    }
    QVERIFY(!MainWindowTestAccess::mainPollingTimer(w).isActive());
    QVERIFY(!MainWindowTestAccess::serialWatchdogTimer(w).isActive());
    QVERIFY(MainWindowTestAccess::uploadDialog(w).isHidden());
}

void TestMainWindow::listsEmptyEntryThenPortsInPlatformOrder()
{
    QStringList expected { QString() };
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        expected << info.portName();

    MainWindow w(nullptr, kTestTimings, m_saveFolder.path());
    QComboBox *list = MainWindowTestAccess::ui(w).comboBoxSerialPorts;
    QStringList shown;
    for (int i = 0; i < list->count(); ++i)
        shown << list->itemText(i);
    QCOMPARE(shown, expected);
    QCOMPARE(list->currentIndex(), 0);
}

void TestMainWindow::showsIcon()
{
    MainWindow w(nullptr, kTestTimings, m_saveFolder.path());
    QVERIFY(!w.windowIcon().isNull());
    QVERIFY(w.windowIcon().availableSizes().contains(QSize(64, 64)));
    const QLabel *label = MainWindowTestAccess::ui(w).label;
    QVERIFY(!label->pixmap().isNull());
    QVERIFY(label->hasScaledContents());
}

void TestMainWindow::titleNamesVersion()
{
    QCOMPARE(kTitlePrefix + kVersion, QStringLiteral("RIZ OVEDA - 01.00.2"));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
