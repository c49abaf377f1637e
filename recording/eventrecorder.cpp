#include "recording/eventrecorder.h"

#include <QFileInfo>

#include <algorithm>
#include <chrono>

namespace {
// How long the writer sleeps when the queue is empty: the library's thread
// never wakes it, so it looks again after this.
constexpr std::chrono::milliseconds idle_wait(1);
} // namespace

EventRecorder::EventRecorder(Attach attach_queue, QObject *parent, size_t blocks,
                             size_t block_events)
    : QObject(parent), attach(std::move(attach_queue)), events(blocks, block_events),
      staged_channel(EventFile::chunk_events), staged_time(EventFile::chunk_events) {}

EventRecorder::~EventRecorder() {
    stop();
}

QString EventRecorder::start(const QString &file_path, const RecordingHeader &header,
                             int deflate_level) {
    stop();
    if (QFileInfo::exists(file_path))
        return QStringLiteral("%1 exists already; a recording goes to a new file").arg(file_path);
    if (!file.create(file_path.toStdString(), header, deflate_level))
        return QString::fromStdString(file.error());
    path = file_path;
    // Attached before the number is read: every exposure that starts after
    // the read has the queue, and anything older is left out.
    first_number = attach(&events);
    waiting.clear();
    spans.clear();
    highest_end = 0;
    staged_count = 0;
    device_written = false;
    rows_end = 0;
    written.store(0);
    missing.store(0);
    {
        std::lock_guard<std::mutex> lock(mutex);
        arrived.clear();
        stop_requested = false;
        held = false;
    }
    recording = true;
    writer = std::thread(&EventRecorder::run, this);
    return QString();
}

void EventRecorder::stop() {
    if (!recording)
        return;
    attach(nullptr);
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop_requested = true;
        held = false;
    }
    wake.notify_all();
    writer.join();
    file.close();
    recording = false;
}

void EventRecorder::hold_writer(bool hold) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        held = hold;
    }
    wake.notify_all();
}

void EventRecorder::add_exposure(const ExposureResult &result) {
    if (!recording)
        return;
    Pending pending;
    ExposureRow &row = pending.row;
    row.number = result.number;
    row.start = double(result.started.toMSecsSinceEpoch()) / 1000.0;
    row.requested_ms = result.exposure_ms;
    row.actual_ms = result.duration_ms;
    for (uint32_t c = 0; c < channel_count; ++c) {
        row.device_counts[c] = result.statistics_arrived ? result.device_counts[c] : 0;
        row.delivered[c] = result.delivered[c];
        row.lost[c] = result.lost[c];
        pending.delivered_total += result.delivered[c];
    }
    row.start_ns = result.params.start;
    row.window_ns = result.params.size;
    row.binning = result.params.binning;
    pending.device = result.device;
    {
        std::lock_guard<std::mutex> lock(mutex);
        arrived.push_back(std::move(pending));
    }
    wake.notify_all();
}

void EventRecorder::run() {
    for (;;) {
        bool stopping = false;
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (held && !stop_requested) {
                wake.wait(lock, [this] { return !held || stop_requested; });
            }
            stopping = stop_requested;
            while (!arrived.empty()) {
                waiting.push_back(std::move(arrived.front()));
                arrived.pop_front();
            }
        }
        const bool busy = events.front() != nullptr;
        if (!drain(first_number) || !finish_rows(stopping)) {
            writer_failed();
            return;
        }
        if (stopping) {
            // Events past the last row belong to no exposure that completed.
            if (!file.truncate_events(rows_end) || !file.flush())
                writer_failed();
            return;
        }
        if (!busy) {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait_for(lock, idle_wait,
                          [this] { return stop_requested || !arrived.empty() || held; });
        }
    }
}

bool EventRecorder::drain(uint64_t first) {
    while (const EventQueue::Block *block = events.front()) {
        if (block->exposure >= first) {
            Span &span = spans[block->exposure];
            if (span.count == 0)
                span.first = file.events() + staged_count;
            span.count += block->count;
            size_t done = 0;
            while (done < block->count) {
                const size_t n = std::min<size_t>(block->count - done,
                                                  size_t(EventFile::chunk_events - staged_count));
                std::copy_n(block->channel.get() + done, n, staged_channel.data() + staged_count);
                std::copy_n(block->time.get() + done, n, staged_time.data() + staged_count);
                staged_count += n;
                done += n;
                if (staged_count == EventFile::chunk_events && !write_staged()) {
                    events.pop();
                    return false;
                }
            }
        }
        events.pop();
    }
    EventQueue::ExposureEnd end;
    while (events.take_end(end)) {
        if (end.exposure < first)
            continue;
        Span &span = spans[end.exposure];
        span.ended = true;
        span.dropped = end.dropped;
        highest_end = std::max(highest_end, end.exposure);
    }
    return true;
}

bool EventRecorder::write_staged() {
    if (staged_count == 0)
        return true;
    const bool ok = file.append_events(staged_channel.data(), staged_time.data(), staged_count);
    staged_count = 0;
    return ok;
}

bool EventRecorder::finish_rows(bool closing) {
    while (!waiting.empty()) {
        Pending &pending = waiting.front();
        const uint64_t number = pending.row.number;
        if (number < first_number) {
            waiting.pop_front();
            continue;
        }
        const auto found = spans.find(number);
        const bool ended = found != spans.end() && found->second.ended;
        // A later exposure's end means this one's end record was lost to a
        // full record; its drops are then reckoned from the deliveries.
        if (!ended && highest_end <= number && !closing)
            return true;
        Span span = found != spans.end() ? found->second : Span{};
        if (span.count == 0)
            span.first = rows_end; // an empty exposure sits where the last one ended
        ExposureRow &row = pending.row;
        row.first_event = span.first;
        row.event_count = span.count;
        row.missing_from_recording =
            ended
                ? span.dropped
                : (pending.delivered_total > span.count ? pending.delivered_total - span.count : 0);
        if (!write_staged())
            return false;
        if (!device_written) {
            if (!file.write_device(pending.device))
                return false;
            device_written = true;
        }
        if (!file.append_row(row) || !file.flush())
            return false;
        rows_end = row.first_event + row.event_count;
        spans.erase(spans.begin(), spans.upper_bound(number));
        const uint64_t total_written = written.load() + row.event_count;
        const uint64_t total_missing = missing.load() + row.missing_from_recording;
        written.store(total_written);
        missing.store(total_missing);
        waiting.pop_front();
        // Announced from the recorder's own thread, so that every receiver,
        // direct or queued, hears it there.
        QMetaObject::invokeMethod(
            this,
            [this, total_written, total_missing] { emit progress(total_written, total_missing); },
            Qt::QueuedConnection);
    }
    return true;
}

// The queue stays attached until the owner's stop(), on its own thread; till
// then it fills and counts what it drops.
void EventRecorder::writer_failed() {
    const QString reason =
        QStringLiteral("Recording stopped: %1").arg(QString::fromStdString(file.error()));
    QMetaObject::invokeMethod(
        this, [this, reason] { emit failed(reason); }, Qt::QueuedConnection);
}
