// Where Qt Serial Port keeps a port's lock file, and whether what stands there is safe to let Qt
// read. The lock folders are writable by every local user.
#pragma once

#include <QString>
#include <QStringList>

// The name to open a port by: a name as listed ("ttyUSB0") as it is, a path with every link
// resolved ("/dev/serial/by-id/..." becomes "/dev/ttyUSB0"), so that every program that opens
// the device meets the same lock file. A path that does not exist is kept, for the open to tell.
QString ResolvedPortName(const QString &port);

// The device node of a port, as Qt Serial Port derives it from the port's name.
QString PortLocation(const QString &portName);

// The folders Qt Serial Port may keep lock files in, in the order it tries them.
QStringList LockFolders();

// The lock file's name for the node at location: "LCK.." and the node's name below /dev, with
// '/' as '_'.
QString LockFileName(const QString &location);

// The lock file Qt Serial Port takes for the node at location: in the first folder that this
// process may read and write. Empty when there is none; Qt then refuses the open by itself.
QString QtLockFilePath(const QString &location);

// What stands where a lock file goes, as lstat tells without following a link.
enum class LockFileKind { Absent, Usable, Link, NamedPipe, Device, Socket, Folder, TooLarge };

// Qt's lock reads a lock file that is already there without a bound on its size, and blocks on
// a named pipe: only a regular file of at most this many bytes is left for it to read.
constexpr qint64 kMaxLockFileBytes = 4096;

LockFileKind InspectLockFile(const QString &path);
