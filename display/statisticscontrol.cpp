// SPDX-License-Identifier: MIT
#include "statisticscontrol.h"

#include "framestatistics.h"
#include "getstreamimage.h"
#include "rtpcounters.h"
#include "statsexport.h"
#include "statspanel.h"
#include "tileview.h"

#include <QAction>
#include <QFileDialog>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QStatusBar>

StatisticsControl::StatisticsControl(QMainWindow* window, const FrameStatistics* statistics,
                                     int statsSeconds, TileView* tiles)
    : QObject(window), m_window(window), m_statsSeconds(statsSeconds)
{
    m_panel = new StatsPanel(window);
    window->addDockWidget(Qt::RightDockWidgetArea, m_panel);
    m_panel->hide();
    connect(m_panel, &StatsPanel::aboutToRefresh, this, [this, statistics] {
        StatsPanelModel::Window w;
        w.statistics = statistics;
        w.packetsLost = g_packetsLost.load();
        w.packetsOutOfOrder = g_packetsOutOfOrder.load();
        w.packetsExpected = g_packetsExpected.load();
        w.frameDelaySeconds = g_frameDelay;
        m_panel->model().setWindow(w);
    });
    if (tiles != nullptr)
        connect(tiles, &TileView::selectionChanged, m_panel, [this](int index) {
            if (index >= 0)
                m_panel->setDevice(index);
        });

    QAction* show = m_panel->toggleViewAction();
    show->setText(QStringLiteral("Statistics"));
    show->setObjectName(QStringLiteral("actionStatistics"));
    if (auto* view = window->menuBar()->findChild<QMenu*>(QStringLiteral("menuView"))) {
        view->addSeparator();
        view->addAction(show);
    }
    if (auto* file = window->menuBar()->findChild<QMenu*>(QStringLiteral("menuFile"))) {
        auto* exportAction = new QAction(QStringLiteral("Export Statistics…"), window);
        exportAction->setObjectName(QStringLiteral("actionExportStatistics"));
        connect(exportAction, &QAction::triggered, this, &StatisticsControl::exportRequested);
        // Before Quit, beside Save Image and Record.
        const QList<QAction*> actions = file->actions();
        file->insertAction(actions.size() >= 2 ? actions[actions.size() - 2] : nullptr,
                           exportAction);
    }
    m_dialog = [](QWidget* parent) {
        return QFileDialog::getSaveFileName(parent, QStringLiteral("Export Statistics"),
                                            QStringLiteral("framescope-stats.csv"),
                                            QStringLiteral("CSV files (*.csv)"));
    };
}

StatisticsControl::~StatisticsControl()
{
    endExport();
}

void StatisticsControl::addDevice(GetStreamImage* device)
{
    device->stats().setSeconds(m_statsSeconds);
    m_devices.append(device);
    m_panel->addDevice(device->name(), &device->stats());
    if (m_export)
        m_export->attach(device);
}

bool StatisticsControl::startExport(const QString& path)
{
    m_export = std::make_unique<StatsExport>(path);
    if (!m_export->writer().isWriting()) {
        m_export.reset();
        return false;
    }
    for (GetStreamImage* device : std::as_const(m_devices))
        m_export->attach(device);
    return true;
}

void StatisticsControl::endExport()
{
    if (m_export)
        m_export->finish();
    m_export.reset();
}

bool StatisticsControl::exportAll(const QString& path, QString* error) const
{
    QList<const GetStreamImage*> devices;
    for (const GetStreamImage* d : m_devices)
        devices.append(d);
    return StatsExport::writeAll(path, devices, error);
}

void StatisticsControl::exportRequested()
{
    const QString path = m_dialog ? m_dialog(m_window) : QString();
    if (path.isEmpty())
        return;
    QString error;
    if (exportAll(path, &error))
        m_window->statusBar()->showMessage(QStringLiteral("Statistics exported to %1").arg(path),
                                           5000);
    else
        QMessageBox::warning(
            m_window, QStringLiteral("Export Statistics"),
            QStringLiteral("The statistics could not be written to %1: %2").arg(path, error));
}
