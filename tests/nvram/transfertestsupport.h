// What the transfer suites share, without a window: files in a test's folder and the file a
// read should make.
#pragma once

#include "boardsim.h"
#include "linksupport.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

QByteArray fileBytes(const QString &path);
// Setting up a test's folder cannot fail short of a broken machine; the run stops if it does.
void writeTestFile(const QString &path, const QByteArray &bytes);

// The header and the first pageCount pages of table, as the read writes them.
QByteArray expectedNvrFile(const QList<BoardParameter> &table, int pageCount);
