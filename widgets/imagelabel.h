// SPDX-License-Identifier: MIT
#pragma once

#include <QColor>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QRect>
#include <QSize>
#include <QString>

#include <functional>

class QAction;
class QByteArray;
class QContextMenuEvent;
class QPaintEvent;

// The two modal calls of saveImage(). The defaults open the toolkit's save
// dialog and warning box; tests replace them to drive saving without a
// nested event loop.
struct ImageSaveDialogs
{
    std::function<QString(QWidget* parent, const QString& caption, const QString& dir,
                          const QString& filter)>
        getSaveFileName;
    // The same dialog, also reporting the filter chosen in it. Used instead
    // of getSaveFileName when set (modal() sets it).
    std::function<QString(QWidget* parent, const QString& caption, const QString& dir,
                          const QString& filter, QString* selectedFilter)>
        getSaveFileNameAndFilter;
    std::function<void(QWidget* parent, const QString& title, const QString& text)> warning;

    static ImageSaveDialogs modal();
};

// Shows the current frame scaled to the widget, with an optional marker
// rectangle given in image coordinates, and saves the shown image on request.
// The label paints everything itself; QLabel supplies only widget behaviour.
class ImageLabel : public QLabel
{
    Q_OBJECT

public:
    // Usable as a promoted widget in a form: keepAspect defaults to stretching.
    explicit ImageLabel(QWidget* parent = nullptr, bool keepAspect = false);
    ~ImageLabel() override;

    void showNoImage();
    void clearImage();
    QSize setImage(const QPixmap& pixmap);
    // Shows `image` as it is: painted straight from the image, without a
    // pixmap made of it (one is made only when asked for).
    QSize setImage(const QImage& image);
    QSize setImage(QString fileName);
    QSize setImage(const QByteArray* data);
    // Shows the image in data with a marker of width x height centred on
    // (x, y) in image pixels; falls back to the placeholder when data does
    // not decode.
    QSize setImage(const QByteArray* data, int x, int y, int width, int height);

    void setKeepAspect(bool keepAspect) { m_keepAspect = keepAspect; }
    void setContextMenuEnabled(bool enabled) { m_contextMenuEnabled = enabled; }

    void setSaveDialogs(const ImageSaveDialogs& dialogs) { m_dialogs = dialogs; }

    const QPixmap& currentPixmap() const;
    // The size of the picture shown; empty without one.
    QSize shownSize() const { return m_image.isNull() ? m_pixmap.size() : m_image.size(); }
    QSize imageSize() const { return m_imageSize; }
    QRect markRect() const { return m_markRect; }
    bool markShown() const { return m_showMark; }
    QColor markColor() const { return m_markColor; }
    QAction* saveAction() const { return m_saveAction; }

    // Asks for a file name as saveImage() does and saves the picture that
    // `frameAtAnswer` gives when the dialog returns, instead of the label's
    // own. Frames keep arriving while the dialog is open, so the picture is
    // taken only then.
    void saveFrame(const std::function<QImage()>& frameAtAnswer);
    // The picture shown, whether the label holds it as an image or as a
    // pixmap; null without one.
    QImage shownImage() const { return m_image.isNull() ? m_pixmap.toImage() : m_image; }
    // `fileName` with the suffix of `selectedFilter` ("PNG file (*.png)")
    // appended when the name has none; otherwise unchanged.
    static QString withFilterSuffix(const QString& fileName, const QString& selectedFilter);

public slots:
    // Saves the picture the label holds when the dialog returns.
    void saveImage();

protected:
    void paintEvent(QPaintEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    // Either the pixmap or the image holds the picture; a pixmap of the
    // image is made on demand.
    mutable QPixmap m_pixmap;
    QImage m_image;
    QPixmap m_noImagePixmap;
    QSize m_imageSize{640, 480};
    QRect m_markRect{0, 0, 0, 0};
    bool m_showMark = false;
    QColor m_markColor{0, 0, 0, 255};
    bool m_keepAspect;
    bool m_contextMenuEnabled = false;
    QAction* m_saveAction = nullptr;
    ImageSaveDialogs m_dialogs = ImageSaveDialogs::modal();
};
