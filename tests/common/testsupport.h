// Shared window test support: reach into MainWindow, catch modal boxes.
#pragma once

#include "linksupport.h"

#include "link/pollingcycle.h"
#include "link/seriallink.h"
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QObject>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

#include <functional>

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
