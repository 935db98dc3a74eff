// SPDX-License-Identifier: MIT
#pragma once

#include "conversionhandoff.h"
#include "deviceevents.h"
#include "devicelog.h"
#include "devicestats.h"
#include "devicestatus.h"
#include "frameconversion.h"
#include "framelimits.h"
#include "imagegetworker.h"
#include "jpegheader.h"
#include "stopwatch.h"

#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QString>
#include <QThread>
#include <QTimer>

#include <memory>
#include <optional>

class FrameHistory;
class H264Decoder;
class FrameRecorder;
class QPainter;
class QSettings;

// The controller of one configured image-streaming device. It lives in the
// GUI thread, owns the device's network worker and the thread the worker runs
// in, keeps the connection alive with a reconnect timer, owns the transfer
// buffer into which the worker copies each delivered frame, converts every
// delivered frame into an image for the window and appends the decoders' log
// text to the device's log file.
//
// One frame request is outstanding at a time. Between a request and its
// delivery only the worker writes the transfer buffer; from the delivery until
// the next request only this object reads it.
//
// Frames the worker delivers are decoded in the viewer's decode pool, several
// at a time and handed back in the order they arrived, each from one of the
// transfer buffers (ConversionHandOff): while some are decoded the worker
// fills another. When decoding falls behind, the oldest delivered frame not
// yet started on is skipped, and counted (figures().skipped and the status
// details); every other delivered frame is converted and handed to the
// window, in the GUI thread, with acquisitionEvent; its log text is written
// after that, as for a frame converted in place. Frames handed to
// convertImage or processImage by a caller other than the worker are
// converted at once in the calling thread. What the device has to tell its
// user goes through DeviceEvents.
class GetStreamImage : public QObject
{
    Q_OBJECT

public:
    static constexpr int ReconnectIntervalMs = 1000;
    // Spare bytes of the transfer buffer beyond one raw frame.
    static constexpr int TransferSpareBytes = DeviceConfig::TransferSpareBytes;
    // Largest accepted sizeX x sizeY. The worker never assembles a frame
    // larger than MaxFrameBytes, so a larger raw frame could never arrive.
    static constexpr qint64 MaxFramePixels = DeviceConfig::MaxFramePixels;
    static_assert(MaxFramePixels == MaxFrameBytes,
                  "the configuration bounds raw frames as the worker does");
    // Largest accepted max_pixels: the largest picture a JPEG file can declare.
    static constexpr qint64 MaxPixelsLimit = DeviceConfig::MaxPixelsLimit;

    // `settings` is positioned in the device's group; it is read during
    // construction only. An RTP device reads `referenceHeaderFile` at every
    // connect for the JPEG header it puts in front of its frames.
    explicit GetStreamImage(
        QSettings* settings, QObject* parent = nullptr,
        const QString& referenceHeaderFile = QString::fromLatin1(DefaultReferenceHeaderFile));
    // The same device from its configuration as read already.
    explicit GetStreamImage(
        const DeviceConfig& config, QObject* parent = nullptr,
        const QString& referenceHeaderFile = QString::fromLatin1(DefaultReferenceHeaderFile));
    // Stops the worker's receive loop, ends its thread and waits for it
    // (about a second at most), then releases the transfer buffer.
    ~GetStreamImage() override;
    // Asks the worker's receive loop to stop and its thread to end, without
    // waiting: an owner of many controllers asks them all first, so that
    // the destructors find their threads ended or ending together.
    void requestStop();

