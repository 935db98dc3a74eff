// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class FrameStatistics;
class GetStreamImage;
class QMainWindow;
class StatsExport;
class StatsPanel;
class TileView;

// The window's statistics: the panel (View > Statistics, a dock beside the
// image, following the selected tile), File > Export Statistics… (every
// record the devices keep, as CSV) and the continuous export of --stats.
class StatisticsControl : public QObject
{
    Q_OBJECT

public:
    // The save dialog of Export Statistics; returns the chosen path or an
    // empty one. Tests replace it.
    using ExportDialog = std::function<QString(QWidget* parent)>;

    StatisticsControl(QMainWindow* window, const FrameStatistics* statistics, int statsSeconds,
                      TileView* tiles);
    ~StatisticsControl() override;

    // A device of the window: its records reach the panel and the exports.
    void addDevice(GetStreamImage* device);
    // --stats FILE.csv: every record from now on; false when the file
    // cannot be made (said on the console).
    bool startExport(const QString& path);
    // Writes the records of every device to `path`; false with the reason.
    bool exportAll(const QString& path, QString* error) const;
    // Ends the continuous export; before the devices are deleted.
    void endExport();
    void setExportDialog(ExportDialog dialog) { m_dialog = std::move(dialog); }

    StatsPanel* panel() const { return m_panel; }

private:
    void exportRequested();

    QMainWindow* m_window;
    StatsPanel* m_panel = nullptr;
    int m_statsSeconds;
    QList<GetStreamImage*> m_devices;
    std::unique_ptr<StatsExport> m_export;
    ExportDialog m_dialog;
};
