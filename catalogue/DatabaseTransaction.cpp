#include "catalogue/DatabaseTransaction.h"

#include "catalogue/DatabaseManager.h"

#include <stdexcept>

DatabaseTransaction::DatabaseTransaction(DatabaseManager *database)
    : m_database(database)
    , m_open(database->beginTransaction())
{
    if (!m_open)
        throw std::runtime_error("Unable to begin a database transaction");
}

DatabaseTransaction::~DatabaseTransaction()
{
    if (m_open)
        m_database->rollbackTransaction();
}

bool DatabaseTransaction::commit()
{
    if (!m_open)
        return false;
    m_open = false;
    return m_database->commitTransaction();
}
