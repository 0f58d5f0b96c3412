// Writing a parameter file to the board, as the simulated board on its pty receives it.
#include "testsupport.h"

#include "boardsim.h"
#include "nvram/nvrformat.h"
#include "ui/styles.h"

#include <QCloseEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <sys/stat.h>

namespace {

const QByteArray kHeader = QByteArrayLiteral("Page Number | Value | Description\n");

// What the technician sees of the "To CTL PCB" field and the polling timer: every change of the
// field's colour, and the state of both at the moment a warning box comes up.
class FieldWatch : public QObject {
public:
    struct AtBox {
        QString fieldStyle;
        bool pollingActive;
        int pollingInterval;
    };

    explicit FieldWatch(MainWindow &w)
        : m_field(MainWindowTestAccess::ui(w).editToCTLPCB)
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
            m_atBoxes.append({ m_field->styleSheet(), m_polling.isActive(), m_polling.interval() });
        return false;
    }

private:
    QLineEdit *m_field;
    QTimer &m_polling;
    QStringList m_styles;
    QList<AtBox> m_atBoxes;
};

QByteArray repeated(char c, int count) { return QByteArray(count, c); }

} // namespace

class TestWriteTransfer : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void sendsEachParameterLine_data();
    void sendsEachParameterLine();
    void leavesOutLinesTooLongForOneCommand_data();
    void leavesOutLinesTooLongForOneCommand();
    void fieldShowsNameWithoutLastFourCharacters_data();
    void fieldShowsNameWithoutLastFourCharacters();
    void openDialogChoosesTheFile_data();
    void openDialogChoosesTheFile();
    void unopenableFileIsReportedAndSendsNothing_data();
    void unopenableFileIsReportedAndSendsNothing();
    void unansweredCommandsAreCountedAfterWholeFile_data();
    void unansweredCommandsAreCountedAfterWholeFile();
    void writeStopsWhenBoardIsGone_data();
    void writeStopsWhenBoardIsGone();
    void closeRequestWaitsForWholeWrite();
    void roundTripCopiesOneBoardToAnother();

