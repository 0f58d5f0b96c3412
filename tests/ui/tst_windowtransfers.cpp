// What the window does around a transfer: the name checked, the link required, the fields'
// colours, one box at the end, and a window that stays painted but deaf while the board answers.
#include "boardfixture.h"
#include "testsupport.h"

#include "link/frame.h"
#include "ui/styles.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>

#include <algorithm>
#include <memory>

namespace {

const QByteArray kHeader = QByteArrayLiteral("Page Number | Value | Description\n");

// What the technician sees of a field and the polling timer: every change of the field's
// colour, and the state of both at the moment a warning box comes up.
class FieldWatch : public QObject {
public:
    struct AtBox {
        QString fieldStyle;
        bool pollingActive;
    };

    FieldWatch(MainWindow &w, QLineEdit *field)
        : m_field(field)
        , m_polling(MainWindowTestAccess::mainPollingTimer(w))
    {
        qApp->installEventFilter(this);
    }

    QStringList styles() const { return m_styles; }
    QList<AtBox> atBoxes() const { return m_atBoxes; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_field && event->type() == QEvent::StyleChange
            && (m_styles.isEmpty() || m_styles.last() != m_field->styleSheet()))
            m_styles << m_field->styleSheet();
        if (event->type() == QEvent::Show && qobject_cast<QMessageBox *>(watched))
            m_atBoxes.append({ m_field->styleSheet(), m_polling.isActive() });
        return false;
    }

private:
    QLineEdit *m_field;
    QTimer &m_polling;
    QStringList m_styles;
    QList<AtBox> m_atBoxes;
};

} // namespace

class TestWindowTransfers : public QObject, protected BoardFixture {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void typedNameIsCheckedBeforeRead_data();
    void typedNameIsCheckedBeforeRead();
    void transferNeedsLiveLink_data();
    void transferNeedsLiveLink();
    void failedTransferEndsWithOneBox_data();
    void failedTransferEndsWithOneBox();
    void fieldShowsNameWithoutLastFourCharacters_data();
    void fieldShowsNameWithoutLastFourCharacters();
    void openDialogChoosesTheFile_data();
    void openDialogChoosesTheFile();
    void windowStaysAliveAndDeafDuringSlowRead();
    void closeRequestWaitsForWholeWrite();

private:
    QString folder() const { return m_dir->path() + QLatin1Char('/'); }
    void readBoardInto(const QString &path);
    void verifyTransferEnded(const QLineEdit *field);

    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<ModalBoxCatcher> m_boxes;
};

void TestWindowTransfers::init()
{
    QVERIFY2(makeFixture(Folder | Board | Debug), qPrintable(m_fixtureError));
    m_sim->generateParameters(4);
    m_window = std::make_unique<MainWindow>(nullptr, kTestTimings, folder());
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    QVERIFY(openWindowPort(*m_window, m_sim->portPath()));
    m_boxes = std::make_unique<ModalBoxCatcher>();
}

void TestWindowTransfers::cleanup()
{
    m_boxes.reset();
    m_window.reset();
    dropFixture();
}

// The window as a connected session leaves it: polling at another pace, the field not yet yellow.
void TestWindowTransfers::readBoardInto(const QString &path)
{
    MainWindowTestAccess::mainPollingTimer(*m_window).start(60000);
    MainWindowTestAccess::ui(*m_window).editFromCTLPCB->setStyleSheet(QString());
    MainWindowTestAccess::readCtlToFile(*m_window, path);
}

void TestWindowTransfers::verifyTransferEnded(const QLineEdit *field)
{
    const QTimer &polling = MainWindowTestAccess::mainPollingTimer(*m_window);
    QVERIFY(polling.isActive());
    QCOMPARE(polling.interval(), kTestTimings.pollIntervalMs);
    QCOMPARE(field->styleSheet(), kStyleEditYellow);
}

