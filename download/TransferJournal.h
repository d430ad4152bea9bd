#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>

// How far each file written in this run is known to be on the disk itself, kept in a small
// marker file next to the database. A write only hands bytes to the system; after a power
// cut a partial file can be longer than what reached the disk, its tail read as zeros, and
// a transfer resumed after that hole ends in a file that fails verification. So files are
// made durable at regular points and when a transfer stops, each such point is recorded
// here, and a start that finds the marker of a run that did not end cleanly cuts every file
// back to its last durable point before anything resumes.
class TransferJournal
{
public:
    explicit TransferJournal(const QString &markerPath);

    // At start, before any transfer: when the last run left its marker behind and the
    // system has restarted since, cuts each file it lists back to its last durable point.
    // When only the program stopped, the system still holds every byte it was given; those
    // files are made durable as they are. Only a file for which isAssetFile answers true (a
    // file of an asset the catalogue holds) is touched. Returns the number of files cut;
    // cutPaths() names them, so that their assets can be taken back. A marker that is not
    // this user's own, or that others could have written, is ignored.
    int recover(const std::function<bool(const QString &)> &isAssetFile);
    QStringList cutPaths() const { return m_cutPaths; }
    // Whether recover() found the marker of a run that did not end cleanly.
    bool lastRunEndedUncleanly() const { return m_lastRunUnclean; }
    // Starts this run's marker, durable before any transfer begins.
    bool begin();
    // The file is durable up to length; the record is made durable too.
    void recordDurable(const QString &path, quint64 length);
    // The file's transfer stopped and the whole file was made durable: nothing of it needs
    // cutting after a power cut, so its entry goes (the next transfer records it again).
    void forget(const QString &path);
    // A clean end: the marker goes.
    void end();

    QString markerPath() const { return m_markerPath; }

    // Written into the marker; a marker of any other version is not trusted to cut files.
    static constexpr int version = 2;
    // Lengths past this are not exact in the marker's numbers.
    static constexpr double largestLength = 9007199254740992.0; // 2^53

private:
    bool writeMarker();

    QString m_markerPath;
    QString m_bootId;
    QMap<QString, quint64> m_durable;
    QStringList m_cutPaths;
    bool m_running = false;
    bool m_lastRunUnclean = false;
};
