// The transfers as the window runs them: on a live link only, with the window painted but deaf
// to input while they run, their progress in the status bar, and one box at the end.
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "link/pollingcycle.h"
#include "link/portmessages.h"
#include "link/seriallink.h"
#include "nvram/backupfile.h"
#include "nvram/readtransfer.h"
#include "nvram/transfermessages.h"
#include "nvram/writetransfer.h"
#include "ui/styles.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputEvent>

void MainWindow::on_btnFromCTL_PCB_clicked() { uploadDialog.show(); }

void MainWindow::onSaveFileSelected(QString sFileName)
{
    ui->editFromCTLPCB->setText(sFileName);
    QString problem;
    const QString path = NvramSavePath(m_nvramDirectory, sFileName, problem);
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
    ReadTransfer transfer(*m_link, transferHooks());
    FinishTransfer(ui->editFromCTLPCB, ReadResultMessage(transfer.ReadCtlToFile(path)));
}

void MainWindow::on_btnToCTL_PCB_clicked()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Select NVRAM File"),
        m_nvramDirectory, QStringLiteral("NVRAM (*") + kNvramExtension + QLatin1Char(')'));
    QCoreApplication::processEvents();
    emit readFileSelected(path);
}

void MainWindow::onReadFileSelected(QString sFileName)
{
    const QString name = QFileInfo(sFileName).fileName();
    QCoreApplication::processEvents();
    // A negative count keeps the whole name: one shorter than the extension is shown as it is.
    ui->editToCTLPCB->setText(name.mid(0, name.size() - kNvramExtension.size()));
    QCoreApplication::processEvents();
    ui->editToCTLPCB->setStyleSheet(kStyleEditGreen);
    QCoreApplication::processEvents();
    WriteFileToCtl(sFileName);
}

void MainWindow::WriteFileToCtl(QString path)
{
    // A cancelled dialog: nothing to send and nothing to say. With an empty path no open is
    // attempted, which also spares Qt's console warning.
    if (path.isEmpty()) {
        m_cycle->resume();
        ui->editToCTLPCB->setStyleSheet(kStyleEditYellow);
        return;
    }
    if (!StartTransfer(ui->editToCTLPCB))
        return;
    // Read once: the bytes that are checked are the bytes that are sent.
    const NvrFileContents contents = ReadNvrFile(path);
    QString message = WriteRefusalMessage(path, contents);
    if (message.isEmpty())
        message = WriteResultMessage(::WriteFileToCtl(*m_link, contents.bytes, transferHooks()));
    FinishTransfer(ui->editToCTLPCB, message);
}

// Returns false, having told the technician, when there is no link to transfer over.
bool MainWindow::StartTransfer(QLineEdit *field)
{
    if (!m_link->isLive()) {
        field->setStyleSheet(kStyleEditYellow);
        ShowWarning(QStringLiteral("The CTL PCB is not connected. Press COMMS to connect it, then "
                                   "try again."));
        return false;
    }
    m_cycle->pause();
    m_transferInProgress = true;
    m_keepAliveClock.invalidate();
    qApp->installEventFilter(this);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    return true;
}

// The window is repainted and answers the desktop between exchanges, never inside one, and
// polling stays paused, so nothing can come between a command and its answer.
TransferHooks MainWindow::transferHooks()
{
    TransferHooks hooks;
    // Shown with the next exchange that lets the window repaint.
    hooks.progress = [this](const QString &text, int) { m_transferProgress = text; };
    hooks.beforeExchange = [this] {
        // A page takes about 11 ms at 57600 baud; painting after every one would cost more than
        // the eye or the desktop needs.
        if (m_keepAliveClock.isValid()
            && !m_keepAliveClock.hasExpired(m_link->timings().repaintIntervalMs))
            return;
        m_keepAliveClock.start();
        if (ui->statusbar->currentMessage() != m_transferProgress)
            ui->statusbar->showMessage(m_transferProgress);
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    };
    return hooks;
}

void MainWindow::FinishTransfer(QLineEdit *field, const QString &warning)
{
    m_transferProgress.clear();
    ui->statusbar->clearMessage();
    QApplication::restoreOverrideCursor();
    // Input held back during the transfer is delivered now, while the filter still drops it.
    QCoreApplication::processEvents();
    qApp->removeEventFilter(this);
    m_transferInProgress = false;

    m_cycle->resume();
    field->setStyleSheet(kStyleEditYellow);
    // The transfer's box tells of a lost device, with what the link knows of it; the link goes
    // without a second one.
    QString text = warning;
    if (m_link->deviceWasLost()) {
        m_cycle->DropLink();
        text += (text.isEmpty() ? QString() : QStringLiteral("\n\n"))
            + DeviceGoneText(m_link->port().portName());
    }
    if (!text.isEmpty())
        ShowWarning(text);
    if (m_closeRequested) {
        m_closeRequested = false;
        close();
    }
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    // Clicks and keys made during a transfer would otherwise fire after it, for example as a
    // second read.
    if (m_transferInProgress && dynamic_cast<QInputEvent *>(event))
        return true;
    return QMainWindow::eventFilter(watched, event);
}

// Closing mid-transfer would cut a write short or destroy the window under it: the window
// closes once the transfer has ended and reported.
void MainWindow::closeEvent(QCloseEvent *event)
{
    if (m_transferInProgress) {
        m_closeRequested = true;
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}