void TestWindowTransfers::typedNameIsCheckedBeforeRead_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("box");

    const QString name = QStringLiteral("typed");
    const QString blank = QStringLiteral(
        "Type a name for the file: an empty name, or one of blanks only, cannot be saved.");
    const QString tooLong = QStringLiteral(
        "The file name is too long: it may take at most 243 bytes. Most characters take one "
        "byte, letters such as \"\u00e9\" two or more. Type a shorter name.");
    const QString longest = name + QString(243 - name.size(), QLatin1Char('n'));
    QTest::newRow("plainName") << name << name + ".nvr" << QString();
    QTest::newRow("emptyName") << QString() << QString() << blank;
    QTest::newRow("blanksOnly") << "   " << QString() << blank;
    QTest::newRow("blanksAndExtension") << "   .nvr" << QString() << blank;
    QTest::newRow("leavesFolder") << "../../../tmp/" + name << QString()
                                  << "The file name \"../../../tmp/" + name
            + "\" contains \"/\". Files are always saved in <folder>; type a name without \"/\".";
    QTest::newRow("hiddenName")
        << ".nvr" << QString()
        << "The file name \".nvr\" starts with \".\": the file would be hidden, and \"To CTL "
           "PCB\" would not list it. Type a name that starts with another character.";
    QTest::newRow("oneByteTooLong") << longest + "n" << QString() << tooLong;
    QTest::newRow("accentsCountTwice") << QString(122, QChar(0xe9)) << QString() << tooLong;
}

// A name that cannot be saved is refused before anything goes to the board.
void TestWindowTransfers::typedNameIsCheckedBeforeRead()
{
    QFETCH(QString, name);
    QFETCH(QString, fileName);
    QFETCH(QString, box);
    box.replace(QStringLiteral("<folder>"), folder());
    m_sim->generateParameters(1);
    setBoard(m_sim->parameters());
    MainWindowTestAccess::mainPollingTimer(*m_window).start(60000);

    emit MainWindowTestAccess::uploadDialog(*m_window).saveFileSelected(name);

    const MainWindowUi &ui = MainWindowTestAccess::ui(*m_window);
    QCOMPARE(ui.editFromCTLPCB->text(), name);
    QCOMPARE(ui.editFromCTLPCB->styleSheet(), kStyleEditYellow);
    if (box.isEmpty()) {
        verifyTransferEnded(ui.editFromCTLPCB);
        QCOMPARE(fileBytes(m_dir->filePath(fileName)), expectedNvrFile(m_sim->parameters(), 2));
        QCOMPARE(m_boxes->texts(kMessageTitle), QStringList());
    } else {
        QVERIFY(!m_sim->waitForCommandCount(1, 100));
        QCOMPARE(m_boxes->texts(kMessageTitle), QStringList { box });
    }
}

void TestWindowTransfers::transferNeedsLiveLink_data()
{
    QTest::addColumn<bool>("write");
    QTest::addColumn<bool>("portClosed");

    QTest::newRow("readAfterPortClosed") << false << true;
    QTest::newRow("readAfterDeviceLost") << false << false;
    QTest::newRow("writeAfterPortClosed") << true << true;
    QTest::newRow("writeAfterDeviceLost") << true << false;
}

// The link goes while a file-name dialog is open; confirming it afterwards must not touch the
// file or the line.
void TestWindowTransfers::transferNeedsLiveLink()
{
    QFETCH(bool, write);
    QFETCH(bool, portClosed);
    const QString name = QStringLiteral("deadlink");
    const QString path = m_dir->filePath(name + ".nvr");
    const QByteArray goodBackup = "Page Number | Value | Description\n0000 | 0 | Good backup\n";
    writeTestFile(path, goodBackup);
    m_sim->generateParameters(3);
    setBoard(m_sim->parameters());
    MainWindowUi &ui = MainWindowTestAccess::ui(*m_window);
    QLineEdit *field = write ? ui.editToCTLPCB : ui.editFromCTLPCB;
    field->setStyleSheet(QString());
    ui.btnFromCTL_PCB->setEnabled(true);
    ui.btnFromCTL_PCB->click();
    dlgUploadNVRAM &dialog = MainWindowTestAccess::uploadDialog(*m_window);
    QVERIFY(dialog.isVisible());
    dialog.findChild<QLineEdit *>(QStringLiteral("lineEditFileName"))->setText(name);

    if (portClosed)
        MainWindowTestAccess::serialPort(*m_window).close();
    else
        LinkTestAccess::latch(MainWindowTestAccess::link(*m_window));
    if (write)
        emit m_window->readFileSelected(path);
    else
        QTest::mouseClick(dialog.findChild<QPushButton *>(QStringLiteral("btnOK")), Qt::LeftButton);

    QCOMPARE(m_boxes->texts(kMessageTitle),
        QStringList { "The CTL PCB is not connected. Press COMMS to connect it, then try again." });
    QCOMPARE(fileBytes(path), goodBackup);
    QVERIFY(!m_sim->waitForCommandCount(1, 100));
    QCOMPARE(field->styleSheet(), kStyleEditYellow);
}

