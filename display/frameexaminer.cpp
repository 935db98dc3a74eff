// SPDX-License-Identifier: MIT
#include "frameexaminer.h"

#include "getstreamimage.h"
#include "pixelvalue.h"

#include <QAction>
#include <QDateTime>
#include <QInputDialog>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QStatusBar>
#include <QStringList>

#include <utility>

QImage inspectionImage(const ShownFrame& frame)
{
    if (!frame.raw.isNull())
        return frame.raw;
    if (!frame.scaledFrom.scaled())
        return frame.shown;
    if (frame.fullSize.isNull())
        frame.fullSize = fullResolutionImage(frame.scaledFrom, frame.maxPixels);
    return frame.fullSize;
}

FrameExaminer::FrameExaminer(QMainWindow* window, QStatusBar* statusBar, qint64 historyBytes,
                             Presenter presenter)
    : QObject(window), m_window(window), m_presenter(std::move(presenter)), m_history(historyBytes),
      m_levelsDialog([](QWidget* parent, const QString& now) -> std::optional<QString> {
          bool ok = false;
          const QString text = QInputDialog::getText(
              parent, QStringLiteral("Levels"),
              QStringLiteral("Raw values shown from black to white, LOW,HIGH (0 to 65535), or "
                             "auto:"),
              QLineEdit::Normal, now, &ok);
          return ok ? std::optional<QString>(text) : std::nullopt;
      })
{
    m_readoutLabel = new QLabel(statusBar);
    m_readoutLabel->setObjectName(QStringLiteral("pixelReadout"));
    m_readoutLabel->hide();
    statusBar->addPermanentWidget(m_readoutLabel);
    m_pauseLabel = new QLabel(QStringLiteral("paused"), statusBar);
    m_pauseLabel->setObjectName(QStringLiteral("pauseIndicator"));
    m_pauseLabel->hide();
    statusBar->addPermanentWidget(m_pauseLabel);

    QMenu* menu = window->findChild<QMenu*>(QStringLiteral("menuView"));
    const auto add = [&](const char* name, const QString& text, const QKeySequence& key) {
        auto* action = new QAction(text, window);
        action->setObjectName(QLatin1String(name));
        action->setShortcut(key);
        if (menu != nullptr)
            menu->addAction(action);
        else
            window->addAction(action);
        return action;
    };
    if (menu != nullptr)
        menu->addSeparator();
    m_pause = add("actionPause", QStringLiteral("Pause"), QKeySequence(Qt::Key_Space));
    m_pause->setCheckable(true);
    connect(m_pause, &QAction::toggled, this, &FrameExaminer::setPaused);
    const std::pair<const char*, std::pair<const char*, Step>> steps[] = {
        {"actionStepBack", {"Previous frame", Step::Back}},
        {"actionStepForward", {"Next frame", Step::Forward}},
        {"actionOldest", {"Oldest kept frame", Step::Oldest}},
        {"actionNewestKept", {"Newest kept frame", Step::Newest}},
    };
    const QKeySequence keys[] = {QKeySequence(Qt::Key_Left), QKeySequence(Qt::Key_Right),
                                 QKeySequence(Qt::Key_Home), QKeySequence(Qt::Key_End)};
    for (int i = 0; i < 4; ++i) {
        QAction* action = add(steps[i].first, QLatin1String(steps[i].second.first), keys[i]);
        // Off while the pictures move, so that the keys scroll as before.
        action->setEnabled(false);
        const Step step = steps[i].second.second;
        connect(action, &QAction::triggered, this, [this, step] { this->step(step); });
        m_stepActions.append(action);
    }
    QAction* levels = add("actionLevels", QStringLiteral("Levels…"), QKeySequence());
    connect(levels, &QAction::triggered, this, &FrameExaminer::askLevels);
}

void FrameExaminer::setDevices(const QVector<GetStreamImage*>& devices)
{
    m_history.setDeviceCount(int(devices.size()));
    for (int i = 0; i < devices.size(); ++i) {
        if (devices[i]->history() != &m_history)
            devices[i]->setHistory(&m_history, i);
    }
    m_devices = devices;
    m_tiles.resize(devices.size());
}

void FrameExaminer::setTilesShown(bool tiles)
{
    m_tilesShown = tiles;
    m_pointerTile.reset();
    refreshTexts();
}

void FrameExaminer::setPaused(bool paused)
{
    if (paused == m_paused)
        return;
    m_paused = paused;
    if (m_pause->isChecked() != paused)
        m_pause->setChecked(paused);
    for (QAction* action : std::as_const(m_stepActions))
        action->setEnabled(paused);
    if (!paused) {
        // The newest frames replace the ones stepped to as they arrive.
        m_newest.stored.reset();
        for (ShownFrame& f : m_tiles)
            f.stored.reset();
    }
    m_pauseLabel->setVisible(paused);
    refreshTexts();
}

ShownFrame& FrameExaminer::slot(int tile)
{
    return tile >= 0 && tile < m_tiles.size() ? m_tiles[tile] : m_newest;
}

const ShownFrame* FrameExaminer::shownFrame(int tile) const
{
    const ShownFrame& f = tile >= 0 && tile < m_tiles.size() ? m_tiles[tile] : m_newest;
    return f.device != nullptr ? &f : nullptr;
}

