// How the simulated board answers one command and what the command does to its table.
#pragma once

#include "boardsim.h"

#include <QByteArray>
#include <QList>
#include <QString>

// frame: from '$' up to and including '%'. saveOnEndPath: where "$24%" saves the table, or empty.
QByteArray answerBoardCommand(
    const QByteArray &frame, QList<BoardParameter> &table, const QString &saveOnEndPath);
