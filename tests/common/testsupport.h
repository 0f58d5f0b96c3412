// Shared test support: reach into MainWindow, catch modal boxes, capture debug lines.
#pragma once

#include "link/pollingcycle.h"
#include "link/seriallink.h"
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMutex>
#include <QObject>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

#include <functional>

struct LinkTestAccess {
    static QTimer &serialWatchdogTimer(SerialLink &link) { return *link.serialWatchdogTimer; }
    static bool watchdogTriggered(SerialLink &link) { return link.watchdogTriggered; }
    // As a lost device leaves it, with the port still open.
    static void latch(SerialLink &link) { link.readErrorLatched = true; }
};

struct MainWindowTestAccess {
    static MainWindowUi &ui(MainWindow &w) { return *w.ui; }
    static SerialLink &link(MainWindow &w) { return *w.m_link; }
    static PollingCycle &cycle(MainWindow &w) { return *w.m_cycle; }
    static QSerialPort &serialPort(MainWindow &w) { return w.m_link->port(); }
    static dlgUploadNVRAM &uploadDialog(MainWindow &w) { return w.uploadDialog; }
    static QTimer &mainPollingTimer(MainWindow &w) { return w.m_cycle->timer(); }
    static QTimer &serialWatchdogTimer(MainWindow &w)
    {
        return LinkTestAccess::serialWatchdogTimer(*w.m_link);
    }
    static bool watchdogTriggered(MainWindow &w)
    {
        return LinkTestAccess::watchdogTriggered(*w.m_link);
    }
    static bool disconnectRequested(MainWindow &w) { return w.m_cycle->disconnectIsRequested(); }

    static void writeCommand(MainWindow &w, const QString &command, int length)
    {
        w.m_link->WriteCommand(command, length);
    }
    static int readResponse(MainWindow &w) { return w.m_link->ReadResponse(); }
    // One whole exchange, as the polling cycle and the transfers make it.
    static int exchange(MainWindow &w, const QString &command)
    {
        return w.m_link->exchange(command);
    }
    static void readCtlToFile(MainWindow &w, const QString &path) { w.ReadCtlToFile(path); }
    static void writeFileToCtl(MainWindow &w, const QString &path) { w.WriteFileToCtl(path); }
};

bool openWindowPort(MainWindow &w, const QString &path);

// Watches for modal message boxes, records their title and text, and closes them with OK.
class ModalBoxCatcher : public QObject {
    Q_OBJECT

public:
    struct Box {
        QString title;
        QString text;
        bool plainText = true;
    };

    explicit ModalBoxCatcher(QObject *parent = nullptr);

    // Leaves each box open this long before closing it, as a technician who reads it would.
    void holdOpenFor(int ms) { m_holdMs = ms; }

    QList<Box> boxes() const { return m_boxes; }
    // The texts in order; a box with another title, or whose text could be taken for markup,
    // shows up as an extra entry saying so.
    QStringList texts(const QString &expectedTitle) const;
    // Called for any other modal widget (for example a file dialog); it should close it.
    void setOtherModalHandler(std::function<void(QWidget *)> handler)
    {
        m_other = std::move(handler);
    }

private:
    void check();

    QTimer m_timer;
    QList<Box> m_boxes;
    int m_holdMs = 0;
    QWidget *m_held = nullptr;
    QElapsedTimer m_heldFor;
    std::function<void(QWidget *)> m_other;
};

// CPU time the calling thread has used, in seconds: a busy wait shows here, whatever else the
// machine is doing.
double threadCpuSeconds();

// Collects the debug lines written while it lives.
class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();

    QStringList lines() const;
    bool contains(const QString &line) const { return lines().contains(line); }

private:
    QtMessageHandler m_previous;
};
