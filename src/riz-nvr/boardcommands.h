// The commands that talk to the board: read, verify, write and backup, run in-process on the
// timings and streams they are given.
#pragma once

#include "boardsession.h"

#include <QDateTime>
#include <QString>

// Reads every page of the board at port into file, as the window's read does.
int ReadBoard(const BoardRun &run, const QString &port, const QString &file);

// Reads the board and compares it with file; a board that fails is trouble here.
int VerifyBoard(const BoardRun &run, const QString &port, const QString &file, bool json);

struct WriteOptions {
    QString backup; // read the board into this first; empty: no backup
    bool verify = false;
    bool force = false;
};

// Checks file, then writes it to the board as the window's write does.
int WriteBoard(
    const BoardRun &run, const QString &port, const QString &file, const WriteOptions &options);

struct BackupOptions {
    QString prefix; // the names start with it
    int keep = 1; // backups of the prefix left after a new one, at least 1
    QDateTime time; // when the backup is made: its name carries it
};

// Reads the board as read does into a new backup in folder, unless the newest backup there holds
// the same bytes; then removes the oldest beyond options.keep.
int BackupBoard(
    const BoardRun &run, const QString &port, const QString &folder, const BackupOptions &options);
