// MainWindow construction, wiring and destruction.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "app/constants.h"
#include "link/serialdevice.h"

#include <QMessageBox>
#include <QSerialPortInfo>
#include <QTimer>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new MainWindowUi)
    , disconnectRequested(false)
    , watchdogTriggered(false)
{
    ui->setupUi(this);

    ui->btnFromCTL_PCB->setStyleSheet(kStyleButtonGreen);
    ui->btnToCTL_PCB->setStyleSheet(kStyleButtonGreen);
    ui->btnConnectPort->hide();

    // Filled once: ports that appear later are not listed.
    ui->comboBoxSerialPorts->addItem(QString());
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        ui->comboBoxSerialPorts->addItem(info.portName());
        // Tells a USB adapter from the built-in ports.
        ui->comboBoxSerialPorts->setItemData(
            ui->comboBoxSerialPorts->count() - 1, PortDescription(info), Qt::ToolTipRole);
    }

    serialPort.setParity(QSerialPort::NoParity);
    serialPort.setStopBits(QSerialPort::OneStop);
    serialPort.setDataBits(QSerialPort::Data8);
    serialPort.setBaudRate(57600, QSerialPort::AllDirections);

    connect(
        &uploadDialog, SIGNAL(saveFileSelected(QString)), this, SLOT(onSaveFileSelected(QString)));
    connect(this, SIGNAL(readFileSelected(QString)), this, SLOT(onReadFileSelected(QString)));

    mainPollingTimer = new QTimer(this);
    connect(mainPollingTimer, SIGNAL(timeout()), this, SLOT(MainPollingTimerElapsed()));
    serialWatchdogTimer = new QTimer(this);
    connect(serialWatchdogTimer, SIGNAL(timeout()), this, SLOT(serialWatchdogTimerElapsed()));
    m_hangUpWatch = new HangUpWatch(&serialPort);
    connect(m_hangUpWatch, SIGNAL(hungUp()), this, SLOT(onPortHungUp()));
}

MainWindow::~MainWindow()
{
    delete ui;
    delete mainPollingTimer;
    delete serialWatchdogTimer;
    // Nothing is sent to the board on the way out.
    serialPort.close();
}

void MainWindow::ShowWarning(const QString &text)
{
    QMessageBox box(QMessageBox::Warning, kMessageTitle, text, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}
