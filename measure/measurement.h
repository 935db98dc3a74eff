// SPDX-License-Identifier: MIT
#pragma once

#include "expectation.h"
#include "measurereport.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>

class GetStreamImage;
class StatsExport;

// A run without a window: every device of the configuration is received
// and its frames decoded for a number of seconds (or until the event loop
// is told to quit, as SIGINT and SIGTERM do), then the summary of each is
// reported. Needs QCoreApplication only.
class Measurement : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        double seconds = 10.0;
        QString jsonFile;
        QList<Expectation> expectations;
        QString statsFile; // --stats: every record as CSV
    };

    Measurement(const QString& configPath, Options options, QObject* parent = nullptr);
    ~Measurement() override;

    // Starts the devices and the clock; the application's event loop runs
    // the measurement, finish() ends it.
    void start();
    // Stops the devices, lets the frames in conversion finish, and makes
    // the report of what was measured.
    MeasureReport finish();
    // Runs start(), the event loop and finish(), prints the table and the
    // failures, writes the JSON file; the exit code.
    int run();

private:
    QList<GetStreamImage*> m_devices;
    QList<bool> m_connected;
    Options m_options;
    QString m_configPath;
    QElapsedTimer m_clock;
    QTimer m_end;
    std::unique_ptr<StatsExport> m_export;
};
