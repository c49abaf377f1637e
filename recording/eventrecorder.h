#ifndef EVENTRECORDER_H
#define EVENTRECORDER_H

#include "device/eventqueue.h"
#include "recording/eventfile.h"
#include "run/exposureresult.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

// Records every event the accumulator receives into an HDF5 file while it is
// on. The device layer copies the events into a bounded queue on the
// library's thread; a writer thread of this object drains it into the file
// and, for every exposure record handed to add_exposure, writes the
// exposure's row and flushes the file. Events the queue had to drop are
// counted per exposure in the row's missing_from_recording. A write failure
// ends the recording (stopped() says why); the measurement is not touched.
class EventRecorder : public QObject {
    Q_OBJECT
public:
    // Points the device layer's copies at a queue (null: at none) and answers
    // the number the next exposure to start will get; only exposures from
    // that one on are recorded.
    using Attach = std::function<uint64_t(EventQueue *queue)>;

    explicit EventRecorder(Attach attach, QObject *parent = nullptr, size_t blocks = 64,
                           size_t block_events = 32768);
    ~EventRecorder() override;

    // Creates `path` (never an existing file) and starts recording; an empty
    // answer, or why it could not.
    QString start(const QString &path, const RecordingHeader &header, int deflate_level);
    // Writes what has arrived, keeps the rows of completed exposures, leaves
    // out the events of one that has not completed, and closes the file.
    void stop();
    bool is_recording() const { return recording; }
    QString file_name() const { return path; }
    uint64_t events_written() const { return written.load(std::memory_order_relaxed); }
    uint64_t events_missing() const { return missing.load(std::memory_order_relaxed); }
    EventQueue &queue() { return events; }
    // Holds the writer back (the queue fills and drops), for tests and
    // benchmarks; stop() releases it.
    void hold_writer(bool hold);

public slots:
    void add_exposure(const ExposureResult &result);

signals:
    // After every exposure written: the events in the file and those the
    // recording lacks, in total.
    void progress(quint64 written, quint64 missing);
    // A write failure ended the recording; the owner calls stop().
    void failed(const QString &reason);

private:
    struct Pending {
        ExposureRow row;
        uint64_t delivered_total = 0;
        DeviceSnapshot device;
    };
    struct Span {
        uint64_t first = 0;
        uint64_t count = 0;
        bool ended = false;
        uint64_t dropped = 0;
    };

    void run();
    bool drain(uint64_t first_number);
    bool write_staged();
    bool finish_rows(bool closing);
    void writer_failed();

    Attach attach;
    EventQueue events;
    EventFile file;
    QString path;
    bool recording = false;

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Pending> arrived; // under the mutex
    bool stop_requested = false; // under the mutex
    bool held = false;           // under the mutex
    std::thread writer;

    // The writer thread's own.
    uint64_t first_number = 0;
    std::deque<Pending> waiting;
    std::map<uint64_t, Span> spans;
    uint64_t highest_end = 0;
    uint64_t staged_count = 0;
    std::vector<uint8_t> staged_channel;
    std::vector<uint64_t> staged_time;
    bool device_written = false;
    uint64_t rows_end = 0; // events covered by the rows written

    std::atomic<uint64_t> written{0};
    std::atomic<uint64_t> missing{0};
};

#endif // EVENTRECORDER_H