private:
    QString writeFile(const QString &name, const QByteArray &bytes);
    void transfer(const QString &path);
    void verifyPollingResumed();

    std::unique_ptr<CtlBoardSim> m_sim;
    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<ModalBoxCatcher> m_catcher;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestWriteTransfer::init()
{
    m_sim = std::make_unique<CtlBoardSim>();
    m_sim->generateParameters(4);
    QVERIFY2(m_sim->start(), qPrintable(m_sim->errorString()));
    m_window = std::make_unique<MainWindow>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    QVERIFY(openWindowPort(*m_window, m_sim->portPath()));
    m_catcher = std::make_unique<ModalBoxCatcher>();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestWriteTransfer::cleanup()
{
    m_catcher.reset();
    m_window.reset();
    m_sim.reset();
    m_dir.reset();
}

QString TestWriteTransfer::writeFile(const QString &name, const QByteArray &bytes)
{
    const QString path = m_dir->filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

void TestWriteTransfer::transfer(const QString &path)
{
    MainWindowTestAccess::writeFileToCtl(*m_window, path);
}

void TestWriteTransfer::verifyPollingResumed()
{
    const QTimer &polling = MainWindowTestAccess::mainPollingTimer(*m_window);
    QVERIFY(polling.isActive());
    QCOMPARE(polling.interval(), 750);
    QCOMPARE(MainWindowTestAccess::ui(*m_window).editToCTLPCB->styleSheet(), kStyleEditYellow);
}

void TestWriteTransfer::sendsEachParameterLine_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QList<QByteArray>>("expected");

    QTest::newRow("threeFields") << kHeader + "0001 | 7 | Fan speed\n"
                                 << QList<QByteArray> { "$2000017%", "$210001Fan speed%", "$24%" };
    QTest::newRow("bareBars") << kHeader + "0001|7|Fan speed\n"
                              << QList<QByteArray> { "$2000017%", "$210001Fan speed%", "$24%" };
    QTest::newRow("emptyDescription") << kHeader + "0001 | 7 | \n"
                                      << QList<QByteArray> { "$2000017%", "$210001%", "$24%" };
    QTest::newRow("emptyValue") << kHeader + "0001 |  | Fan\n"
                                << QList<QByteArray> { "$200001%", "$210001Fan%", "$24%" };
    QTest::newRow("barCutsDescription") << kHeader + "0001 | 7 | on|off\n"
                                        << QList<QByteArray> { "$2000017%", "$210001on%", "$24%" };
    QTest::newRow("leadingBlankStaysInPage") << kHeader
            + " 0001 | 7 | x\n" << QList<QByteArray> { "$20 00017%", "$21 0001x%", "$24%" };
    QTest::newRow("twoDigitPage") << kHeader + "1A | 7 | x\n"
                                  << QList<QByteArray> { "$201A7%", "$211Ax%", "$24%" };
    QTest::newRow("dashesAndBlanksSendNothing") << kHeader + "------------------\n      \n"
                                                << QList<QByteArray> { "$24%" };
    QTest::newRow("headerOnly") << kHeader << QList<QByteArray> { "$24%" };
    QTest::newRow("emptyFile") << QByteArray() << QList<QByteArray> { "$24%" };
    QTest::newRow("firstDataLineDropped") << QByteArray("0000 | 4 | Last\n0001 | 7 | x\n")
                                          << QList<QByteArray> { "$2000017%", "$210001x%", "$24%" };
    QTest::newRow("lastLineWithoutLineEnd")
        << kHeader + "0001 | 7 | x\n\n0002 | 8 | y"
        << QList<QByteArray> { "$2000017%", "$210001x%", "$2000028%", "$210002y%", "$24%" };
    QTest::newRow("twoFieldLineSendsValueOnly")
        << kHeader + "0001 | 7\n0002 | 8 | y\n"
        << QList<QByteArray> { "$2000017%", "$2000028%", "$210002y%", "$24%" };
    QTest::newRow("latin1TextAsOneBytePerCharacter")
        << kHeader + "0001 | 21\xC2\xB0 | Temp\xC3\xA9rature\n"
        << QList<QByteArray> { "$20000121\xB0%", "$210001Temp\xE9rature%", "$24%" };
}

void TestWriteTransfer::sendsEachParameterLine()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QList<QByteArray>, expected);

    transfer(writeFile(QStringLiteral("lines.nvr"), bytes));

    QCOMPARE(m_sim->commandBytes(), expected);
    QCOMPARE(m_catcher->texts(kMessageTitle), QStringList());
    verifyPollingResumed();
}

void TestWriteTransfer::leavesOutLinesTooLongForOneCommand_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QList<QByteArray>>("expected");
    QTest::addColumn<QStringList>("boxes");

    const QByteArray before = kHeader + "0001 | 7 | x\n";
    const QByteArray after = "0003 | 9 | z\n";
    const QList<QByteArray> around { "$2000017%", "$210001x%", "$2000039%", "$210003z%", "$24%" };

    QTest::newRow("valueFillsFrameExactly")
        << before + "0002 | " + repeated('v', 82) + " | y\n" + after
        << QList<QByteArray> { "$2000017%", "$210001x%", "$200002" + repeated('v', 82) + '%',
               "$210002y%", "$2000039%", "$210003z%", "$24%" }
        << QStringList();
    QTest::newRow("valueOneTooLong") << before + "0002 | " + repeated('v', 83) + " | y\n"
            + after << around << QStringList { "Not sent, too long for one command: page 0002." };
    QTest::newRow("descriptionOneTooLong") << before + "0002 | 8 | " + repeated('d', 83) + "\n"
            + after << around << QStringList { "Not sent, too long for one command: page 0002." };
    QTest::newRow("everyLongLineNamed")
        << before + "0002 | " + repeated('v', 90) + " | y\n" + after + "0004 | 1 | "
            + repeated('d', 100) + "\n"
        << around << QStringList { "Not sent, too long for one command: pages 0002, 0004." };
}

