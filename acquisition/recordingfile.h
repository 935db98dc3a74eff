// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArrayView>
#include <QString>

#include <initializer_list>

// One device's file of a recording, written a whole part at a time. A part
// that cannot be written whole (a full disk, the process's file size limit)
// is cut off again, so that the file always ends with the last whole part,
// and the failure is told with the system's own reason.
class RecordingFile
{
public:
    RecordingFile() = default;
    ~RecordingFile();
    RecordingFile(const RecordingFile&) = delete;
    RecordingFile& operator=(const RecordingFile&) = delete;

    // Creates or empties the file at `path`; false with the reason in
    // `error` when that fails.
    bool open(const QString& path, QString* error);
    // Appends one part made of `pieces`; on failure the file is cut back
    // to where the part began and `error` receives the system's reason.
    bool append(std::initializer_list<QByteArrayView> pieces, QString* error);
    void close();
    // The bytes of the whole parts written.
    qint64 size() const { return m_size; }
    QString fileName() const { return m_path; }

private:
    QString m_path;
    qint64 m_size = 0;
    int m_fd = -1;
};
