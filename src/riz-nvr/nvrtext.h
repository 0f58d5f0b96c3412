// Text helpers shared by the reports.
#pragma once

#include "link/escapedtext.h"

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <vector>

// "cannot read NAME: reason", for a file that cannot be read.
QString CannotReadText(const QString &name, const QString &reason);

// "1 line", "2 lines": count and word, with an "s" unless the count is 1.
QString CountOf(qint64 count, const QString &word);

// A JSON document written as it goes, laid out as Qt's indented JSON, with every control
// character escaped ("\u009b" too), so that a result of many pages is not built twice before it is
// printed. Members are written in the order given; Qt's documents have them sorted by key.
class JsonWriter {
public:
    explicit JsonWriter(QByteArray &out)
        : m_out(out)
    {
    }

    // key names the member within an object; nullptr within an array and for the document.
    void openObject(const char *key = nullptr) { open(key, '{', '}'); }
    void openArray(const char *key = nullptr) { open(key, '[', ']'); }
    void close();
    void text(const char *key, QStringView value);
    void textOrNull(const char *key, QStringView value, bool present);
    void number(const char *key, qint64 value);

private:
    void open(const char *key, char opening, char closing);
    void member(const char *key);

    struct Container {
        char closing;
        bool empty;
    };
    QByteArray &m_out;
    std::vector<Container> m_open;
};
