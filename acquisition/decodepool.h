// SPDX-License-Identifier: MIT
#pragma once

#include "frameconversion.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class DecodeClient;

// One set of decoding threads for every device. Each device submits its
// frames through a DecodeClient of its own; frames of one device may be
// decoded at the same time on different threads and are still taken back
// in the order they were submitted.
//
// Scheduling: a free thread takes the oldest waiting frame of the device
// that has the fewest frames being decoded, the oldest waiting frame first
// among equals. A device with a waiting frame therefore gets the next free
// thread before a device that is already being served, whatever their
// rates, and a single device still uses every thread. A serial client
// (one whose decoder keeps state from frame to frame) has at most one frame
// being decoded at a time, so its frames are decoded one after the other in
// submission order; it is passed over while its frame is decoding.
//
// Threads are started with the first frame, so a viewer whose devices send
// nothing runs none. All state is under one mutex; the decoding itself runs
// outside it.
class DecodePool
{
public:
    using Decoder = std::function<ConvertedFrame(const FrameJob&)>;
    static constexpr int MaxThreads = 64;

    // `threads` 0: one per core.
    explicit DecodePool(int threads = 0, Decoder decoder = convertFrame);
    // Ends the threads once their decodes are done; clients should have
    // been stopped before.
    ~DecodePool();
    DecodePool(const DecodePool&) = delete;
    DecodePool& operator=(const DecodePool&) = delete;

    // The pool of the viewer's devices.
    static DecodePool& shared();
    // The number of cores, at least 1.
    static int coreCount();

    // Sets the number of threads, 0 for one per core; takes effect only
    // before the first frame (a running pool keeps its threads).
    void setThreadCount(int threads);
    int threadCount() const;

private:
    friend class DecodeClient;
    struct Entry
    {
        enum class State
        {
            Waiting,
            Decoding,
            Done
        };
        std::uint64_t id = 0;
        std::uint64_t arrival = 0; // pool-wide submission number
        FrameJob job;
        State state = State::Waiting;
        ConvertedFrame result;
    };
    struct Queue
    {
        std::deque<Entry> entries; // in submission order
        int waiting = 0;           // the last `waiting` entries wait
        int decoding = 0;          // decoding, or just decoded and being announced
        std::function<void()> ready;
        bool stopping = false;
        bool serial = false;
        // A frame of a serial client was skipped and no later one was
        // queued yet: the next one submitted follows a gap.
        bool gapPending = false;
    };

    bool enqueue(Queue* queue, std::uint64_t id, const FrameJob& job);
    void markPending(Queue* queue);
    void unmarkPending(Queue* queue);
    // The queue whose waiting frame is decoded next; nullptr when none.
    Queue* pick() const;
    // Waiting frames that an idle thread may start on now: all but those
    // of serial clients behind their first.
    int startableWaiting() const;
    // Starts the threads if they are not running; false when none runs.
    bool ensureThreads();
    void run();

    Decoder m_decoder;
    mutable std::mutex m_mutex;
    std::condition_variable m_work;
    std::condition_variable m_idle;
    std::vector<Queue*> m_pending; // queues with a waiting frame
    std::vector<std::thread> m_threads;
    int m_threadCount = 1;
    std::uint64_t m_arrivals = 0;
    int m_busy = 0;         // threads decoding a frame
    int m_totalWaiting = 0; // waiting frames of every client
    bool m_stopping = false;
};

// One device's frames in a DecodePool. Used by the device's owner from one
// thread (the GUI thread); `ready` is called in a pool thread whenever the
// next frame in submission order has been decoded, to wake that owner, who
// then calls take().
class DecodeClient
{
public:
    DecodeClient(DecodePool& pool, std::function<void()> ready);
    // stop()
    ~DecodeClient();
    DecodeClient(const DecodeClient&) = delete;
    DecodeClient& operator=(const DecodeClient&) = delete;

    // Queues a frame under the owner's `id`. The job's bytes belong to the
    // pool until the frame was taken, skipped or the client stopped.
    // Returns false, queueing nothing, after stop() or when the pool could
    // start no thread.
    bool submit(std::uint64_t id, const FrameJob& job);
    // Serial mode, for a stateful decoder: at most one of this client's
    // frames is decoded at a time, in submission order, and after a frame
    // was skipped the next frame's job says so (FrameJob::afterGap), for
    // the decoder to resume only where it can. Other clients are scheduled
    // as before. May be switched on at any time; it stays on.
    void setSerial();
    bool isSerial() const;
    struct Result
    {
        std::uint64_t id = 0;
        ConvertedFrame frame;
    };
    // The oldest submitted frame, once it has been decoded; nothing while
    // it is still waiting or being decoded.
    std::optional<Result> take();
    // Removes the oldest frame that no thread has started on (for a serial
    // client, the frame after it is marked as following a gap); returns its
    // id, or nothing when every frame is being decoded or done, or when the
    // pool's idle threads are about to take every waiting frame of every
    // client (then none is behind).
    std::optional<std::uint64_t> skipOldestWaiting();
    // Frames submitted and not yet taken or skipped.
    int inFlight() const;
    // Of those, the frames no thread has started on.
    int waiting() const;
    // Of those, the frames a thread is decoding or has decoded but not yet
    // put back: not takeable yet, though no thread is left to start on them.
    int decoding() const;
    // Drops the waiting frames and the results not taken, and waits for the
    // frames being decoded (each is bounded by the pixel limit and the scan
    // budget) to finish. Idempotent.
    void stop();

private:
    DecodePool& m_pool;
    DecodePool::Queue m_queue;
};