    int sizeX() const { return m_sizeX; }
    int sizeY() const { return m_sizeY; }
    QString host() const { return m_host; }
    int port() const { return m_port; }
    QString logFile() const { return m_logFile; }
    // The size at which the device log is started afresh (log_max_mb).
    qint64 logMaxBytes() const { return m_logMaxBytes; }
    QString contentOverwrite() const { return m_contentOverwrite; }
    // sizeX x sizeY (x 2 for 16-bit gray) + TransferSpareBytes: the
    // transfer buffer's size and the capacity passed with every frame
    // request.
    int transferLength() const;
    const unsigned char* transferBuffer() const { return m_transferBuf; }
    // Whether paintOverlay() draws anything. A controller that overrides it
    // says so with setDrawsOverlay(true); the window then paints each frame
    // through a pixmap and painter, otherwise it shows the image as it is.
    bool drawsOverlay() const { return m_drawsOverlay; }
    void setDrawsOverlay(bool draws) { m_drawsOverlay = draws; }
    // The second transfer buffer, of the same size, filled while the first
    // is being converted.
    const unsigned char* spareTransferBuffer() const { return m_handOff.spareBuffer(); }
    // All transfer buffers: framesInFlightLimit() + 1.
    int transferBufferCount() const { return m_handOff.bufferCount(); }
    const unsigned char* transferBufferAt(int i) const { return m_handOff.buffer(i); }
    // Whether p is one of the transfer buffers, which are refilled
    // once their frame is shown: an image over one must be copied to be
    // kept.
    bool isTransferBuffer(const unsigned char* p) const { return m_handOff.isTransferBuffer(p); }
    // The buffer the worker has been asked to fill, or nullptr while both
    // are taken by conversions.
    const unsigned char* requestedBuffer() const { return m_handOff.requestedBuffer(); }
    // The largest picture, in pixels, an encoded frame may declare (key
    // max_pixels); larger frames are refused before decoding.
    qint64 maxPixels() const { return m_maxPixels; }
    // Whether delivered frames are converted in the decode pool (the
    // default) or at once in the GUI thread. A derived controller that
    // replaces convertImage turns it off, so that its conversion is used.
    void setConvertInThread(bool on) { m_convertInThread = on; }
    bool convertsInThread() const { return m_convertInThread; }
    // Delivered frames not yet handed to the window nor skipped.
    int framesInConversion() const { return m_handOff.inConversion(); }
    // How many may be in the decode pool at once; one more is momentarily
    // in flight before the oldest waiting one is skipped.
    int framesInFlightLimit() const { return m_handOff.maxInFlight(); }
    // The latency probe's stamp of the frame now being handed to the window:
    // the worker's figure for the delivery it came from, which may since
    // have been followed by the next (0 without a probe).
    std::int64_t shownFinishNs() const { return m_shownFinishNs; }
    // The window has repainted the frame handed to it last; the latency
    // probe, when one is installed, takes the time since its last byte.
    void reportFrameShown() const;
    const QImage& image() const { return m_image; }
    // The size the window shows this device's frames at: a JPEG frame shown
    // at half its size or less is decoded scaled down (DCT scaling) to the
    // smallest size that still covers it. Empty (the default): full size.
    void setDisplaySize(const QSize& size) { m_displaySize = size; }
    QSize displaySize() const { return m_displaySize; }
    // The full size of the picture handed to the window last: image()'s
    // size, or larger when it was decoded scaled down.
    QSize shownFullSize() const { return m_shownFullSize; }
    bool shownScaled() const { return m_shown.scaled(); }
    // The encoded bytes of the picture handed to the window last when it
    // was decoded scaled down, else empty; implicitly shared.
    const QByteArray& shownEncoded() const { return m_shown.encoded; }
    // The picture handed to the window last, at full size: image() itself,
    // or its frame decoded again without scaling. For saving, pixel
    // read-out and zooming in.
    QImage fullResolutionImage() const;
    ImageGetWorker* worker() { return &m_worker; }
    const ImageGetWorker* worker() const { return &m_worker; }
    bool isReconnecting() const { return m_reconnectTimer.isActive(); }
    // Hands every delivered frame, before conversion and with the content
    // type as delivered, to `recorder` as device number `device`; nullptr
    // records nothing. The recorder must outlive this controller or be
    // unset first.
    void setRecorder(FrameRecorder* recorder, int device);
    FrameRecorder* recorder() const { return m_recorder; }
    // Keeps a copy of every delivered frame, as delivered, in `history` as
    // device number `device`; nullptr keeps none. The history must outlive
    // this controller or be unset first.
    void setHistory(FrameHistory* history, int device);
    FrameHistory* history() const { return m_history; }
    int historyDevice() const { return m_historyDevice; }
    // Converts a frame kept in the history again, in the calling thread,
    // as this device converts its frames now (contentoverwrite, size, byte
    // order, levels); nothing is shown, counted or reported.
    ConvertedFrame convertStored(const QString& conType, const QByteArray& bytes) const;

    // 16-bit gray: whether the device sends it (its transfer buffer holds
    // two bytes a pixel), its byte order, and the levels its frames are
    // shown with from the next frame on.
    bool isGray16() const { return m_gray16; }
    bool isBigEndian() const { return m_bigEndian; }
    GrayLevels levels() const { return m_levels; }
    void setLevels(const GrayLevels& levels) { m_levels = levels; }
    // The raw values (Format_Grayscale16) of the 16-bit gray frame last
    // handed to the window with acquisitionEvent; a null image when that
    // frame was of another type. Shares its pixels, never a transfer buffer.
    const QImage& rawImage() const { return m_rawImage; }
    // The levels that frame was shown with.
    GrayLevels shownLevels() const { return m_shownLevels; }

    // The device group's name ("dev0"), as the status and messages name it.
    QString name() const { return m_name; }
    // What the device is doing, refreshed a few times a second.
    const DeviceStatus& status() const { return m_status; }
    // Milliseconds on the clock the status is kept with.
    qint64 statusClockMs() const { return m_statusClock.elapsed(); }
    static constexpr int StatusIntervalMs = 250;

