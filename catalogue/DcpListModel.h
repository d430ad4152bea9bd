#pragma once

#include <QAbstractListModel>
#include <QList>

class DCP;

// The DCPs the window shows, in the order it shows them. Changes arrive as row insertions,
// removals and moves, so that a view keeps the delegates of the DCPs that stay.
class DcpListModel : public QAbstractListModel
{
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)
public:
    enum Roles { DcpRole = Qt::UserRole + 1 };

    explicit DcpListModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    int count() const { return m_shown.size(); }
    QList<DCP *> shown() const { return m_shown; }
    // The row of a DCP, or -1 when it is not shown.
    Q_INVOKABLE int indexOf(QObject *dcp) const;
    Q_INVOKABLE QObject *get(int row) const;

    // Brings the rows to this list: the DCPs that left are removed, those that stay are
    // moved into place, the new ones are inserted.
    void show(const QList<DCP *> &target);

signals:
    void countChanged();

private:
    QList<DCP *> m_shown;
};
