// SPDX-License-Identifier: MIT
#include "decodepool.h"

#include "latencyprobe.h"

#include <QtGlobal>

#include <algorithm>
#include <chrono>
#include <system_error>
#include <utility>

namespace {

int threadsFor(int wanted)
{
    return std::clamp(wanted > 0 ? wanted : DecodePool::coreCount(), 1, DecodePool::MaxThreads);
}

} // namespace

DecodePool::DecodePool(int threads, Decoder decoder)
    : m_decoder(std::move(decoder)), m_threadCount(threadsFor(threads))
{
}

DecodePool::~DecodePool()
{
    {
        std::lock_guard lock(m_mutex);
        // Frames still waiting (of a client never stopped) are not decoded.
        m_stopping = true;
    }
    m_work.notify_all();
    for (std::thread& t : m_threads)
        t.join();
}

DecodePool& DecodePool::shared()
{
    static DecodePool pool;
    return pool;
}

int DecodePool::coreCount()
{
    return std::max(1, int(std::thread::hardware_concurrency()));
}

void DecodePool::setThreadCount(int threads)
{
    std::lock_guard lock(m_mutex);
    if (m_threads.empty())
        m_threadCount = threadsFor(threads);
}

int DecodePool::threadCount() const
{
    std::lock_guard lock(m_mutex);
    return m_threadCount;
}

bool DecodePool::ensureThreads()
{
    // Under m_mutex.
    while (int(m_threads.size()) < m_threadCount) {
        try {
            m_threads.emplace_back([this] { run(); });
        } catch (const std::system_error&) {
            break; // the threads that did start do the work
        }
    }
    return !m_threads.empty();
}

bool DecodePool::enqueue(Queue* queue, std::uint64_t id, const FrameJob& job)
{
    {
        std::lock_guard lock(m_mutex);
        if (queue->stopping || m_stopping || !ensureThreads())
            return false;
        Entry entry;
        entry.id = id;
        entry.arrival = ++m_arrivals;
        entry.job = job;
        if (queue->gapPending) {
            entry.job.afterGap = true;
            queue->gapPending = false;
        }
        queue->entries.push_back(std::move(entry));
        ++m_totalWaiting;
        if (queue->waiting++ == 0)
            markPending(queue);
    }
    m_work.notify_one();
    return true;
}

void DecodePool::markPending(Queue* queue)
{
    m_pending.push_back(queue);
}

void DecodePool::unmarkPending(Queue* queue)
{
    const auto it = std::find(m_pending.begin(), m_pending.end(), queue);
    if (it != m_pending.end()) {
        *it = m_pending.back();
        m_pending.pop_back();
    }
}

DecodePool::Queue* DecodePool::pick() const
{
    Queue* best = nullptr;
    std::uint64_t bestArrival = 0;
    for (Queue* q : m_pending) {
        if (q->serial && q->decoding > 0)
            continue;
        const std::uint64_t arrival =
            q->entries[q->entries.size() - std::size_t(q->waiting)].arrival;
        if (best == nullptr || q->decoding < best->decoding
            || (q->decoding == best->decoding && arrival < bestArrival)) {
            best = q;
            bestArrival = arrival;
        }
    }
    return best;
}

int DecodePool::startableWaiting() const
{
    int startable = m_totalWaiting;
    for (const Queue* q : m_pending) {
        if (q->serial)
            startable -= q->waiting - (q->decoding == 0 ? 1 : 0);
    }
    return startable;
}

