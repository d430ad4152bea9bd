#pragma once

#include <QtGlobal>

class Asset;

// How far the running transfer has come, told to the window and the portal: reel event 1
// for every read that stored bytes; at most every 200 ms a speed sample (one sample clock
// for every transfer of the process), each reel's progress and, from 25, 50 and 75 percent,
// reel events 3, 4 and 5.
class TransferProgress
{
public:
    // A read tick begins.
    void tickStarts();
    // The tick stored bytes of the asset: the events and, when a sample is due, the reels'
    // progress; true with *speed (bytes per second) when a sample was taken.
    bool stored(Asset *asset, quint64 bytes, double *speed);
    // A transfer ended: what it stored since the last sample is not carried to the next.
    void reset() { m_bytesSinceSample = 0; }

    // The reel event a progress sample raises: 3, 4 or 5 from 25, 50 and 75 percent; 0 below.
    static int progressEvent(quint64 downloaded, quint64 total);

private:
    quint64 m_bytesSinceSample = 0;
    qint64 m_tickStart = 0;
    qint64 m_elapsed = 0;
};
