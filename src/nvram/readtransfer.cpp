// Reading every parameter page of the board into an ".nvr" file, all or nothing.
#include "readtransfer.h"

#include "app/constants.h"
#include "link/frame.h"
#include "link/linkstate.h"
#include "nvram/backupfile.h"
#include "nvram/nvrformat.h"
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QDebug>
#include <QTextStream>

#include <cmath>
#include <limits>
#include <optional>

int CtlParamEndPage = 0;
QString pageValue;
QString pageDescription;

namespace {

// Page 0's value as the board sent it, when it is no page number; the read then stops.
std::optional<QString> refusedLastPage;

// Only plain digits count: real boards send them, and Qt's number parsing would also take a
// sign or blanks around them, which no board sends for a page count.
bool isPageNumber(const QString &text, int &number)
{
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    bool ok = false;
    const int parsed = text.toInt(&ok, 10);
    if (ok)
        number = parsed;
    return ok;
}

// What became of the file when a read did not save: the old one is kept as it was.
QString nothingSaved(const QString &path, bool existed)
{
    return existed ? QStringLiteral("Nothing was saved: %1 is unchanged.").arg(path)
                   : QStringLiteral("Nothing was saved: %1 was not created.").arg(path);
}

QString stoppedWarning(qint64 pagesRead, bool linkLost, const QString &path, bool existed)
{
    const QString page = PageNumberToHex(int(pagesRead), 4);
    QString text = linkLost
        ? QStringLiteral("The link to the CTL PCB was lost at page %1").arg(page)
        : QStringLiteral("The read stopped at page %1").arg(page);
    // Before page 0 is in, the board has not said how many pages it has.
    if (pagesRead == 0) {
        text += QStringLiteral(": no page could be read. ");
    } else {
        text += QStringLiteral(": %1 of %2 pages were read. ")
                    .arg(pagesRead)
                    .arg(qint64(CtlParamEndPage) + 1);
    }
    return text + nothingSaved(path, existed);
}

QString refusedLastPageWarning(const QString &value, const QString &path, bool existed)
{
    return QStringLiteral("The read stopped: page 0000 gives the number of the last page, but the "
                          "CTL PCB sent \"%1\", which is not a page number from 0 to %2. ")
               .arg(value)
               .arg(std::numeric_limits<int>::max())
        + nothingSaved(path, existed);
}

QString writeFailedWarning(const QString &path, QString reason, bool existed)
{
    // A disk that fills up mid-write takes part of the data and gives no reason of its own.
    if (reason == QCoreApplication::translate("QIODevice", "Unknown error"))
        reason = QStringLiteral("Not all of the data could be written (the disk may be full)");
    return QStringLiteral("Writing %1 failed: %2. ").arg(path, reason)
        + nothingSaved(path, existed);
}

QString keepingPreviousFailedWarning(const QString &path, const QString &reason)
{
    return QStringLiteral("The read was complete, but the previous %1 could not be kept as %1~: "
                          "%2. ")
               .arg(path, reason)
        + nothingSaved(path, true);
}

QString readingProgress(qint64 page)
{
    if (page == 0)
        return QStringLiteral("Reading page 0000");
    const qint64 percent = std::llround(double(page) * 100 / double(CtlParamEndPage));
    return QStringLiteral("Reading page %1 of %2 (%3 %)")
        .arg(PageNumberToHex(int(page), 4), PageNumberToHex(CtlParamEndPage, 4))
        .arg(percent);
}

} // namespace

void MainWindow::on_btnFromCTL_PCB_clicked() { uploadDialog.show(); }

void MainWindow::onSaveFileSelected(QString sFileName)
{
    ui->editFromCTLPCB->setText(sFileName);
    QString problem;
    const QString path = NvramSavePath(sFileName, problem);
    if (path.isEmpty()) {
        ui->editFromCTLPCB->setStyleSheet(kStyleEditYellow);
        ShowWarning(problem);
        return;
    }
    ui->editFromCTLPCB->setStyleSheet(kStyleEditGreen);
    QCoreApplication::processEvents();
    ReadCtlToFile(path);
}

