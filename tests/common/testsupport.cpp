// Shared test support.
#include "testsupport.h"

#include <QApplication>
#include <QMessageBox>
#include <QMutexLocker>

void resetLinkState()
{
    RCV_Str.clear();
    lastCommand.clear();
    readErrorLatched = false;
    pollState = 0;
    statusPollCountdown = 1;
}

bool openWindowPort(MainWindow &w, const QString &path)
{
    QSerialPort &port = MainWindowTestAccess::serialPort(w);
    port.setPortName(path);
    return port.open(QIODevice::ReadWrite);
}

ModalBoxCatcher::ModalBoxCatcher(QObject *parent)
    : QObject(parent)
{
    m_timer.setInterval(20);
    connect(&m_timer, &QTimer::timeout, this, &ModalBoxCatcher::check);
    m_timer.start();
}

void ModalBoxCatcher::check()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible())
        return;
    if (auto *box = qobject_cast<QMessageBox *>(modal)) {
        m_boxes.append({ box->windowTitle(), box->text() });
        if (QAbstractButton *ok = box->button(QMessageBox::Ok))
            ok->click();
        else
            box->reject();
        return;
    }
    if (m_other)
        m_other(modal);
}

QStringList ModalBoxCatcher::texts(const QString &expectedTitle) const
{
    QStringList texts;
    for (const Box &box : m_boxes) {
        if (box.title != expectedTitle)
            texts << QStringLiteral("<wrong title %1>").arg(box.title);
        texts << box.text;
    }
    return texts;
}

namespace {

QMutex captureMutex;
QStringList captured;

void captureHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg)
        return;
    QMutexLocker locker(&captureMutex);
    captured.append(message);
}

} // namespace

DebugCapture::DebugCapture()
{
    QMutexLocker locker(&captureMutex);
    captured.clear();
    m_previous = qInstallMessageHandler(captureHandler);
}

DebugCapture::~DebugCapture() { qInstallMessageHandler(m_previous); }

QStringList DebugCapture::lines() const
{
    QMutexLocker locker(&captureMutex);
    return captured;
}
