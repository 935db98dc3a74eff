// SPDX-License-Identifier: MIT
#include "imagelabel.h"

#include <QAction>
#include <QByteArray>
#include <QContextMenuEvent>
#include <QDebug>
#include <QFileDialog>
#include <QFileInfo>
#include <QImage>
#include <QMenu>
#include <QMessageBox>
#include <QPaintEvent>
#include <QPainter>
#include <QPen>
#include <QRectF>
#include <QRegularExpression>

#include "zoomedpaint.h"

namespace {

constexpr const char* NoImageResource = ":/images/bitmaps/no_image.bmp";

// Decodes data into a pixmap; a null pixmap when data is missing, empty or
// not an image the toolkit can read.
QPixmap decodePixmap(const QByteArray* data)
{
    QPixmap pixmap;
    if (data != nullptr && !data->isEmpty())
        pixmap.loadFromData(*data);
    return pixmap;
}

} // namespace

ImageSaveDialogs ImageSaveDialogs::modal()
{
    ImageSaveDialogs dialogs;
    dialogs.getSaveFileName = [](QWidget* parent, const QString& caption, const QString& dir,
                                 const QString& filter) {
        return QFileDialog::getSaveFileName(parent, caption, dir, filter);
    };
    dialogs.getSaveFileNameAndFilter = [](QWidget* parent, const QString& caption,
                                          const QString& dir, const QString& filter,
                                          QString* selectedFilter) {
        return QFileDialog::getSaveFileName(parent, caption, dir, filter, selectedFilter);
    };
    dialogs.warning = [](QWidget* parent, const QString& title, const QString& text) {
        QMessageBox::warning(parent, title, text, QMessageBox::Ok, QMessageBox::NoButton);
    };
    return dialogs;
}

ImageLabel::ImageLabel(QWidget* parent, bool keepAspect) : QLabel(parent), m_keepAspect(keepAspect)
{
    setScaledContents(true);
    // A resource that cannot be loaded leaves the placeholder null; the label
    // then paints its outline instead.
    const QPixmap placeholder(QString::fromLatin1(NoImageResource));
    m_noImagePixmap = placeholder.copy();
    m_saveAction = new QAction(tr("&Save image"), this);
    connect(m_saveAction, &QAction::triggered, this, &ImageLabel::saveImage);
}

ImageLabel::~ImageLabel() = default;

void ImageLabel::showNoImage()
{
    m_pixmap = m_noImagePixmap.copy();
    m_image = QImage();
    m_imageSize = m_pixmap.size();
    m_markRect = QRect();
    m_markColor = Qt::transparent;
}

void ImageLabel::clearImage()
{
    m_pixmap = QPixmap();
    m_image = QImage();
    m_imageSize = m_pixmap.size();
    m_markRect = QRect();
    m_markColor = Qt::transparent;
}

QSize ImageLabel::setImage(const QPixmap& pixmap)
{
    m_pixmap = pixmap;
    m_image = QImage();
    m_imageSize = m_pixmap.size();
    update();
    return m_imageSize;
}

QSize ImageLabel::setImage(const QImage& image)
{
    m_image = image;
    m_pixmap = QPixmap();
    m_imageSize = m_image.size();
    update();
    return m_imageSize;
}

const QPixmap& ImageLabel::currentPixmap() const
{
    if (m_pixmap.isNull() && !m_image.isNull())
        m_pixmap = QPixmap::fromImage(m_image);
    return m_pixmap;
}

QSize ImageLabel::setImage(QString fileName)
{
    m_showMark = false;
    m_markColor = Qt::transparent;
    QPixmap loaded;
    if (loaded.load(fileName)) {
        m_pixmap = loaded;
        m_image = QImage();
        m_imageSize = m_pixmap.size();
    } else {
        qDebug("Error converting to pixmap");
    }
    update();
    return m_imageSize;
}

QSize ImageLabel::setImage(const QByteArray* data)
{
    m_pixmap = decodePixmap(data);
    m_image = QImage();
    if (!m_pixmap.isNull())
        m_imageSize = m_pixmap.size();
    else if (data != nullptr && !data->isEmpty())
        qDebug("Error converting to pixmap");
    update();
    return m_imageSize;
}