void TestWriteTransfer::leavesOutLinesTooLongForOneCommand()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QList<QByteArray>, expected);
    QFETCH(QStringList, boxes);

    transfer(writeFile(QStringLiteral("long.nvr"), bytes));

    QCOMPARE(m_sim->commandBytes(), expected);
    QCOMPARE(m_catcher->texts(kMessageTitle), boxes);
}

void TestWriteTransfer::fieldShowsNameWithoutLastFourCharacters_data()
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

void TestWriteTransfer::fieldShowsNameWithoutLastFourCharacters()
{
    QFETCH(QString, fileName);
    QFETCH(QString, shown);
    const QString path = writeFile(fileName, kHeader + "0001 | 7 | x\n");
    QLineEdit *field = MainWindowTestAccess::ui(*m_window).editToCTLPCB;
    field->setStyleSheet(kStyleEditYellow);
    FieldWatch watch(*m_window);

    emit m_window->readFileSelected(path);

    QCOMPARE(field->text(), shown);
    QCOMPARE(watch.styles(), QStringList({ kStyleEditGreen, kStyleEditYellow }));
    QCOMPARE(m_sim->commandBytes(), QList<QByteArray>({ "$2000017%", "$210001x%", "$24%" }));
    verifyPollingResumed();
}

void TestWriteTransfer::openDialogChoosesTheFile_data()
{
    QTest::addColumn<bool>("choose");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QList<QByteArray>>("expected");

    QTest::newRow("fileChosen") << true << "Chosen"
                                << QList<QByteArray> { "$2000017%", "$210001x%", "$24%" };
    QTest::newRow("cancelledSendsNothing") << false << QString() << QList<QByteArray>();
}

void TestWriteTransfer::openDialogChoosesTheFile()
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
    m_catcher->setOtherModalHandler([&](QWidget *modal) {
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
    FieldWatch watch(*m_window);
    QSignalSpy selected(m_window.get(), &MainWindow::readFileSelected);

    ui.btnToCTL_PCB->setEnabled(true);
    ui.btnToCTL_PCB->click();

    QCOMPARE(caption, QStringLiteral("Select NVRAM File"));
    QCOMPARE(directory, QDir(kNvramDirectory).absolutePath());
    QCOMPARE(filters, QStringList { QStringLiteral("NVRAM (*.nvr)") });
    QVERIFY(pollingDuringDialog);
    QCOMPARE(selected.size(), 1);
    QCOMPARE(selected.at(0).at(0).toString(), choose ? path : QString());
    QCOMPARE(ui.editToCTLPCB->text(), shown);
    QCOMPARE(watch.styles(), QStringList({ kStyleEditGreen, kStyleEditYellow }));
    QCOMPARE(m_sim->commandBytes(), expected);
    QCOMPARE(m_catcher->texts(kMessageTitle), QStringList());
    verifyPollingResumed();
}

// A reason left empty is the system's own words.
void TestWriteTransfer::unopenableFileIsReportedAndSendsNothing_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reason");

    const QString notRegular = QStringLiteral("it is not a regular file");
    QTest::newRow("vanishedFile") << "gone.nvr" << QString();
    QTest::newRow("directory") << "folder.nvr"
                               << "it is a folder";
    QTest::newRow("linkToDevZero") << "zero.nvr" << notRegular;
    QTest::newRow("fifo") << "fifo.nvr" << notRegular;
    QTest::newRow("oneByteOverTheLimit")
        << "big.nvr"
        << "it is larger than 64 MB, so it cannot be a parameter file";
}