void TestWindowTransfers::failedTransferEndsWithOneBox_data()
{
    QTest::addColumn<bool>("write");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("pageZeroValue");
    QTest::addColumn<int>("hangUpAfter");
    QTest::addColumn<QByteArrayList>("unanswered"); // answers cut off at the length limit
    QTest::addColumn<int>("barredPages"); // from page 1 on, with a "|" in the description
    QTest::addColumn<QString>("box");

    // A value from the board is never taken for markup.
    QTest::newRow("readRefusesMarkupValue")
        << false << "zero.nvr"
        << "<b>4</b>" << -1 << QByteArrayList() << 0
        << "The read stopped: page 0000 gives the number of the last page, but the CTL PCB sent "
           "\"<b>4</b>\", which is not a page number from 0 to 2147483647. Nothing was saved: %1 "
           "was not created.";
    // No second box from the lost device: the read's box says it, and what the link knows.
    const QString gone = QStringLiteral("\n\n{port} is gone: the adapter may have been unplugged.");
    QTest::newRow("readLosesLinkAtPageThree")
        << false << "stopped.nvr"
        << "5" << 7 << QByteArrayList() << 0
        << "The link to the CTL PCB was lost at page 0003: 3 of 6 pages were read. Nothing was "
           "saved: %1 was not created."
            + gone;
    QTest::newRow("readIntoFolderSendsNothing")
        << false << "folder.nvr"
        << "5" << -1 << QByteArrayList() << 0
        << "Could not save to %1: it is a folder, and a read replaces only a file or a link. "
           "Nothing was read from the board.";
    QString barred = QStringLiteral("The read is saved in %1, but 12 pages hold characters that "
                                    "the file cannot carry back to the board:\n");
    for (int page = 1; page <= 10; ++page)
        barred
            += QStringLiteral("page %1: \"|\" in the description\n").arg(PageNumberToHex(page, 4));
    barred += QStringLiteral("and 2 more.\nA \"|\" splits a value or a description when the file "
                             "is read, and \"$\", \"%\" and NUL cannot be written to the board: "
                             "writing this file back would not restore these pages as they are "
                             "now.");
    QTest::newRow("readSavesPagesItCannotCarryBack")
        << false << "barred.nvr"
        << "12" << -1 << QByteArrayList() << 12 << barred;
    QTest::newRow("writeOfFolder")
        << true << "folder.nvr" << QString() << -1 << QByteArrayList() << 0
        << "Could not open %1: it is a folder. Nothing was sent to the "
           "board.";
    QTest::newRow("writeRefusesFileNamingFirstThreeLines")
        << true << "refused.nvr" << QString() << -1 << QByteArrayList() << 0
        << "%1 cannot be written to the CTL PCB as it is:\n\n"
           "%1:3: refused: \"$\" in the value: the board starts a new command there\n"
           "%1:4: refused: page \"05\" is not four upper-case hexadecimal digits: the board may "
           "write another page\n"
           "%1:5: refused: the board will hold an empty field, and a read stops at this page\n"
           "and 2 more\n\nNothing was sent to the board.";
    QTest::newRow("writeSaysSaveWentOutAfterUnansweredCommands")
        << true << "two.nvr" << QString() << -1 << QByteArrayList { "$210001x%", "$210002y%" } << 0
        << "The board gave no complete answer to 2 of 5 commands: for pages 0001 and 0002. "
           "\"$24%\" was sent all the same, so the board was told to save: it may now hold old or "
           "wrong values there. Write the file again once the board answers.";
    QTest::newRow("writeLosesLinkAtPageThree")
        << true << "ten.nvr" << QString() << 5 << QByteArrayList() << 0
        << "The link to the CTL PCB was lost at page 0003.\n\nLast page completely written: "
           "0002.\n\n8 of 10 lines of the file were not completely sent.\n\nThe parameters were "
           "not saved on the board, so it keeps its saved parameters after a restart. Write the "
           "file again once the board answers."
            + gone;
}

