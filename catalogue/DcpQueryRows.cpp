#include "catalogue/DcpQueryRows.h"

#include <QVariant>

#include <sqlite3.h>

namespace {

// What QSqlQuery::value() holds for a column that is not an integer.
QVariant driverValue(sqlite3_stmt *statement, int column)
{
    switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER:
        return QVariant(qint64(sqlite3_column_int64(statement, column)));
    case SQLITE_FLOAT:
        return QVariant(sqlite3_column_double(statement, column));
    case SQLITE_NULL:
        return QVariant(QVariant::String);
    case SQLITE_BLOB:
        return QVariant(QByteArray(static_cast<const char *>(sqlite3_column_blob(statement, column)),
                                   sqlite3_column_bytes(statement, column)));
    default:
        return QVariant(QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, column)),
                                          sqlite3_column_bytes(statement, column)));
    }
}

}

DcpQueryRows::DcpQueryRows(sqlite3 *connection, const char *statement)
    : m_connection(connection)
{
    if (!connection) {
        m_error = "No SQLite connection";
        return;
    }
    if (sqlite3_prepare_v2(connection, statement, -1, &m_statement, nullptr) != SQLITE_OK) {
        m_error = QString::fromUtf8(sqlite3_errmsg(connection));
        sqlite3_finalize(m_statement);
        m_statement = nullptr;
    }
}

DcpQueryRows::~DcpQueryRows()
{
    sqlite3_finalize(m_statement);
}

bool DcpQueryRows::next()
{
    if (!m_statement)
        return false;
    const int result = sqlite3_step(m_statement);
    if (result == SQLITE_ROW)
        return true;
    if (result != SQLITE_DONE)
        m_error = QString::fromUtf8(sqlite3_errmsg(m_connection));
    return false;
}

int DcpQueryRows::column(const char *name) const
{
    const int count = m_statement ? sqlite3_column_count(m_statement) : 0;
    for (int i = 0; i < count; ++i) {
        if (qstrcmp(sqlite3_column_name(m_statement, i), name) == 0)
            return i;
    }
    return -1;
}

bool DcpQueryRows::isNull(int column) const
{
    return sqlite3_column_type(m_statement, column) == SQLITE_NULL;
}

QString DcpQueryRows::text(int column) const
{
    // The text first, then its length: in this order SQLite converts the value at most once.
    const char *value = reinterpret_cast<const char *>(sqlite3_column_text(m_statement, column));
    if (!value)
        return sqlite3_column_type(m_statement, column) == SQLITE_NULL ? QString() : QString("");
    return QString::fromUtf8(value, sqlite3_column_bytes(m_statement, column));
}

quint64 DcpQueryRows::toULongLong(int column) const
{
    if (sqlite3_column_type(m_statement, column) == SQLITE_INTEGER)
        return quint64(sqlite3_column_int64(m_statement, column));
    return driverValue(m_statement, column).toULongLong();
}

quint32 DcpQueryRows::toUInt(int column) const
{
    if (sqlite3_column_type(m_statement, column) == SQLITE_INTEGER)
        return quint32(sqlite3_column_int64(m_statement, column));
    return driverValue(m_statement, column).toUInt();
}

bool DcpQueryRows::toBool(int column) const
{
    if (sqlite3_column_type(m_statement, column) == SQLITE_INTEGER)
        return sqlite3_column_int64(m_statement, column) != 0;
    return driverValue(m_statement, column).toBool();
}
