// The commands that talk to the board: read, verify and write, run in-process on the timings
// and streams they are given.
#pragma once

#include "boardsession.h"

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