    // This device's own frame figures, beside the window's figures of all
    // devices together: frames delivered, a moving average of the period
    // between them and the delay of the last time-stamped frame.
    struct Figures
    {
        qint64 frames = 0;
        double avgPeriodMs = 0.0;
        double delaySeconds = 0.0;
        bool hasDelay = false;
        // The latest frame was of a kind that carries no time stamp (H.264).
        bool noTimeStamp = false;
        qint64 lastFrameMs = -1;
        // Delivered frames skipped before decoding because decoding fell
        // behind.
        qint64 skipped = 0;
    };
    const Figures& figures() const { return m_figures; }
    // This device's per-frame records (frames delivered, what became of
    // them, connection events), for the statistics panel, the export and
    // the measurement.
    DeviceStats& stats() { return m_stats; }
    const DeviceStats& stats() const { return m_stats; }
    // Corrupt JPEG frames are summed up per device at most this often.
    static constexpr int CorruptSummaryIntervalMs = DeviceEvents::CorruptSummaryIntervalMs;

signals:
    void startImageGet();
    // The status text or its details changed; at most every StatusIntervalMs.
    void statusChanged();
    void acquisitionEvent(QImage& image, GetStreamImage* ovlImage);
    // Declared for derived controllers; frames are requested by calling the
    // worker directly, since queued calls wait behind its receive loop.
    void imageRequest(unsigned char* m_transferBuf, int transferLength);
    void initConnect(QString Ip, int Port);

public slots:
    // Converts the frame, emits acquisitionEvent, requests the next frame.
    virtual void convertImage(QString conType, unsigned char* pBuf, int len);
    // Overlay hook called by the window with a painter on the frame's pixmap.
    virtual void paintOverlay(QPainter& painter);
    virtual void processImage(QString conType, unsigned char* pBuf, int len);

    void newImageReceived(QString conType, unsigned char* pBuf, int len, QString logMsg);
    void connected();
    void disconnected();
    void reconnect();
    void linkStateChanged(ImageGetWorker::LinkState state, QString detail);
    void workerNotice(QString text);
    void updateStatus();

protected:
    void requestNextFrame();
    // Converts `job` in the calling thread and hands the image to the
    // window: the common end of convertImage and of the converter thread.
    void finishConversion(const FrameJob& job, ConvertedFrame frame);
    void writeLog(const QString& logMsg);

    // The first of the two transfer buffers, which m_handOff owns.
    unsigned char* m_transferBuf = nullptr;
    int m_sizeX = 0;
    int m_sizeY = 0;
    QImage m_image;
    ImageGetWorker m_worker;
    QThread m_thread;
    QString m_host;
    int m_port = 0;
    Stopwatch m_stopwatch;
    QTimer m_reconnectTimer;
    QString m_logFile;
    qint64 m_logMaxBytes = DefaultLogMaxBytes;
    QString m_contentOverwrite;

private slots:
    // The decode pool has the next result: hand it to the window.
    void conversionFinished();

private:
    using Delivery = ConversionHandOff::Delivery;
    // Reports a change in the worker's count of frames too large for the
    // transfer buffer.
    void reportOversizeFrames();
    // The job for a delivered frame: contentoverwrite applied, the length
    // bounded by the transfer buffer.
    FrameJob makeJob(QString conType, const unsigned char* pBuf, int len) const;
    // An H.264 job gets the device's decoder (made with the first such
    // frame); `workerCount` is the worker's number of the delivered frame,
    // 0 for a frame handed in by anyone else.
    void attachDecoder(FrameJob& job, std::int64_t workerCount);
    // The frame delay of a time-stamped JPEG frame, measured now.
    std::optional<double> measureDelay(const FrameJob& job);
    // Hands a delivered frame converted into `frame` to the window, then
    // writes the log text that came with it.
    void showDelivery(const Delivery& delivery, ConvertedFrame frame);
    // Adds a delivered frame to this device's own figures.
    void countFrame(qint64 nowMs);
    // What the history keeps of a delivered frame besides its bytes.
    struct HistoryEntry
    {
        qint64 number = 0;
        qint64 arrivalUs = 0;
        double periodMs = -1.0;
    };
    void keepInHistory(const QString& conType, const unsigned char* pBuf, int len,
                       const HistoryEntry& entry);
    // The delay of the frame about to be shown, for the status line and
    // this device's figures.
    void setFrameDelay(double seconds);

    FrameRecorder* m_recorder = nullptr;
    int m_recordDevice = 0;
    FrameHistory* m_history = nullptr;
    int m_historyDevice = 0;
    // The delay measured for the frame being delivered, for the history.
    std::optional<double> m_measuredDelay;
    bool m_gray16 = false;
    bool m_bigEndian = false;
    GrayLevels m_levels;
    GrayLevels m_shownLevels;
    QImage m_rawImage;
    QString m_name;
    DeviceStatus m_status;
    QElapsedTimer m_statusClock;
    QTimer m_statusTimer;
    QString m_shownStatus;
    Figures m_figures;
    bool m_drawsOverlay = false;
    qint64 m_maxPixels = DefaultMaxPixels;
    bool m_convertInThread = true;
    std::int64_t m_shownFinishNs = 0;
    QSize m_displaySize;
    QSize m_shownFullSize;
    // The last shown frame's bytes when it was decoded scaled down.
    ConvertedFrame m_shown;
    DeviceEvents m_events;
    DeviceStats m_stats;
    bool m_hasConnected = false;
    std::shared_ptr<H264Decoder> m_h264;
    std::int64_t m_lastWorkerCount = 0;
    bool m_h264Gap = false;
    ConversionHandOff m_handOff;
};
