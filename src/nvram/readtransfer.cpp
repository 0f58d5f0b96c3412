// Reading every parameter page of the board into an ".nvr" file.
#include "readtransfer.h"

#include "ui/mainwindow.h"

int CtlParamEndPage = 0;
QString pageValue;
QString pageDescription;

void MainWindow::on_btnFromCTL_PCB_clicked() { }

void MainWindow::onSaveFileSelected(QString sFileName)
{
    Q_UNUSED(sFileName);
}

void MainWindow::ReadCtlToFile(const QString &path)
{
    Q_UNUSED(path);
}