// The field turns yellow and polling goes on before the box comes up; a lost link is closed
// with it.
void TestWindowTransfers::failedTransferEndsWithOneBox()
{
    QFETCH(bool, write);
    QFETCH(QString, name);
    QFETCH(QString, pageZeroValue);
    QFETCH(int, hangUpAfter);
    QFETCH(QByteArrayList, unanswered);
    QFETCH(int, barredPages);
    QFETCH(QString, box);
    m_sim->generateParameters(qMax(5, barredPages));
    QList<BoardParameter> table = m_sim->parameters();
    if (!write)
        table[0].value = pageZeroValue;
    for (int page = 1; page <= barredPages; ++page)
        table[page].description += QStringLiteral(" | on");
    setBoard(table);
    if (hangUpAfter >= 0)
        m_sim->setHangUpAfterCommands(hangUpAfter);
    for (const QByteArray &command : unanswered)
        m_sim->setAnswerOverride(command, QByteArray(kMaxResponseChars + 1, 'x'));
    QByteArray tenLines = kHeader;
    for (int page = 1; page <= 10; ++page)
        tenLines += "000" + QByteArray::number(page, 16).toUpper() + " | 7 | x\n";
    writeFile(QStringLiteral("ten.nvr"), tenLines);
    writeFile(QStringLiteral("two.nvr"), kHeader + "0001 | 7 | x\n0002 | 8 | y\n");
    writeFile(QStringLiteral("refused.nvr"),
        kHeader
            + "0000 | 4 | Last\n0001 | $24 | Cost\n05 | 18000 | Five\n0002 | 7 | \n"
              "0003 | 7 | 50%\n0004 | 7 | Fan #2\n");
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("folder.nvr")));
    MainWindowUi &ui = MainWindowTestAccess::ui(*m_window);
    QLineEdit *field = write ? ui.editToCTLPCB : ui.editFromCTLPCB;
    QPushButton *button = write ? ui.btnToCTL_PCB : ui.btnFromCTL_PCB;
    button->setEnabled(true);
    FieldWatch watch(*m_window, field);
    const QString path = m_dir->filePath(name);

    if (write)
        MainWindowTestAccess::writeFileToCtl(*m_window, path);
    else
        readBoardInto(path);

    const bool lost = hangUpAfter >= 0;
    const QString port = MainWindowTestAccess::serialPort(*m_window).portName();
    QCOMPARE(m_boxes->texts(kMessageTitle),
        QStringList { QString(box).replace(QLatin1String("{port}"), port).arg(path) });
    // Saved as the board holds it, or nothing sent at all.
    if (barredPages > 0)
        QCOMPARE(fileBytes(path), expectedNvrFile(table, int(table.size())));
    if (name == QStringLiteral("folder.nvr"))
        QCOMPARE(m_sim->commandBytes(), QList<QByteArray>());
    QCOMPARE(watch.atBoxes().size(), 1);
    QCOMPARE(watch.atBoxes().first().fieldStyle, kStyleEditYellow);
    QCOMPARE(watch.atBoxes().first().pollingActive, !lost);
    QCOMPARE(MainWindowTestAccess::serialPort(*m_window).isOpen(), !lost);
    QCOMPARE(button->isEnabled(), !lost);
    if (!lost)
        verifyTransferEnded(field);
    if (box.endsWith(QStringLiteral("Nothing was sent to the board."))) {
        for (const QByteArray &command : m_sim->commandBytes())
            QVERIFY2(!command.startsWith("$2"), command.constData());
    }
}

void TestWindowTransfers::fieldShowsNameWithoutLastFourCharacters_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("shown");

    QTest::newRow("nvrExtension") << "Oven 3.nvr"
                                  << "Oven 3";
    QTest::newRow("shorterThanFour") << "ab"
                                     << "ab";
    QTest::newRow("exactlyFour") << "abcd" << QString();
    QTest::newRow("longerExtension") << "saved.backup"
                                     << "saved.ba";
}

void TestWindowTransfers::fieldShowsNameWithoutLastFourCharacters()
{
    QFETCH(QString, fileName);
    QFETCH(QString, shown);
    const QString path = writeFile(fileName, kHeader + "0001 | 7 | x\n");
    QLineEdit *field = MainWindowTestAccess::ui(*m_window).editToCTLPCB;
    field->setStyleSheet(kStyleEditYellow);
    FieldWatch watch(*m_window, field);

    emit m_window->readFileSelected(path);

    QCOMPARE(field->text(), shown);
    QCOMPARE(watch.styles(), QStringList({ kStyleEditGreen, kStyleEditYellow }));
    QCOMPARE(m_sim->commandBytes(), QList<QByteArray>({ "$2000017%", "$210001x%", "$24%" }));
    verifyTransferEnded(field);
}