QSize ImageLabel::setImage(const QByteArray* data, int x, int y, int width, int height)
{
    m_markRect = QRect(x - width / 2, y - height / 2, width, height);
    m_showMark = true;
    const QPixmap decoded = decodePixmap(data);
    if (!decoded.isNull()) {
        m_pixmap = decoded;
        m_image = QImage();
        m_imageSize = m_pixmap.size();
    } else {
        showNoImage();
    }
    update();
    return m_imageSize;
}

void ImageLabel::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    if (m_pixmap.isNull() && m_image.isNull()) {
        m_markColor = Qt::transparent;
        painter.drawRect(frameRect().adjusted(0, 0, -1, -1));
        return;
    }
    const QImage image = m_image.isNull() ? m_pixmap.toImage() : m_image;
    if (image.isNull()) {
        qDebug("Image is a null image");
        return;
    }

    QImage scaled;
    if (!m_keepAspect && zoomedpaint::isZoomedIn(image, size())) {
        // Far enlarged: only the exposed part is scaled, with the pixel grid
        // from GridZoom on.
        zoomedpaint::paint(painter, image, size(), event->rect());
    } else if (m_keepAspect) {
        painter.fillRect(0, 0, width(), height(), painter.background());
        scaled = image.scaled(width(), height(), Qt::KeepAspectRatio, Qt::FastTransformation);
    } else {
        scaled = image.scaled(width(), height(), Qt::IgnoreAspectRatio, Qt::FastTransformation);
    }
    if (!scaled.isNull())
        painter.drawImage(0, 0, scaled);

    // The marker is given in image pixels; an image without area gives it no
    // scale, so nothing is drawn.
    if (!m_showMark || m_imageSize.width() <= 0 || m_imageSize.height() <= 0)
        return;
    painter.setPen(QPen(QBrush(m_markColor), 2, Qt::SolidLine));
    painter.setBrush(Qt::NoBrush);
    const QSizeF ref = m_keepAspect ? QSizeF(scaled.size()) : QSizeF(size());
    const double iw = m_imageSize.width();
    const double ih = m_imageSize.height();
    painter.drawRect(
        QRectF(m_markRect.left() / iw * ref.width(), m_markRect.top() / ih * ref.height(),
               m_markRect.width() / iw * ref.width(), m_markRect.height() / ih * ref.height()));
}

void ImageLabel::contextMenuEvent(QContextMenuEvent* event)
{
    if (!m_contextMenuEnabled) {
        event->ignore();
        return;
    }
    QMenu menu;
    menu.addAction(m_saveAction);
    menu.exec(event->globalPos());
}

void ImageLabel::saveImage()
{
    saveFrame([this] { return shownImage(); });
}

void ImageLabel::saveFrame(const std::function<QImage()>& frameAtAnswer)
{
    const QString caption = tr("Save Image");
    const QString filter =
        tr("PNG file (*.png);;JPEG file (*.jpg);;Bitmap file (*.bmp);;TIF file (*.tif)");
    QString selectedFilter;
    QString fileName =
        m_dialogs.getSaveFileNameAndFilter
            ? m_dialogs.getSaveFileNameAndFilter(this, caption, QString(), filter, &selectedFilter)
            : m_dialogs.getSaveFileName(this, caption, QString(), filter);
    if (fileName.isEmpty())
        return;
    // A name typed without a suffix would otherwise fail: the writer is
    // chosen by the suffix, and the dialog does not add the filter's.
    fileName = withFilterSuffix(fileName, selectedFilter);
    // The dialog ran an event loop of its own: the label may hold another
    // frame now than when it opened.
    const QImage frame = frameAtAnswer();
    if (!frame.save(fileName, nullptr, -1))
        m_dialogs.warning(this, tr("Error saving image"),
                          tr("Image %1 could not be saved").arg(fileName));
}

QString ImageLabel::withFilterSuffix(const QString& fileName, const QString& selectedFilter)
{
    if (fileName.isEmpty() || !QFileInfo(fileName).suffix().isEmpty())
        return fileName;
    static const QRegularExpression pattern(QStringLiteral("\\(\\*\\.([A-Za-z0-9]+)\\)"));
    const QRegularExpressionMatch match = pattern.match(selectedFilter);
    if (!match.hasMatch())
        return fileName;
    // "frame." has no suffix either; it gets the letters only.
    const QString dot = fileName.endsWith(QLatin1Char('.')) ? QString() : QStringLiteral(".");
    return fileName + dot + match.captured(1);
}
