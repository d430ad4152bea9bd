#pragma once

class DatabaseManager;

// A caller's transaction on the catalogue connection: begun on construction, rolled
// back on destruction unless commit() succeeded, so a statement that throws half way
// leaves nothing half written.
class DatabaseTransaction
{
public:
    explicit DatabaseTransaction(DatabaseManager *database);
    ~DatabaseTransaction();

    DatabaseTransaction(const DatabaseTransaction &) = delete;
    DatabaseTransaction &operator=(const DatabaseTransaction &) = delete;

    bool commit();

private:
    DatabaseManager *m_database;
    bool m_open;
};
