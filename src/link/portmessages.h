// The technician's sentences about serial ports: what the system tells of a port, who holds it,
// why it cannot be opened, and a device that went away. Every name in them is escaped.
#pragma once

#include "link/lockfile.h"
#include "link/portholder.h"

#include <QString>

class QSerialPort;
class QSerialPortInfo;

// The description, manufacturer and serial number the system reports for a port, one a line.
QString PortDescription(const QSerialPortInfo &info);

// "in use by NAME (pid N)", "another program" standing in for a name the system does not tell.
QString PortInUseText(const PortHolderProcess &holder);

// For a port whose device went away, before it was opened or while it was open.
QString DeviceGoneText(const QString &portName);

// Why a port could not be opened: Qt's error where Qt tried, and one sentence on the cause as
// far as the system tells (empty when none is found).
struct PortOpenFailure {
    QString portName;
    QString error; // "error code N" and Qt's text; empty when the open was refused before Qt
    QString cause;

    // The window's box: "Can't open", Qt's error, then the cause.
    QString boxText() const;
    // For a command line, where the first line is what a log shows: the cause, then Qt's error.
    QString causeFirstText() const;
};

// After Qt's open of port failed: the account lacks permission, another program holds the port,
// a lock file outlived its program, or the device is gone.
PortOpenFailure OpenFailureOf(const QSerialPort &port);

// A lock file that Qt's open would block on or read without bound; Qt is not asked.
PortOpenFailure UnsafeLockFileFailure(
    const QString &portName, const QString &lockFile, LockFileKind kind);
