// SPDX-License-Identifier: MIT
#pragma once

#include "statspanelmodel.h"

#include <QDockWidget>
#include <QTimer>
#include <QWidget>

class QComboBox;

// Paints a StatsPanelModel::Content: the time series of the last minute,
// the two period histograms and the summary.
class StatsPlot : public QWidget
{
    Q_OBJECT

public:
    explicit StatsPlot(QWidget* parent = nullptr);
    void setContent(StatsPanelModel::Content content);
    const StatsPanelModel::Content& content() const { return m_content; }
    QSize sizeHint() const override { return {360, 640}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    StatsPanelModel::Content m_content;
};

// View > Statistics: a dock beside the image with one device's figures
// (the selected tile's, or the one chosen in its list) or those of all
// devices together. It reads the devices' records on a timer, at most
// RefreshMs apart and only while shown, never on the frame path.
class StatsPanel : public QDockWidget
{
    Q_OBJECT

public:
    static constexpr int RefreshMs = 100;

    explicit StatsPanel(QWidget* parent = nullptr);

    StatsPanelModel& model() { return m_model; }
    // A device was added to the model's sources.
    void addDevice(const QString& name, const DeviceStats* stats);
    // Index into the sources, -1 for all devices.
    int device() const;
    void setDevice(int index);
    // Reads the records now (the timer does it while shown).
    void refresh();
    const StatsPlot* plot() const { return m_plot; }
    int refreshes() const { return m_refreshes; }

signals:
    // Asked for the window-wide figures just before each refresh.
    void aboutToRefresh();

private:
    void tick();

    StatsPanelModel m_model;
    QComboBox* m_devices = nullptr;
    StatsPlot* m_plot = nullptr;
    QTimer m_timer;
    std::uint64_t m_shownRevision = ~std::uint64_t(0);
    std::int64_t m_shownAtNs = 0;
    int m_refreshes = 0;
};