void FrameExaminer::frameShown(int tile, GetStreamImage* device, const QImage& image)
{
    ShownFrame& f = slot(tile);
    f.device = device;
    f.shown = image;
    f.raw = device != nullptr ? device->rawImage() : QImage();
    f.scaledFrom.encoded = device != nullptr ? device->shownEncoded() : QByteArray();
    f.maxPixels = device != nullptr ? device->maxPixels() : 0;
    f.fullSize = QImage();
    // The frames delivered behind this one and still converting are
    // counted already.
    f.number = device != nullptr ? device->figures().frames - device->framesInConversion() : 0;
    f.stored.reset();
    if (m_pointerTile && *m_pointerTile == tile)
        refreshTexts();
}

int FrameExaminer::stepTile() const
{
    if (!m_tilesShown)
        return -1;
    if (m_selectedTile >= 0 && m_selectedTile < m_tiles.size())
        return m_selectedTile;
    return m_tiles.isEmpty() ? -1 : 0;
}

bool FrameExaminer::step(Step step)
{
    if (!m_paused)
        return false;
    const int tile = stepTile();
    const ShownFrame& f = slot(tile);
    const int device = f.device != nullptr ? f.device->historyDevice() : -1;
    if (device < 0 || f.device->history() != &m_history)
        return false;
    const qint64 at = f.stored ? f.stored->number : f.number;
    std::optional<qint64> target;
    switch (step) {
    case Step::Back:
        target = m_history.before(device, at);
        break;
    case Step::Forward:
        target = m_history.after(device, at);
        break;
    case Step::Oldest:
        target = m_history.oldest(device);
        break;
    case Step::Newest:
        target = m_history.newest(device);
        break;
    }
    return target && showStored(tile, *target);
}

bool FrameExaminer::showStored(int tile, qint64 number)
{
    ShownFrame& f = slot(tile);
    const HistoryFrame* stored = m_history.find(f.device->historyDevice(), number);
    if (stored == nullptr)
        return false;
    ConvertedFrame frame = f.device->convertStored(stored->conType, stored->bytes);
    f.shown = frame.image;
    f.raw = frame.raw;
    // Decoded again at full size.
    f.scaledFrom = ConvertedFrame();
    f.fullSize = QImage();
    f.number = number;
    f.stored = *stored;
    m_presenter(tile, f.device, f.shown);
    refreshTexts();
    return true;
}

void FrameExaminer::pointerAt(int tile, std::optional<QPoint> pixel)
{
    if (pixel) {
        m_pointerTile = tile;
        m_pointerPixel = *pixel;
    } else {
        m_pointerTile.reset();
    }
    refreshTexts();
}

QString FrameExaminer::readoutText() const
{
    if (!m_pointerTile)
        return QString();
    const ShownFrame* f = shownFrame(*m_pointerTile);
    return f != nullptr ? pixelReadoutText(inspectionImage(*f), m_pointerPixel) : QString();
}

QString FrameExaminer::frameText(const HistoryFrame& frame)
{
    QString text = QStringLiteral("frame %1  %2")
                       .arg(frame.number)
                       .arg(QDateTime::fromMSecsSinceEpoch(frame.arrivalUs / 1000)
                                .toString(QStringLiteral("hh:mm:ss.zzz")));
    if (frame.periodMs >= 0)
        text += QStringLiteral("  period %1 ms").arg(frame.periodMs, 0, 'f', 1);
    if (frame.delaySeconds)
        text += QStringLiteral("  delay %1 ms").arg(*frame.delaySeconds * 1000, 0, 'f', 1);
    return text;
}

QString FrameExaminer::captionText(int tile) const
{
    QStringList lines;
    if (m_paused) {
        const ShownFrame* f = shownFrame(tile);
        lines.append(f != nullptr && f->stored ? QStringLiteral("paused  ") + frameText(*f->stored)
                                               : QStringLiteral("paused"));
    }
    if (m_tilesShown && m_pointerTile && *m_pointerTile == tile) {
        const QString readout = readoutText();
        if (!readout.isEmpty())
            lines.append(readout);
    }
    return lines.join(QStringLiteral("  "));
}

void FrameExaminer::refreshTexts()
{
    // The image area's read-out and stepped frame go to the status bar, a
    // tile's to its caption.
    const QString readout = m_tilesShown ? QString() : readoutText();
    m_readoutLabel->setText(readout);
    m_readoutLabel->setVisible(!readout.isEmpty());
    QString pause = QStringLiteral("paused");
    if (!m_tilesShown && m_newest.stored)
        pause += QStringLiteral("  %1 %2").arg(m_newest.device != nullptr ? m_newest.device->name()
                                                                          : QString(),
                                               frameText(*m_newest.stored));
    m_pauseLabel->setText(pause);
    emit textChanged();
}

bool FrameExaminer::setLevels(const QString& text)
{
    const ShownFrame& f = slot(stepTile());
    if (f.device == nullptr || !f.device->isGray16())
        return false;
    const std::optional<GrayLevels> levels = parseGrayLevels(text);
    if (!levels)
        return false;
    f.device->setLevels(*levels);
    // A paused picture is shown again with the new levels.
    if (m_paused && f.stored)
        showStored(stepTile(), f.stored->number);
    return true;
}

void FrameExaminer::askLevels()
{
    const ShownFrame& f = slot(stepTile());
    if (f.device == nullptr || !f.device->isGray16())
        return;
    const GrayLevels now = f.device->levels();
    const QString current =
        now.automatic ? QStringLiteral("auto") : QStringLiteral("%1,%2").arg(now.low).arg(now.high);
    if (const std::optional<QString> text = m_levelsDialog(m_window, current))
        setLevels(*text);
}
