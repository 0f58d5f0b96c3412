// The simulated board's parameter table: generated contents, loaded from and saved to ".nvr"
// files with the format's own line reader and line writers.
#pragma once

#include "boardsim.h"

#include <QList>
#include <QString>

QString boardPageText(qint64 page);
QList<BoardParameter> generatedBoardParameters(int lastPage);
bool readNvrTable(const QString &path, QList<BoardParameter> &table, QString &error);
bool writeNvrTable(const QString &path, const QList<BoardParameter> &table, QString &error);
