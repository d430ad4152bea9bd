#include "CurlReadPathPrototype.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

namespace {
const int tickMs = 20;
const qint64 maxBudgetTicks = 5;
}

CurlReadPathPrototype::CurlReadPathPrototype(const QString &url, const QString &path, qint64 bytesPerSecond)
    : m_url(url.toUtf8())
    , m_path(path)
    , m_bytesPerSecond(bytesPerSecond)
{
}

CurlReadPathPrototype::~CurlReadPathPrototype()
{
    if (m_easy) {
        curl_multi_remove_handle(m_multi, m_easy);
        curl_easy_cleanup(m_easy);
    }
    if (m_multi)
        curl_multi_cleanup(m_multi);
    curl_slist_free_all(m_headers);
    if (m_fd >= 0)
        ::close(m_fd);
}

bool CurlReadPathPrototype::start()
{
    m_fd = ::open(QFile::encodeName(m_path).constData(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (m_fd < 0)
        return false;
    const off_t offset = ::lseek(m_fd, 0, SEEK_END);
    m_multi = curl_multi_init();
    m_easy = curl_easy_init();
    if (!m_multi || !m_easy)
        return false;
    m_headers = curl_slist_append(m_headers, QByteArray("Range: bytes=" + QByteArray::number(qint64(offset)) + "-").constData());
    curl_easy_setopt(m_easy, CURLOPT_URL, m_url.constData());
    curl_easy_setopt(m_easy, CURLOPT_HTTPHEADER, m_headers);
    curl_easy_setopt(m_easy, CURLOPT_WRITEFUNCTION, &CurlReadPathPrototype::receive);
    curl_easy_setopt(m_easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(m_easy, CURLOPT_BUFFERSIZE, 512L * 1024);
    curl_multi_add_handle(m_multi, m_easy);
    m_clock.start();
    m_lastTickNs = m_clock.nsecsElapsed() - qint64(tickMs) * 1000000;
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, this, [this] { tick(); });
    m_timer.start(tickMs);
    return true;
}

// libcurl hands over what it read from the socket; it goes straight into the file. Past
// the tick's budget the transfer pauses, and libcurl keeps the bytes for the next tick.
size_t CurlReadPathPrototype::receive(char *data, size_t size, size_t count, void *self)
{
    auto *prototype = static_cast<CurlReadPathPrototype *>(self);
    const qint64 length = qint64(size * count);
    if (prototype->m_bytesPerSecond > 0 && prototype->m_budget <= 0)
        return CURL_WRITEFUNC_PAUSE;
    qint64 done = 0;
    while (done < length) {
        const ssize_t written = ::write(prototype->m_fd, data + done, size_t(length - done));
        if (written <= 0)
            return 0;
        done += written;
    }
    prototype->m_budget -= length;
    return size_t(length);
}

void CurlReadPathPrototype::tick()
{
    const qint64 now = m_clock.nsecsElapsed();
    if (m_bytesPerSecond > 0) {
        const qint64 perTick = m_bytesPerSecond * tickMs / 1000;
        m_budget = std::min(perTick * maxBudgetTicks, m_budget + perTick * (now - m_lastTickNs) / (qint64(tickMs) * 1000000));
    }
    m_lastTickNs = now;
    curl_easy_pause(m_easy, CURLPAUSE_CONT);
    int running = 0;
    curl_multi_perform(m_multi, &running);
    if (!running) {
        m_timer.stop();
        QCoreApplication::exit(0);
    }
}
