// SPDX-License-Identifier: MIT
#include "statspanel.h"

#include <QComboBox>
#include <QPainter>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

constexpr int Margin = 6;
constexpr int LabelHeight = 14;

// A plot frame with its title and largest value.
QRectF frame(QPainter& p, const QRect& area, const QString& title, double top, const QString& unit)
{
    p.setPen(QColor(90, 90, 90));
    p.drawText(area.adjusted(2, 0, 0, 0), Qt::AlignLeft | Qt::AlignTop, title);
    p.drawText(area.adjusted(0, 0, -2, 0), Qt::AlignRight | Qt::AlignTop,
               QStringLiteral("%1 %2").arg(top, 0, 'g', 4).arg(unit));
    const QRect plot = area.adjusted(0, LabelHeight, 0, 0);
    p.setPen(QColor(200, 200, 200));
    p.drawRect(plot.adjusted(0, 0, -1, -1));
    return QRectF(plot.adjusted(1, 1, -2, -2));
}

double topOf(const QVector<QPointF>& points)
{
    double top = 0.0;
    for (const QPointF& pt : points)
        top = std::max(top, pt.y());
    return top > 0.0 ? top * 1.1 : 1.0;
}

double topOf(const QVector<double>& values)
{
    const double top = values.isEmpty() ? 0.0 : *std::max_element(values.begin(), values.end());
    return top > 0.0 ? top * 1.1 : 1.0;
}

void series(QPainter& p, const QRect& area, const QString& title, const QString& unit,
            const QVector<QPointF>& points, const QColor& colour, double mean = -1.0)
{
    const double top = topOf(points);
    const QRectF r = frame(p, area, title, top, unit);
    const double span = StatsPanelModel::SeriesSeconds;
    auto map = [&](const QPointF& pt) {
        return QPointF(r.left() + (pt.x() + span) / span * r.width(),
                       r.bottom() - std::min(pt.y(), top) / top * r.height());
    };
    // Points, not a line: "All devices" interleaves several devices.
    p.setPen(QPen(colour, 2));
    QVector<QPointF> mapped;
    mapped.reserve(points.size());
    for (const QPointF& pt : points)
        mapped.append(map(pt));
    p.drawPoints(mapped.constData(), int(mapped.size()));
    if (mean >= 0.0) {
        p.setPen(QPen(QColor(200, 60, 60), 0, Qt::DashLine));
        const double y = map(QPointF(0, mean)).y();
        p.drawLine(QPointF(r.left(), y), QPointF(r.right(), y));
    }
}

template <typename Values>
void bars(QPainter& p, const QRect& area, const QString& title, const QString& unit,
          const Values& values, const QColor& colour)
{
    QVector<double> v;
    for (const auto& x : values)
        v.append(double(x));
    const double top = topOf(v);
    const QRectF r = frame(p, area, title, top, unit);
    if (v.isEmpty())
        return;
    const double w = r.width() / double(v.size());
    for (int i = 0; i < v.size(); ++i) {
        const double h = v[i] / top * r.height();
        p.fillRect(QRectF(r.left() + i * w, r.bottom() - h, std::max(1.0, w - 1.0), h), colour);
    }
}

} // namespace

StatsPlot::StatsPlot(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void StatsPlot::setContent(StatsPanelModel::Content content)
{
    m_content = std::move(content);
    update();
}

void StatsPlot::paintEvent(QPaintEvent* event)
{
    Q_UNUSED(event);
    QPainter p(this);
    p.fillRect(rect(), palette().base());
    const StatsPanelModel::Content& c = m_content;
    const int lineHeight = fontMetrics().height();
    const int summaryHeight = int(c.summary.size()) * lineHeight + Margin;
    const int plots = 7;
    const int plotHeight = std::max(40, (height() - summaryHeight - Margin) / plots - Margin);
    QRect slot(Margin, Margin, width() - 2 * Margin, plotHeight);
    auto next = [&] {
        const QRect r = slot;
        slot.translate(0, plotHeight + Margin);
        return r;
    };
    series(p, next(), QStringLiteral("frame period (mean dashed), 60 s"), QStringLiteral("ms"),
           c.period, QColor(30, 90, 200), c.periodMeanMs);
    series(p, next(), QStringLiteral("delay"), QStringLiteral("ms"), c.delay, QColor(20, 140, 60));
    series(p, next(), QStringLiteral("frame size"), QStringLiteral("bytes"), c.size,
           QColor(120, 70, 160));
    bars(p, next(), QStringLiteral("packets lost per second"), QString(), c.lostPerSecond,
         QColor(200, 60, 60));
    bars(p, next(), QStringLiteral("frames received per second"), QString(), c.framesPerSecond,
         QColor(30, 90, 200));
    bars(p, next(), QStringLiteral("period histogram (status line bins)"), QString(), c.coarse,
         QColor(90, 90, 90));
    bars(p, next(), QStringLiteral("period histogram, %1 ms bins").arg(StatsPanelModel::FineBinMs),
         QString(), c.fine, QColor(90, 90, 90));

    p.setPen(palette().text().color());
    int y = slot.top() + lineHeight;
    for (const auto& [label, value] : c.summary) {
        p.drawText(Margin, y, label);
        p.drawText(QRect(Margin, y - lineHeight + 3, width() - 2 * Margin, lineHeight),
                   Qt::AlignRight, value);
        y += lineHeight;
    }
}

StatsPanel::StatsPanel(QWidget* parent) : QDockWidget(QStringLiteral("Statistics"), parent)
{
    setObjectName(QStringLiteral("statisticsDock"));
    auto* body = new QWidget(this);
    auto* layout = new QVBoxLayout(body);
    layout->setContentsMargins(2, 2, 2, 2);
    m_devices = new QComboBox(body);
    m_devices->setObjectName(QStringLiteral("statisticsDevice"));
    m_devices->addItem(QStringLiteral("All devices"), -1);
    m_plot = new StatsPlot(body);
    layout->addWidget(m_devices);
    layout->addWidget(m_plot, 1);
    setWidget(body);
    connect(m_devices, &QComboBox::currentIndexChanged, this, [this] {
        m_shownRevision = ~std::uint64_t(0);
        refresh();
    });
    connect(&m_timer, &QTimer::timeout, this, &StatsPanel::tick);
    connect(this, &QDockWidget::visibilityChanged, this, [this](bool visible) {
        if (visible) {
            m_timer.start(RefreshMs);
            refresh();
        } else {
            m_timer.stop();
        }
    });
}

void StatsPanel::addDevice(const QString& name, const DeviceStats* stats)
{
    QList<StatsPanelModel::Source> sources = m_model.sources();
    sources.append({name, stats});
    m_model.setSources(sources);
    m_devices->addItem(name, int(sources.size()) - 1);
}

int StatsPanel::device() const
{
    return m_devices->currentData().toInt();
}

void StatsPanel::setDevice(int index)
{
    const int at = m_devices->findData(index);
    m_devices->setCurrentIndex(at >= 0 ? at : 0);
}

void StatsPanel::tick()
{
    // Repainted when a record came, or once a second for the moving time
    // axis of a device that went quiet.
    const std::int64_t now = DeviceStats::monotonicNs();
    if (m_model.revision() != m_shownRevision || now - m_shownAtNs >= 1000000000)
        refresh();
}

void StatsPanel::refresh()
{
    emit aboutToRefresh();
    const std::int64_t now = DeviceStats::monotonicNs();
    m_shownRevision = m_model.revision();
    m_shownAtNs = now;
    m_plot->setContent(m_model.content(device(), now));
    ++m_refreshes;
}
