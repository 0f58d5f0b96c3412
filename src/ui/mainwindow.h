// The tool's main window: owner of the form, the serial port, the file-name dialog and both timers.
#pragma once

#include "ui/dlguploadnvram.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QSerialPort>
#include <QString>

class HangUpWatch;
class QCloseEvent;
class QLineEdit;
class QTextStream;
class QTimer;

namespace Ui {
class MainWindow;
}
using MainWindowUi = Ui::MainWindow;

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

signals:
    void readFileSelected(QString name);

private slots:
    void on_btnConnectPort_clicked();
    void on_comboBoxSerialPorts_textActivated(const QString &arg1);
    void on_btnFromCTL_PCB_clicked();
    void on_btnToCTL_PCB_clicked();
    void onSaveFileSelected(QString sFileName);
    void onReadFileSelected(QString sFileName);
    void MainPollingTimerElapsed();
    void serialWatchdogTimerElapsed();
    void onPortHungUp();

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // One box for the technician; its text may quote the board or a file, so it is never markup.
    void ShowWarning(const QString &text);

    // Serial command protocol (src/link/protocol.cpp).
    void WriteCommand(const QString &command, int length);
    int ReadResponse();
    int ReadChar();
    void DeviceLost();

    // Connection and polling cycle (src/link/polling.cpp).
    void RunPollState();
    void ConnectHandshake();
    void StatusPoll();
    void ResetToDisconnected();
    void PollExchange(const QString &command);
    bool LinkIsLive() const;
    void DropLink();

    // What both transfers share (src/nvram/transfer.cpp).
    bool StartTransfer(QLineEdit *field);
    int TransferExchange(const QString &command);
    void ShowTransferProgress(const QString &message);
    void FinishTransfer(QLineEdit *field, const QString &warning);

    // Transfers (src/nvram/readtransfer.cpp, src/nvram/writetransfer.cpp).
    void ReadCtlToFile(const QString &path);
    void WriteFileToCtl(QString path);

    // Read transfer (src/nvram/readtransfer.cpp).
    QString ReadIntoFile(const QString &path);
    bool ReadPagesInto(QTextStream &out, qint64 &pagesRead);
    bool ReadPage(int page, QTextStream &out);
    bool AskBoard(const QString &command, QString &data);

    MainWindowUi *ui;
    bool disconnectRequested;
    bool watchdogTriggered;
    QSerialPort serialPort;
    dlgUploadNVRAM uploadDialog;
    QTimer *mainPollingTimer = nullptr;
    QTimer *serialWatchdogTimer = nullptr;
    HangUpWatch *m_hangUpWatch = nullptr;

    // The response window as the blocking reader sees it: the timer's expiry is only
    // delivered by the event loop, which does not run inside an exchange.
    QDeadlineTimer m_responseDeadline;
    bool m_exchangeInProgress = false;
    // Polling exchanges in a row without a complete answer.
    int m_pollsUnanswered = 0;
    bool m_transferInProgress = false;
    QElapsedTimer m_keepAliveClock;
    QString m_transferProgress;
    bool m_closeRequested = false;

    friend struct MainWindowTestAccess;
};