void DecodePool::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_work.wait(lock, [this] { return m_stopping || pick() != nullptr; });
        if (m_stopping)
            return;
        Queue* queue = pick();
        Entry& entry = queue->entries[queue->entries.size() - std::size_t(queue->waiting)];
        entry.state = Entry::State::Decoding;
        const std::uint64_t id = entry.id;
        const FrameJob job = entry.job;
        ++queue->decoding;
        ++m_busy;
        --m_totalWaiting;
        if (--queue->waiting == 0)
            unmarkPending(queue);
        lock.unlock();
        LatencyProbe* const probe = latencyProbe();
        const auto start = probe != nullptr ? std::chrono::steady_clock::now()
                                            : std::chrono::steady_clock::time_point();
        ConvertedFrame frame = m_decoder(job);
        if (probe != nullptr)
            probe->frameDecoded(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    std::chrono::steady_clock::now() - start)
                                    .count());
        lock.lock();
        // Entries being decoded are neither taken nor skipped nor dropped,
        // so the entry is still there, though others before it may be gone.
        bool front = false;
        for (Entry& e : queue->entries) {
            if (e.id == id) {
                e.state = Entry::State::Done;
                e.result = std::move(frame);
                front = &e == &queue->entries.front();
                break;
            }
        }
        // The queue lives until its decoding count is back at zero, so the
        // owner may be woken outside the lock.
        if (front && !queue->stopping) {
            const std::function<void()>& ready = queue->ready;
            lock.unlock();
            ready();
            lock.lock();
        }
        --m_busy;
        if (--queue->decoding == 0 && queue->stopping)
            m_idle.notify_all();
        // A serial client's next frame may be started now.
        if (queue->serial && queue->waiting > 0 && !queue->stopping)
            m_work.notify_one();
    }
}

DecodeClient::DecodeClient(DecodePool& pool, std::function<void()> ready) : m_pool(pool)
{
    m_queue.ready = std::move(ready);
}

DecodeClient::~DecodeClient()
{
    stop();
}

bool DecodeClient::submit(std::uint64_t id, const FrameJob& job)
{
    return m_pool.enqueue(&m_queue, id, job);
}

void DecodeClient::setSerial()
{
    std::lock_guard lock(m_pool.m_mutex);
    m_queue.serial = true;
}

bool DecodeClient::isSerial() const
{
    std::lock_guard lock(m_pool.m_mutex);
    return m_queue.serial;
}

std::optional<DecodeClient::Result> DecodeClient::take()
{
    std::lock_guard lock(m_pool.m_mutex);
    if (m_queue.entries.empty() || m_queue.entries.front().state != DecodePool::Entry::State::Done)
        return std::nullopt;
    DecodePool::Entry& e = m_queue.entries.front();
    Result result{e.id, std::move(e.result)};
    m_queue.entries.pop_front();
    return result;
}

std::optional<std::uint64_t> DecodeClient::skipOldestWaiting()
{
    std::lock_guard lock(m_pool.m_mutex);
    // A frame submitted a moment ago waits only until an idle thread wakes.
    const int idle = int(m_pool.m_threads.size()) - m_pool.m_busy;
    // A serial client's frame does not start while its previous one decodes.
    const bool startsNow =
        (!m_queue.serial || m_queue.decoding == 0) && m_pool.startableWaiting() <= idle;
    if (m_queue.waiting == 0 || startsNow)
        return std::nullopt;
    const auto it = m_queue.entries.end() - m_queue.waiting;
    const std::uint64_t id = it->id;
    // A stateful decoder must know that a frame is missing before the next
    // one it gets: that one waits (or the next submitted, when none does).
    if (m_queue.serial) {
        if (std::next(it) != m_queue.entries.end())
            std::next(it)->job.afterGap = true;
        else
            m_queue.gapPending = true;
    }
    m_queue.entries.erase(it);
    --m_pool.m_totalWaiting;
    if (--m_queue.waiting == 0)
        m_pool.unmarkPending(&m_queue);
    return id;
}

int DecodeClient::inFlight() const
{
    std::lock_guard lock(m_pool.m_mutex);
    return int(m_queue.entries.size());
}

int DecodeClient::waiting() const
{
    std::lock_guard lock(m_pool.m_mutex);
    return m_queue.waiting;
}

int DecodeClient::decoding() const
{
    std::lock_guard lock(m_pool.m_mutex);
    return m_queue.decoding;
}

void DecodeClient::stop()
{
    std::unique_lock lock(m_pool.m_mutex);
    m_queue.stopping = true;
    if (m_queue.waiting > 0)
        m_pool.unmarkPending(&m_queue);
    m_pool.m_totalWaiting -= m_queue.waiting;
    m_queue.waiting = 0;
    m_pool.m_idle.wait(lock, [this] { return m_queue.decoding == 0; });
    m_queue.entries.clear();
}
