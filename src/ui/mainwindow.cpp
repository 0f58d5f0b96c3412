// MainWindow construction and wiring, and the link as the window shows it: the port list,
// COMMS, and the boxes of the polling cycle.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "link/escapedtext.h"
#include "link/pollingcycle.h"
#include "link/portmessages.h"
#include "link/seriallink.h"
#include "ui/styles.h"

#include <QMessageBox>
#include <QSerialPortInfo>

namespace {

const QString kNoFileName = QStringLiteral("------------------");

} // namespace

MainWindow::MainWindow(QWidget *parent, const LinkTimings &timings, const QString &nvramDirectory)
    : QMainWindow(parent)
    , ui(new MainWindowUi)
    , m_link(new SerialLink(timings, this))
    , m_cycle(new PollingCycle(*m_link, this))
    , m_nvramDirectory(nvramDirectory)
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

    connect(
        &uploadDialog, SIGNAL(saveFileSelected(QString)), this, SLOT(onSaveFileSelected(QString)));
    connect(this, SIGNAL(readFileSelected(QString)), this, SLOT(onReadFileSelected(QString)));
    connect(m_link, SIGNAL(deviceLost()), this, SLOT(onDeviceLost()));
    connect(m_cycle, SIGNAL(handshakeDone()), this, SLOT(onHandshakeDone()));
    connect(m_cycle, SIGNAL(disconnected()), this, SLOT(ResetToDisconnected()));
    connect(m_cycle, SIGNAL(boardSilent(QString)), this, SLOT(onBoardSilent(QString)));
}

MainWindow::~MainWindow()
{
    // The link closes its port as it goes, sending nothing; nothing it does on the way may reach
    // a form that is gone.
    delete m_cycle;
    delete m_link;
    delete ui;
}

void MainWindow::ShowWarning(const QString &text)
{
    QMessageBox box(QMessageBox::Warning, kMessageTitle, text, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void MainWindow::on_comboBoxSerialPorts_textActivated(const QString &arg1)
{
    if (arg1.isEmpty())
        return;
    ui->btnConnectPort->setStyleSheet(kStyleButtonRed);
    ui->btnConnectPort->show();
    m_link->setPortName(arg1);
}

void MainWindow::on_btnConnectPort_clicked()
{
    if (m_link->port().isOpen()) {
        m_cycle->requestDisconnect();
        return;
    }
    if (!m_link->open()) {
        ShowWarning(m_link->openFailure().boxText());
        m_cycle->ResetToDisconnected();
        return;
    }
    ui->btnConnectPort->setStyleSheet(kStyleButtonGreen);
    onHandshakeDone();
    m_cycle->start();
}

void MainWindow::onHandshakeDone()
{
    ui->editFromCTLPCB->setText(kDefaultUploadName);
    ui->editToCTLPCB->setText(kDefaultDownloadName);
    ui->btnFromCTL_PCB->setEnabled(true);
    ui->btnToCTL_PCB->setEnabled(true);
}

// The device has gone and its port is closed. A transfer reports the lost link in its own box,
// with what it means for the file or the board, and closes the link after it; a box from here
// would be a second one.
void MainWindow::onDeviceLost()
{
    if (m_transferInProgress)
        return;
    m_cycle->DropLink();
    ShowWarning(QStringLiteral("Error: Read timeout on command ") + m_link->command()
        + QLatin1Char('\n') + DeviceGoneText(m_link->port().portName()));
}

void MainWindow::onBoardSilent(const QString &portName)
{
    ShowWarning(QStringLiteral("The CTL PCB does not answer on %1. The port may be the wrong one: "
                               "choose the port the board is connected to and press COMMS.")
                    .arg(EscapedText(portName)));
}

void MainWindow::ResetToDisconnected()
{
    ui->btnConnectPort->setStyleSheet(kStyleButtonRed);
    ui->editFromCTLPCB->setText(kNoFileName);
    ui->editToCTLPCB->setText(kNoFileName);
    ui->btnFromCTL_PCB->setEnabled(false);
    ui->btnToCTL_PCB->setEnabled(false);
}
