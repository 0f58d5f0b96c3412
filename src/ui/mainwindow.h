// The tool's main window: owner of the form, the serial port, the file-name dialog and both timers.
#pragma once

#include "link/timings.h"
#include "nvram/nvrformat.h"
#include "nvram/transferhooks.h"
#include "ui/dlguploadnvram.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QString>

class PollingCycle;
class QCloseEvent;
class QLineEdit;
class SerialLink;

namespace Ui {
class MainWindow;
}
using MainWindowUi = Ui::MainWindow;

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    // Timings and the save folder are the board's and the machine's; tests pass their own.
    explicit MainWindow(QWidget *parent = nullptr, const LinkTimings &timings = {},
        const QString &nvramDirectory = kNvramDirectory);
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
    void onHandshakeDone();
    void onDeviceLost();
    void onBoardSilent(const QString &portName);
    void ResetToDisconnected();

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // One box for the technician; its text may quote the board or a file, so it is never markup.
    void ShowWarning(const QString &text);

    // What both transfers share (src/ui/transfers.cpp).
    bool StartTransfer(QLineEdit *field);
    TransferHooks transferHooks();
    void FinishTransfer(QLineEdit *field, const QString &warning);
    void ReadCtlToFile(const QString &path);
    void WriteFileToCtl(QString path);

    MainWindowUi *ui;
    dlgUploadNVRAM uploadDialog;
    SerialLink *m_link = nullptr;
    PollingCycle *m_cycle = nullptr;
    // Where reads are saved and writes are chosen from.
    QString m_nvramDirectory;

    bool m_transferInProgress = false;
    QElapsedTimer m_keepAliveClock;
    QString m_transferProgress;
    bool m_closeRequested = false;

    friend struct MainWindowTestAccess;
};
