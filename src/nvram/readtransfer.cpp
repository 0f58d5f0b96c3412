// Reading every parameter page of the board into an ".nvr" file.
#include "readtransfer.h"

#include "app/constants.h"
#include "link/frame.h"
#include "link/linkstate.h"
#include "nvram/nvrformat.h"
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QMessageBox>
#include <QTextStream>
#include <QTimer>

int CtlParamEndPage = 0;
QString pageValue;
QString pageDescription;

namespace {

// A read that saved fewer pages than page 0 announced leaves a file that looks like a backup
// but is not one; the technician has to be told. Empty for a complete read.
QString stoppedEarlyWarning(const QString &path, qint64 pagesSaved)
{
    if (pagesSaved == 0) {
        return QStringLiteral("The read stopped at page 0000: no page could be read. ") + path
            + QStringLiteral(" holds the header line only.");
    }
    if (pagesSaved <= CtlParamEndPage) {
        return QStringLiteral("The read stopped at page ") + PageNumberToHex(int(pagesSaved), 4)
            + QStringLiteral(": ") + QString::number(pagesSaved) + QStringLiteral(" of ")
            + QString::number(qint64(CtlParamEndPage) + 1) + QStringLiteral(" pages were saved in ")
            + path + QLatin1Char('.');
    }
    return {};
}

QString writeFailedWarning(const QString &path, const QString &reason)
{
    return QStringLiteral("Writing ") + path + QStringLiteral(" failed: ") + reason
        + QStringLiteral(". The file is incomplete.");
}

} // namespace

void MainWindow::on_btnFromCTL_PCB_clicked() { uploadDialog.show(); }

void MainWindow::onSaveFileSelected(QString sFileName)
{
    ui->editFromCTLPCB->setStyleSheet(kStyleEditGreen);
    ui->editFromCTLPCB->setText(sFileName);
    QCoreApplication::processEvents();
    ReadCtlToFile(kNvramDirectory + sFileName + kNvramExtension);
}

void MainWindow::ReadCtlToFile(const QString &path)
{
    mainPollingTimer->stop();
    const QString warning = ReadIntoFile(path);
    mainPollingTimer->start(kPollIntervalMs);
    ui->editFromCTLPCB->setStyleSheet(kStyleEditYellow);
    if (!warning.isEmpty())
        QMessageBox::warning(this, kMessageTitle, warning);
}

// Returns the warning for the technician, empty when the file holds every page.
QString MainWindow::ReadIntoFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return QStringLiteral("Could not create ") + path + QStringLiteral(": ")
            + file.errorString() + QStringLiteral(". Nothing was read from the board.");
    }
    QTextStream out(&file);
    out << NvrHeaderLine() << Qt::endl;
    if (out.status() != QTextStream::Ok)
        return writeFailedWarning(path, file.errorString());
    const qint64 pagesSaved = ReadPagesInto(out);
    if (out.status() != QTextStream::Ok)
        return writeFailedWarning(path, file.errorString());
    return stoppedEarlyWarning(path, pagesSaved);
}

// Returns how many pages were saved; they are always pages 0 up to one before that count.
qint64 MainWindow::ReadPagesInto(QTextStream &out)
{
    // Counted in 64 bits: after a last page of INT_MAX the counter still has to step past it.
    qint64 PGNum = 0;
    while (ReadPage(int(PGNum), out)) {
        ++PGNum;
        if (CtlParamEndPage < PGNum) {
            qDebug() << "DataValid = false - PGNum > CtlParamEndPage";
            break;
        }
    }
    return PGNum;
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
    if (page == 0)
        CtlParamEndPage = pageValue.toInt(nullptr, 10);
    out << NvrDataLine(PageNumberToHex(page, 4), pageValue, pageDescription) << Qt::endl;
    // A file that can no longer be written is no backup; asking for more pages is pointless.
    return out.status() == QTextStream::Ok;
}

// One exchange; on a valid answer data gets its text, otherwise data is left as it was.
bool MainWindow::AskBoard(const QString &command, QString &data)
{
    const int sentStringLength = int(command.size());
    WriteCommand(command, sentStringLength);
    const int received = ReadResponse();
    // An answer cut off by the response window or the length limit can still be long enough;
    // without its '#' its text is not the page's and must not end up in a backup.
    const bool complete = received >= 1 && received <= kMaxResponseChars;
    if (!complete || RCV_Str.size() <= sentStringLength)
        return false;
    data = AnswerData(RCV_Str);
    return true;
}
