// Shared test support.
#include "testsupport.h"

#include <QApplication>
#include <QMessageBox>
#include <QMutexLocker>

#include <sys/resource.h>

bool openWindowPort(MainWindow &w, const QString &path)
{
    SerialLink &link = MainWindowTestAccess::link(w);
    link.port().setPortName(path);
    return link.open();
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
        if (m_holdMs > 0) {
            if (m_held != box) {
                m_held = box;
                m_heldFor.start();
                m_boxes.append(
                    { box->windowTitle(), box->text(), box->textFormat() == Qt::PlainText });
            }
            if (!m_heldFor.hasExpired(m_holdMs))
                return;
            m_held = nullptr;
        } else {
            m_boxes.append({ box->windowTitle(), box->text(), box->textFormat() == Qt::PlainText });
        }
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
        if (!box.plainText)
            texts << QStringLiteral("<not plain text>");
        texts << box.text;
    }
    return texts;
}

double threadCpuSeconds()
{
    rusage usage = {};
    getrusage(RUSAGE_THREAD, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
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