void MainWindow::ReadCtlToFile(const QString &path)
{
    if (!StartTransfer(ui->editFromCTLPCB))
        return;
    FinishTransfer(ui->editFromCTLPCB, ReadIntoFile(path));
}

// Returns the warning for the technician, empty when the file holds every page. The file is
// replaced in one step, and only by a complete read; the file it replaces is kept as NAME~.
QString MainWindow::ReadIntoFile(const QString &path)
{
    const bool existed = NameIsTaken(path);
    BackupFile file(path);
    if (!file.open()) {
        return QStringLiteral("Could not create ") + path + QStringLiteral(": ")
            + file.errorString() + QStringLiteral(". Nothing was read from the board.");
    }
    QTextStream out(file.device());
    out << NvrHeaderLine() << Qt::endl;
    qint64 pagesRead = 0;
    refusedLastPage.reset();
    const bool complete = out.status() == QTextStream::Ok && ReadPagesInto(out, pagesRead);
    if (out.status() != QTextStream::Ok)
        return writeFailedWarning(path, file.errorString(), existed);
    if (refusedLastPage)
        return refusedLastPageWarning(*refusedLastPage, path, existed);
    if (!complete)
        return stoppedWarning(pagesRead, readErrorLatched, path, existed);
    if (!file.commit()) {
        return file.keepingPreviousFailed() ? keepingPreviousFailedWarning(path, file.errorString())
                                            : writeFailedWarning(path, file.errorString(), existed);
    }
    return {};
}

// True when every page up to the last one that page 0 announced is written; pagesRead counts
// the pages written, always pages 0 up to one before that count.
bool MainWindow::ReadPagesInto(QTextStream &out, qint64 &pagesRead)
{
    // Counted in 64 bits: after a last page of INT_MAX the counter still has to step past it.
    qint64 PGNum = 0;
    for (;;) {
        ShowTransferProgress(readingProgress(PGNum));
        if (!ReadPage(int(PGNum), out))
            break;
        ++PGNum;
        if (CtlParamEndPage < PGNum) {
            qDebug() << "DataValid = false - PGNum > CtlParamEndPage";
            pagesRead = PGNum;
            return true;
        }
    }
    pagesRead = PGNum;
    return false;
}

// Asks for the page's value and description and writes its line; false when the read must stop.
bool MainWindow::ReadPage(int page, QTextStream &out)
{
    const bool DataValid = AskBoard(ValueQuestion(page), pageValue);
    if (!AskBoard(DescriptionQuestion(page), pageDescription)) {
        qDebug() << "DataValid = false - RCV_Str.length() is longer than sentStringLength";
        return false;
    }
    if (!DataValid)
        return false;
    if (page == 0 && !isPageNumber(pageValue, CtlParamEndPage)) {
        refusedLastPage = pageValue;
        return false;
    }
    out << NvrDataLine(PageNumberToHex(page, 4), pageValue, pageDescription) << Qt::endl;
    // A file that can no longer be written is no backup; asking for more pages is pointless.
    return out.status() == QTextStream::Ok;
}

// One exchange; on a usable answer data gets its text, otherwise data is left as it was.
bool MainWindow::AskBoard(const QString &command, QString &data)
{
    const int sentStringLength = int(command.size());
    // An answer cut off by the response window or the length limit can still be long enough;
    // without its '#' its text is not the page's and must not end up in a backup. Nor can a
    // line break inside the data: it would split the page's line in the file.
    if (!IsCompleteAnswer(TransferExchange(command)) || RCV_Str.size() <= sentStringLength)
        return false;
    const QString answerData = AnswerData(RCV_Str);
    if (!FitsOnOneLine(answerData))
        return false;
    data = answerData;
    return true;
}
