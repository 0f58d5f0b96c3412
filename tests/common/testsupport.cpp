// Shared test support.
#include "testsupport.h"

#include <QApplication>
#include <QMessageBox>

bool openWindowPort(MainWindow &w, const QString &path)
{
    return openLink(MainWindowTestAccess::link(w), path);
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
