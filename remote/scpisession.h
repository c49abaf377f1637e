#ifndef SCPISESSION_H
#define SCPISESSION_H

#include "remote/scpiparser.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class FetchHold;
class RunController;
class TdcIface;

// What the remote interface drives: the objects the windows use, so both
// show the same state at once.
struct RemoteTarget {
    RunController *run = nullptr;
    TdcIface *tdc = nullptr;
    // Device -> Connect as the windows do it; returns the device's result.
    std::function<int32_t(bool)> set_connected;
    QString version;
    // File -> Record Events as the windows do it (all unset: no recorder).
    struct Recording {
        std::function<QString(const QString &path)> start; // empty answer, or why not
        std::function<void()> stop;
        std::function<bool()> is_on;
        std::function<QString()> file;
        std::function<uint64_t()> events_written;
        std::function<uint64_t()> events_missing;
    } recording;
};

// A reply's bytes produced on demand, so that a large one is never held
// whole: histogram values or bin edges as little-endian float64.
class BlockSource {
public:
    virtual ~BlockSource() = default;
    virtual uint64_t size() const = 0;
    virtual void read(uint64_t offset, char *out, std::size_t length) const = 0;
};

// Where a session's replies go, in order.
class ReplySink {
public:
    virtual ~ReplySink() = default;
    virtual void send_text(const std::string &text) = 0;
    virtual void send_block(std::shared_ptr<BlockSource> block) = 0;
};

// One client's conversation: lines in, replies out, its own error queue.
// A line's commands run in order; `*OPC?` during a run holds back the rest
// of the line and every later line of this client until the run has ended.
class ScpiSession : public QObject {
    Q_OBJECT
public:
    ScpiSession(const RemoteTarget &target, FetchHold *hold, ReplySink *sink,
                QObject *parent = nullptr);

    // Runs a line (without its end). Must not be called while waiting().
    void execute_line(const std::string &line);
    bool waiting() const { return wait_pending; }
    const ScpiErrorQueue &errors() const { return error_queue; }

signals:
    // A wait has ended and the held-back part of the line has run.
    void resumed();

private:
    struct Entry;
    static const std::vector<Entry> &table();

    void run_commands();
    void finish_line();
    void run_state_changed();
    void execute(const std::string &text);
    const Entry *resolve(const ScpiCommand &command, int &suffix);

    void reply(const std::string &text);
    void reply_block(std::shared_ptr<BlockSource> block);
    void error(int code, const std::string &detail = std::string());
    void device_failure(int32_t rc);
    bool expect_args(const ScpiCommand &command, std::size_t minimum, std::size_t maximum);
    bool integer_arg(const ScpiCommand &command, long long minimum, long long maximum,
                     long long &value);
    bool bool_arg(const ScpiCommand &command, bool &value);
    bool device_ready();
    bool read_potentiometer(uint8_t reg, int &value);

    // The commands; `suffix` is the header's number (CHANnel<n>), -1 without.
    void idn(const ScpiCommand &, int);
    void rst(const ScpiCommand &, int);
    void cls(const ScpiCommand &, int);
    void opc(const ScpiCommand &, int);
    void opc_set(const ScpiCommand &, int);
    void system_error(const ScpiCommand &, int);
    void connect_device(const ScpiCommand &, int);
    void acquire_time(const ScpiCommand &, int);
    void acquire_accumulate(const ScpiCommand &, int);
    void acquire_iterations(const ScpiCommand &, int);
    void acquire_autorun(const ScpiCommand &, int);
    void acquire_threshold(const ScpiCommand &, int);
    void acquire_state(const ScpiCommand &, int);
    void histo_start(const ScpiCommand &, int);
    void histo_window(const ScpiCommand &, int);
    void histo_binning(const ScpiCommand &, int);
    void histo_bin_width(const ScpiCommand &, int);
    void histo_points(const ScpiCommand &, int);
    void initiate(const ScpiCommand &, int);
    void abort(const ScpiCommand &, int);
    void fetch_counts(const ScpiCommand &, int);
    void fetch_loss(const ScpiCommand &, int);
    void fetch_histogram(const ScpiCommand &, int);
    void fetch_axis(const ScpiCommand &, int);
    void channel_shift(const ScpiCommand &, int);
    void pot_threshold(const ScpiCommand &, int);
    void pot_zero(const ScpiCommand &, int);
    void pot_register(const ScpiCommand &, uint8_t reg);
    void store_data(const ScpiCommand &, int);
    void record_file(const ScpiCommand &, int);
    void record_state(const ScpiCommand &, int);
    void record_count(const ScpiCommand &, int);
    bool recorder_ready();

    RemoteTarget target;
    FetchHold *hold;
    ReplySink *sink;
    ScpiErrorQueue error_queue;
    // The line being run: its commands, the next one, the header path that
    // relative headers continue, and the replies it has sent.
    std::vector<std::string> commands;
    std::size_t next_command = 0;
    std::vector<std::string> path;
    int replies_in_line = 0;
    bool wait_pending = false;
    // The new file RECord:FILE chose for the next RECord:STATe 1.
    QString record_path;
};

#endif // SCPISESSION_H
