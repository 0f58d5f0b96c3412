// The board-and-link fixture the suites share, and the files they keep in its folder.
#pragma once

#include "boardsim.h"
#include "linksupport.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// What a file holds; a text naming it when it cannot be read.
QByteArray fileBytes(const QString &path);
// Setting up a test's folder cannot fail short of a broken machine; the run stops if it does.
void writeTestFile(const QString &path, const QByteArray &bytes);
// The header and the first pageCount pages of table, as the read writes them.
QByteArray expectedNvrFile(const QList<BoardParameter> &table, int pageCount);

// What a suite's init() makes and its cleanup() drops, each part only when the suite asks for
// it. A suite derives from it, as from a fixture, so that its tests name the parts directly.
class BoardFixture {
protected:
    enum Part {
        Board = 0x1, // the simulated board on a pty, started with an empty table
        Link = 0x2 | Board, // a link with the short timings, open on the board
        Folder = 0x4, // a folder of the test's own
        Debug = 0x8, // the debug lines, captured instead of printed
    };

    // False, with the reason in m_fixtureError, when a part cannot be made.
    bool makeFixture(int parts);
    void dropFixture();

    // The board's table, and a log that starts after it was set.
    void setBoard(const QList<BoardParameter> &table);
    // Writes name in the folder; returns its path.
    QString writeFile(const QString &name, const QByteArray &bytes);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<CtlBoardSim> m_sim;
    std::unique_ptr<SerialLink> m_link;
    std::unique_ptr<DebugCapture> m_debug;
    QString m_fixtureError;
};
