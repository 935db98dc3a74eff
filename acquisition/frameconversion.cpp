// SPDX-License-Identifier: MIT
#include "frameconversion.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>

double g_frameDelay = 0.0;

const QList<QRgb>& grayColorTable()
{
    static const QList<QRgb> table = [] {
        QList<QRgb> t;
        t.reserve(256);
        for (int i = 0; i < 256; ++i)
            t.append(qRgb(i, i, i));
        return t;
    }();
    return table;
}

QImage wrapGrayFrame(unsigned char* data, qint64 len, int sizeX, int sizeY)
{
    if (data == nullptr || sizeX <= 0 || sizeY <= 0 || len < qint64(sizeX) * qint64(sizeY))
        return QImage();
    // Rows are packed: each holds exactly sizeX bytes. The explicit row length
    // keeps the image from reading rows at a stride padded to 4 bytes, which
    // would shear the picture and read beyond the frame.
    QImage image(data, sizeX, sizeY, qsizetype(sizeX), QImage::Format_Indexed8);
    image.setColorTable(grayColorTable());
    return image;
}

QImage decodeJpegFrame(const unsigned char* data, int len)
{
    if (data == nullptr || len <= 0)
        return QImage();
    QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), len);
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    // Set explicitly: the reader's default differs between Qt versions, and a
    // header may declare any size up to 65535 x 65535.
    reader.setAllocationLimit(JpegAllocationLimitMiB);
    QImage image;
    if (!reader.read(&image))
        return QImage();
    return image;
}
