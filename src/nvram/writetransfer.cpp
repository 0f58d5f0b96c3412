// Writing an ".nvr" file's parameters to the board.
#include "ui/mainwindow.h"

void MainWindow::on_btnToCTL_PCB_clicked() { }

void MainWindow::onReadFileSelected(QString sFileName)
{
    Q_UNUSED(sFileName);
}

void MainWindow::WriteFileToCtl(QString path)
{
    Q_UNUSED(path);
}
