// Connection and polling cycle.
#include "ui/mainwindow.h"

void MainWindow::on_comboBoxSerialPorts_textActivated(const QString &arg1)
{
    Q_UNUSED(arg1);
}

void MainWindow::on_btnConnectPort_clicked() { }

void MainWindow::MainPollingTimerElapsed() { }

void MainWindow::RunPollState() { }

void MainWindow::ConnectHandshake() { }

void MainWindow::StatusPoll() { }

void MainWindow::ResetToDisconnected() { }