void TestWriteTransfer::unopenableFileIsReportedAndSendsNothing()
{
    QFETCH(QString, name);
    QFETCH(QString, reason);
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("folder.nvr")));
    QVERIFY(QFile::link(QStringLiteral("/dev/zero"), m_dir->filePath(QStringLiteral("zero.nvr"))));
    QVERIFY(
        ::mkfifo(QFile::encodeName(m_dir->filePath(QStringLiteral("fifo.nvr"))).constData(), 0600)
        == 0);
    QFile big(m_dir->filePath(QStringLiteral("big.nvr")));
    QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(kMaxNvrFileBytes + 1));
    const QString path = m_dir->filePath(name);
    FieldWatch watch(*m_window);

    emit m_window->readFileSelected(path);

    const QStringList texts = m_catcher->texts(kMessageTitle);
    QCOMPARE(texts.size(), 1);
    const QString opening = QStringLiteral("Could not open ") + path + QStringLiteral(": ");
    const QString closing = QStringLiteral(". Nothing was sent to the board.");
    if (reason.isEmpty())
        QVERIFY2(texts.first().startsWith(opening) && texts.first().endsWith(closing),
            qPrintable(texts.first()));
    else
        QCOMPARE(texts.first(), opening + reason + closing);
    QCOMPARE(m_sim->commandBytes(), QList<QByteArray>());
    QCOMPARE(watch.atBoxes().size(), 1);
    QCOMPARE(watch.atBoxes().first().fieldStyle, kStyleEditYellow);
    QVERIFY(watch.atBoxes().first().pollingActive);
    QCOMPARE(watch.atBoxes().first().pollingInterval, 750);
    verifyPollingResumed();
}

void TestWriteTransfer::unansweredCommandsAreCountedAfterWholeFile_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("silent");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QList<QByteArray>>("expected");
    QTest::addColumn<QString>("box");

    const QByteArray twoLines = kHeader + "0001 | 7 | x\n0002 | 8 | y\n";
    const QList<QByteArray> allFive { "$2000017%", "$210001x%", "$2000028%", "$210002y%", "$24%" };

    QTest::newRow("oneCommandUnanswered")
        << twoLines << false << QByteArray() << allFive
        << "The board gave no complete answer to 1 of 5 commands.";
    QTest::newRow("answerStalledBeforeHash")
        << twoLines << false << QByteArray("$21O") << allFive
        << "The board gave no complete answer to 1 of 5 commands.";
    // The third unanswered command is "$24%" itself: nothing is left to hold back.
    QTest::newRow("silentBoardAndLongLine")
        << kHeader + "0001 | 7 | x\n0002 | " + repeated('v', 83) + " | y\n"
        << true << QByteArray() << QList<QByteArray> { "$2000017%", "$210001x%", "$24%" }
        << "Not sent, too long for one command: page 0002.\n\n"
           "The board gave no complete answer to 3 of 3 commands.";
}

void TestWriteTransfer::unansweredCommandsAreCountedAfterWholeFile()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, silent);
    QFETCH(QByteArray, answer);
    QFETCH(QList<QByteArray>, expected);
    QFETCH(QString, box);
    m_sim->setSilent(silent);
    if (!silent)
        m_sim->setAnswerOverride("$210001x%", answer);

    transfer(writeFile(QStringLiteral("unanswered.nvr"), bytes));

    QCOMPARE(m_sim->commandBytes(), expected);
    QCOMPARE(m_catcher->texts(kMessageTitle), QStringList { box });
    verifyPollingResumed();
}

void TestWriteTransfer::writeStopsWhenBoardIsGone_data()
{
    QTest::addColumn<bool>("lost");
    QTest::addColumn<int>("commandsSent");
    QTest::addColumn<QString>("cause");
    QTest::addColumn<int>("linesNotSent");

    // Pages 1 and 2 are answered; page 3's value write is the first command left unanswered.
    QTest::newRow("boardFallsSilentAtPageThree")
        << false << 7
        << "The write stopped: the CTL PCB gave no complete answer to 3 commands in a row." << 7;
    QTest::newRow("deviceLostAtPageThree")
        << true << 5 << "The link to the CTL PCB was lost at page 0003." << 8;
}

