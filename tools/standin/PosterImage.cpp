#include "PosterImage.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>

#include <mutex>

namespace PosterImage {

bool isPosterName(const std::string &fileName)
{
    return fileName == "poster.jpg" || fileName == "poster.png";
}

std::string render(const std::string &titleText, const std::string &fileName, std::string *contentType)
{
    // Font rendering from the server's threads goes one at a time.
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);

    const QString title = QString::fromStdString(titleText);
    const int width = 400;
    const int height = 606; // the card's 200 x 303 cover, twice
    QImage image(width, height, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);

    // A dark gradient whose hue follows the title, so neighbouring covers differ.
    const int hue = int(qHash(title) % 360);
    QLinearGradient background(0, 0, 0, height);
    background.setColorAt(0, QColor::fromHsv(hue, 120, 70));
    background.setColorAt(1, QColor("#0c0c0d"));
    painter.fillRect(image.rect(), background);
    painter.fillRect(QRect(0, height - 90, width, 6), QColor("#d5101d"));

    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        QFont font("DejaVu Sans");
        font.setPixelSize(40);
        font.setWeight(QFont::DemiBold);
        painter.setFont(font);
        painter.setPen(QColor("#f2f2f2"));
        painter.drawText(QRect(30, 120, width - 60, height - 260), Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextWordWrap,
                         title);
        font.setPixelSize(22);
        font.setWeight(QFont::Normal);
        painter.setFont(font);
        painter.setPen(QColor("#cbcbcb"));
        painter.drawText(QRect(0, height - 70, width, 50), Qt::AlignCenter, "DIGITAL CINEMA PACKAGE");
    }
    painter.end();

    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    const bool jpeg = fileName.size() > 4 && fileName.compare(fileName.size() - 4, 4, ".jpg") == 0;
    if (jpeg && image.save(&buffer, "JPG", 90)) {
        *contentType = "image/jpeg";
    } else {
        bytes.clear();
        buffer.seek(0);
        image.save(&buffer, "PNG");
        *contentType = "image/png";
    }
    return bytes.toStdString();
}

}