void TestWindowTransfers::openDialogChoosesTheFile_data()
{
    QTest::addColumn<bool>("choose");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QList<QByteArray>>("expected");

    QTest::newRow("fileChosen") << true << "Chosen"
                                << QList<QByteArray> { "$2000017%", "$210001x%", "$24%" };
    QTest::newRow("cancelledSendsNothing") << false << QString() << QList<QByteArray>();
}

void TestWindowTransfers::openDialogChoosesTheFile()
{
    QFETCH(bool, choose);
    QFETCH(QString, shown);
    QFETCH(QList<QByteArray>, expected);
    const QString path = writeFile(QStringLiteral("Chosen.nvr"), kHeader + "0001 | 7 | x\n");
    MainWindowUi &ui = MainWindowTestAccess::ui(*m_window);
    ui.editToCTLPCB->setText(kDefaultDownloadName);
    ui.editToCTLPCB->setStyleSheet(kStyleEditYellow);
    MainWindowTestAccess::mainPollingTimer(*m_window).start(100);

    QString caption;
    QString directory;
    QStringList filters;
    bool pollingDuringDialog = false;
    m_boxes->setOtherModalHandler([&](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        if (!dialog)
            return;
        // Still open after its answer: give up rather than hang; the checks below then fail.
        if (!caption.isNull()) {
            dialog->reject();
            return;
        }
        caption = dialog->windowTitle();
        directory = dialog->directory().absolutePath();
        filters = dialog->nameFilters();
        pollingDuringDialog = MainWindowTestAccess::mainPollingTimer(*m_window).isActive();
        if (choose) {
            // selectFile() leaves the name field alone while it has the focus, as it has here.
            if (auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
                name->setText(path);
            static_cast<QDialog *>(dialog)->accept();
        } else {
            dialog->reject();
        }
    });
    FieldWatch watch(*m_window, ui.editToCTLPCB);
    QSignalSpy selected(m_window.get(), &MainWindow::readFileSelected);

    ui.btnToCTL_PCB->setEnabled(true);
    ui.btnToCTL_PCB->click();

    QCOMPARE(caption, QStringLiteral("Select NVRAM File"));
    QCOMPARE(directory, QDir(m_dir->path()).absolutePath());
    QCOMPARE(filters, QStringList { QStringLiteral("NVRAM (*.nvr)") });
    QVERIFY(pollingDuringDialog);
    QCOMPARE(selected.size(), 1);
    QCOMPARE(selected.at(0).at(0).toString(), choose ? path : QString());
    QCOMPARE(ui.editToCTLPCB->text(), shown);
    QCOMPARE(watch.styles(), QStringList({ kStyleEditGreen, kStyleEditYellow }));
    QCOMPARE(m_sim->commandBytes(), expected);
    QCOMPARE(m_boxes->texts(kMessageTitle), QStringList());
    verifyTransferEnded(ui.editToCTLPCB);
}

// 30 pages at 20 ms a question: the window is painted, shows how far the read has got and
// drops what is clicked meanwhile.
void TestWindowTransfers::windowStaysAliveAndDeafDuringSlowRead()
{
    m_sim->generateParameters(29);
    setBoard(m_sim->parameters());
    m_sim->setLatencyMs(20);
    MainWindowUi &ui = MainWindowTestAccess::ui(*m_window);
    ui.btnToCTL_PCB->setEnabled(true);
    QSignalSpy messages(ui.statusbar, &QStatusBar::messageChanged);
    QSignalSpy fileChosen(m_window.get(), &MainWindow::readFileSelected);
    int otherModals = 0;
    m_boxes->setOtherModalHandler([&otherModals](QWidget *modal) {
        ++otherModals;
        modal->close();
    });

    struct PaintWatch : QObject {
        CtlBoardSim *sim;
        QWidget *window;
        QList<qsizetype> commandsAtPaint;
        bool waitCursorAtPaint = false;
        bool eventFilter(QObject *watched, QEvent *event) override
        {
            auto *widget = qobject_cast<QWidget *>(watched);
            if (event->type() == QEvent::Paint && widget && widget->window() == window) {
                commandsAtPaint << sim->commands().size();
                waitCursorAtPaint = waitCursorAtPaint
                    || (QApplication::overrideCursor()
                        && QApplication::overrideCursor()->shape() == Qt::WaitCursor);
            }
            return false;
        }
    } paints;
    paints.sim = m_sim.get();
    paints.window = m_window.get();
    qApp->installEventFilter(&paints);
    QPushButton *toBoard = ui.btnToCTL_PCB;
    QTimer::singleShot(150, toBoard, [toBoard] {
        const QPointF at(5, 5);
        for (const QEvent::Type type : { QEvent::MouseButtonPress, QEvent::MouseButtonRelease }) {
            QCoreApplication::postEvent(toBoard,
                new QMouseEvent(type, at, toBoard->mapToGlobal(at), Qt::LeftButton,
                    type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                    Qt::NoModifier));
        }
    });

    readBoardInto(m_dir->filePath(QStringLiteral("slow.nvr")));
    QTest::qWait(300);
    qApp->removeEventFilter(&paints);

    verifyTransferEnded(ui.editFromCTLPCB);
    QCOMPARE(m_sim->commands().size(), 60);
    QVERIFY2(messages.size() >= 10, qPrintable(QString::number(messages.size())));
    // Which pages get shown depends on when the window repaints; each must carry its share.
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("Reading page 0000"));
    for (qsizetype i = 1; i + 1 < messages.size(); ++i) {
        const QString shown = messages.at(i).at(0).toString();
        const int shownPage = shown.mid(13, 4).toInt(nullptr, 16);
        QCOMPARE(shown,
            QStringLiteral("Reading page %1 of 001D (%2 %)")
                .arg(PageNumberToHex(shownPage, 4))
                .arg(qRound(shownPage * 100.0 / 29)));
    }
    QCOMPARE(ui.statusbar->currentMessage(), QString());
    QVERIFY(std::any_of(paints.commandsAtPaint.cbegin(), paints.commandsAtPaint.cend(),
        [](qsizetype sent) { return sent > 0 && sent < 60; }));
    QVERIFY(paints.waitCursorAtPaint);
    QCOMPARE(QApplication::overrideCursor(), nullptr);
    QCOMPARE(fileChosen.size(), 0);
    QCOMPARE(otherModals, 0);
    QCOMPARE(m_boxes->texts(kMessageTitle), QStringList());
}