void TestWriteTransfer::writeStopsWhenBoardIsGone()
{
    QFETCH(bool, lost);
    QFETCH(int, commandsSent);
    QFETCH(QString, cause);
    QFETCH(int, linesNotSent);
    QByteArray bytes = kHeader;
    for (int page = 1; page <= 10; ++page)
        bytes += "000" + QByteArray::number(page, 16).toUpper() + " | 7 | x\n";
    if (lost)
        m_sim->setHangUpAfterCommands(5);
    else
        m_sim->setSilentAfterCommands(4);
    QElapsedTimer timer;
    timer.start();

    transfer(writeFile(QStringLiteral("ten.nvr"), bytes));

    QVERIFY2(timer.elapsed() < 7500, qPrintable(QString::number(timer.elapsed())));
    const QList<QByteArray> sent = m_sim->commandBytes();
    QCOMPARE(sent.size(), commandsSent);
    QCOMPARE(sent.at(4), QByteArray("$2000037%"));
    QVERIFY(!sent.contains("$24%"));
    QCOMPARE(m_catcher->texts(kMessageTitle),
        QStringList { cause
            + QStringLiteral("\n\nLast page completely written: 0002.\n\n%1 of 10 lines of the "
                             "file were not completely sent.\n\nThe parameters were not saved on "
                             "the board, so it keeps its saved parameters after a restart. Write "
                             "the file again once the board answers.")
                  .arg(linesNotSent) });
    QCOMPARE(MainWindowTestAccess::serialPort(*m_window).isOpen(), !lost);
}

// A close request from the desktop in the middle of a write neither cuts it short nor destroys
// the window under it.
void TestWriteTransfer::closeRequestWaitsForWholeWrite()
{
    m_sim->setLatencyMs(20);
    const QByteArray bytes = kHeader + "0001 | 7 | x\n0002 | 8 | y\n0003 | 9 | z\n";
    QTimer::singleShot(50, m_window.get(),
        [this] { QCoreApplication::postEvent(m_window->windowHandle(), new QCloseEvent); });
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

    transfer(writeFile(QStringLiteral("closing.nvr"), bytes));

    QCOMPARE(m_sim->commandBytes(),
        QList<QByteArray>({ "$2000017%", "$210001x%", "$2000028%", "$210002y%", "$2000039%",
            "$210003z%", "$24%" }));
    QVERIFY(!m_window->isVisible());
    QCOMPARE(hides.commandsAtHide, 7);
    QCOMPARE(m_catcher->texts(kMessageTitle), QStringList());
}

void TestWriteTransfer::roundTripCopiesOneBoardToAnother()
{
    QList<BoardParameter> tableA = m_sim->parameters();
    tableA[2].value = QStringLiteral(" 4.12.3 ");
    tableA[3].description = QStringLiteral("Temp\u00e9rature (0.1 \u00b0C)");
    m_sim->setParameters(tableA);
    CtlBoardSim boardB;
    boardB.generateParameters(2);
    QList<BoardParameter> tableB = boardB.parameters();
    tableB[1].value = QStringLiteral("CTL-999999");
    boardB.setParameters(tableB);
    QVERIFY2(boardB.start(), qPrintable(boardB.errorString()));

    const QString fileA = m_dir->filePath(QStringLiteral("boardA.nvr"));
    const QString fileB = m_dir->filePath(QStringLiteral("boardB.nvr"));
    MainWindowTestAccess::readCtlToFile(*m_window, fileA);
    MainWindowTestAccess::serialPort(*m_window).close();
    QVERIFY(openWindowPort(*m_window, boardB.portPath()));
    transfer(fileA);
    MainWindowTestAccess::readCtlToFile(*m_window, fileB);

    QFile a(fileA);
    QFile b(fileB);
    QVERIFY(a.open(QIODevice::ReadOnly));
    QVERIFY(b.open(QIODevice::ReadOnly));
    const QByteArray bytesA = a.readAll();
    QCOMPARE(bytesA.count('\n'), 1 + tableA.size());
    QCOMPARE(b.readAll(), bytesA);
    const QList<BoardParameter> copied = boardB.parameters();
    QCOMPARE(copied.size(), tableA.size());
    for (qsizetype page = 0; page < tableA.size(); ++page) {
        QCOMPARE(copied[page].value, tableA[page].value);
        QCOMPARE(copied[page].description, tableA[page].description);
    }
    QCOMPARE(m_catcher->texts(kMessageTitle), QStringList());
}

QTEST_MAIN(TestWriteTransfer)
#include "tst_writetransfer.moc"
