#include "catalogue/DcpListModel.h"

#include "catalogue/DCP.h"

#include <QSet>

DcpListModel::DcpListModel(QObject *parent)
    : QAbstractListModel(parent)
{
}

int DcpListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_shown.size();
}

QVariant DcpListModel::data(const QModelIndex &index, int role) const
{
    if (role != DcpRole || index.parent().isValid() || index.row() < 0 || index.row() >= m_shown.size())
        return QVariant();
    return QVariant::fromValue<QObject *>(m_shown.at(index.row()));
}

QHash<int, QByteArray> DcpListModel::roleNames() const
{
    return {{DcpRole, "dcp_object"}};
}

int DcpListModel::indexOf(QObject *dcp) const
{
    for (int row = 0; row < m_shown.size(); ++row) {
        if (m_shown.at(row) == dcp)
            return row;
    }
    return -1;
}

QObject *DcpListModel::get(int row) const
{
    return row >= 0 && row < m_shown.size() ? m_shown.at(row) : nullptr;
}

void DcpListModel::show(const QList<DCP *> &target)
{
    const int countBefore = m_shown.size();
    const QSet<DCP *> wanted(target.begin(), target.end());

    // Removals, from the end, one run of neighbouring rows at a time.
    for (int row = m_shown.size() - 1; row >= 0; --row) {
        if (wanted.contains(m_shown.at(row)))
            continue;
        int first = row;
        while (first > 0 && !wanted.contains(m_shown.at(first - 1)))
            --first;
        beginRemoveRows(QModelIndex(), first, row);
        m_shown.erase(m_shown.begin() + first, m_shown.begin() + row + 1);
        endRemoveRows();
        row = first;
    }

    // Moves: the rows that stay take the order they have in the target.
    const QSet<DCP *> staying(m_shown.begin(), m_shown.end());
    int row = 0;
    for (DCP *dcp : target) {
        if (!staying.contains(dcp))
            continue;
        if (m_shown.at(row) != dcp) {
            const int from = m_shown.indexOf(dcp, row + 1);
            beginMoveRows(QModelIndex(), from, from, QModelIndex(), row);
            m_shown.move(from, row);
            endMoveRows();
        }
        ++row;
    }

    // Insertions at the target's positions.
    for (int at = 0; at < target.size(); ++at) {
        if (at < m_shown.size() && m_shown.at(at) == target.at(at))
            continue;
        beginInsertRows(QModelIndex(), at, at);
        m_shown.insert(at, target.at(at));
        endInsertRows();
    }

    if (m_shown.size() != countBefore)
        emit countChanged();
}