// A close request from the desktop in the middle of a write neither cuts it short nor destroys
// the window under it.
void TestWindowTransfers::closeRequestWaitsForWholeWrite()
{
    // Seven answers of 40 ms each: the request at 50 ms comes well inside the write.
    m_sim->setLatencyMs(40);
    const QString path = writeFile(
        QStringLiteral("closing.nvr"), kHeader + "0001 | 7 | x\n0002 | 8 | y\n0003 | 9 | z\n");
    qsizetype commandsAtRequest = -1;
    QTimer::singleShot(50, m_window.get(), [this, &commandsAtRequest] {
        commandsAtRequest = m_sim->commands().size();
        QCoreApplication::postEvent(m_window->windowHandle(), new QCloseEvent);
    });
    struct HideWatch : QObject {
        CtlBoardSim *sim = nullptr;
        qsizetype commandsAtHide = -1;
        bool eventFilter(QObject *, QEvent *event) override
        {
            if (event->type() == QEvent::Hide)
                commandsAtHide = sim->commands().size();
            return false;
        }
    } hides;
    hides.sim = m_sim.get();
    m_window->installEventFilter(&hides);

    MainWindowTestAccess::writeFileToCtl(*m_window, path);

    QCOMPARE(m_sim->commandBytes(),
        QList<QByteArray>({ "$2000017%", "$210001x%", "$2000028%", "$210002y%", "$2000039%",
            "$210003z%", "$24%" }));
    QVERIFY(!m_window->isVisible());
    QVERIFY2(commandsAtRequest >= 0 && commandsAtRequest < 7,
        qPrintable(QString::number(commandsAtRequest)));
    QCOMPARE(hides.commandsAtHide, 7);
    QCOMPARE(m_boxes->texts(kMessageTitle), QStringList());
}

QTEST_MAIN(TestWindowTransfers)
#include "tst_windowtransfers.moc"
