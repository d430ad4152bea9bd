#pragma once

#include <QString>

class DownloadManager;

// What the engine is doing, in the status bar's words. The state is the first of these
// that holds: "paused", "retrying" (a transfer stopped before its end and waits for its
// next try), "downloading", "verifying", "confirming" (reel events wait for the portal),
// "set_aside" (DCPs that need the operator) and "ready".
class EngineActivity
{
public:
    // What the state is read from, gathered by the engine at each look.
    struct Facts {
        bool paused = false;
        bool hasCurrentAsset = false;
        QString currentTitle;         // the friendly title of the current asset's DCP
        bool currentHasDcp = false;
        bool transferRunning = false; // a reply is on its way
        int verifying = 0;            // reels waiting for or under verification
        int eventsWaiting = 0;        // reel events the portal has not confirmed
        QString portalError;          // why the portal did not confirm the last one sent
        int setAside = 0;             // DCPs set aside
    };

    // A transfer stopped before its end, for the reason given; the next try is due at
    // retryAtMs (milliseconds since the epoch).
    void setRetry(const QString &reason, qint64 retryAtMs);
    // Data flows again, or the transfer that waited is gone.
    void clearRetry();
    bool waitsToRetry() const { return !m_retryReason.isEmpty(); }

    // Reads the state from the facts; true when the state or its words changed.
    bool update(const Facts &facts);
    QString state() const { return m_state; }
    QString text() const { return m_text; }

    // The facts of the engine as it is now.
    static Facts factsOf(const DownloadManager &engine);
    // The portal's last refusal of a reel event while events wait; empty once it confirms.
    static QString portalError();

    // The state and its words for the facts and a retry reason (empty when none).
    static void describe(const Facts &facts, const QString &retryReason, qint64 retryAtMs, QString *state,
                         QString *text);

private:
    QString m_retryReason;
    qint64 m_retryAt = 0;
    QString m_state = "ready";
    QString m_text = "Ready.";
};
