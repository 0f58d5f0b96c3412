// What both transfers share: a live link to start on, a window that stays painted but deaf to
// input while they run, their progress, and how they end.
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "app/constants.h"
#include "link/frame.h"
#include "link/linkstate.h"

#include <QApplication>
#include <QCloseEvent>
#include <QInputEvent>
#include <QTimer>

// Returns false, having told the technician, when there is no link to transfer over.
bool MainWindow::StartTransfer(QLineEdit *field)
{
    if (!LinkIsLive()) {
        field->setStyleSheet(kStyleEditYellow);
        ShowWarning(
            QStringLiteral("The CTL PCB is not connected. Press COMMS to connect it, then try "
                           "again."));
        return false;
    }
    mainPollingTimer->stop();
    m_pollsUnanswered = 0;
    m_transferInProgress = true;
    m_keepAliveClock.invalidate();
    qApp->installEventFilter(this);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    return true;
}

// One exchange of a transfer. The window is repainted and answers the desktop between
// exchanges, never inside one, and polling stays stopped, so nothing can come between a
// command and its answer.
int MainWindow::TransferExchange(const QString &command)
{
    // A page takes about 11 ms at 57600 baud; painting after every one would cost more than
    // the eye or the desktop needs.
    if (!m_keepAliveClock.isValid() || m_keepAliveClock.hasExpired(kKeepAliveIntervalMs)) {
        m_keepAliveClock.start();
        if (ui->statusbar->currentMessage() != m_transferProgress)
            ui->statusbar->showMessage(m_transferProgress);
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }
    WriteCommand(command, int(command.size()));
    return ReadResponse();
}

// Shown with the next exchange that lets the window repaint.
void MainWindow::ShowTransferProgress(const QString &message) { m_transferProgress = message; }

void MainWindow::FinishTransfer(QLineEdit *field, const QString &warning)
{
    m_transferProgress.clear();
    ui->statusbar->clearMessage();
    QApplication::restoreOverrideCursor();
    // Input held back during the transfer is delivered now, while the filter still drops it.
    QCoreApplication::processEvents();
    qApp->removeEventFilter(this);
    m_transferInProgress = false;

    mainPollingTimer->start(kPollIntervalMs);
    field->setStyleSheet(kStyleEditYellow);
    // The transfer's box tells of a lost device; the link goes without a second one.
    if (readErrorLatched)
        DropLink();
    if (!warning.isEmpty())
        ShowWarning(warning);
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
