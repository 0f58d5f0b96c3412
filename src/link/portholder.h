// Which program holds a serial port, as its lock file or /proc tells. The port itself is never
// opened to find out: an open would raise DTR and RTS on the line.
#pragma once

#include <QString>

#include <optional>

// A program that holds a port open.
struct PortHolderProcess {
    qint64 pid = 0;
    QString name; // empty when the system does not tell it
};

// The program that holds the device node at location, as the port's lock file or /proc tells
// (where this process is not looked for); nothing when none does.
std::optional<PortHolderProcess> PortHolder(const QString &location);

// The process id a lock file starts with; 0 when it holds none, or is not a regular file.
qint64 LockFileOwner(const QString &path);

// Whether the process runs, also when it belongs to another user.
bool ProcessRuns(qint64 pid);
