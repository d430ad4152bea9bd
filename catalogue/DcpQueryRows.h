#pragma once

#include <QString>

struct sqlite3;
struct sqlite3_stmt;

// The DCP query stepped straight on the catalogue's SQLite connection. QSqlQuery turns
// every column of every row into a QVariant before anyone asks for it; the start-up load
// reads the DCP's and the reel's columns only on the first row of each, and the text
// arrives as the file stores it (UTF-8), without a detour through UTF-16 inside SQLite.
// Values convert as QSqlQuery's would: an integer column directly, anything else through
// the QVariant the driver would have made.
class DcpQueryRows
{
public:
    // Prepares statement; on failure isValid() is false and errorText() says why.
    DcpQueryRows(sqlite3 *connection, const char *statement);
    ~DcpQueryRows();
    DcpQueryRows(const DcpQueryRows &) = delete;
    DcpQueryRows &operator=(const DcpQueryRows &) = delete;

    bool isValid() const { return m_statement != nullptr; }
    QString errorText() const { return m_error; }

    // The next row; false at the end and on an error (errorText() then says which).
    bool next();
    // The column named so by the statement, or -1.
    int column(const char *name) const;

    bool isNull(int column) const;
    QString text(int column) const;
    quint64 toULongLong(int column) const;
    quint32 toUInt(int column) const;
    bool toBool(int column) const;

private:
    sqlite3 *m_connection = nullptr;
    sqlite3_stmt *m_statement = nullptr;
    QString m_error;
};
