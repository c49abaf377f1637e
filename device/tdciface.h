#ifndef TDCIFACE_H
#define TDCIFACE_H

#include "device/devicesnapshot.h"
#include "device/epotsettings.h"
#include "device/histopipe.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <vector>

// The program's one connection to a TDC device. Every library call except
// the pipe calls goes through here; operations return an int32 status,
// negative on failure, and keep the text of the last failure.
class TdcIface : public QObject {
    Q_OBJECT
public:
    // Codes of the interface's own.
    enum : int32_t {
        ErrAlreadyOpen = -3,
        ErrInvalidBinsize = -4,
        ErrNoDevice = -10,
        ErrNegativeCount = -1,
    };
    // Library codes with a meaning of their own: a busy device (a start is
    // retried, an interrupt is as good as accepted) and a lost connection.
    enum : int32_t {
        DeviceBusy = OX_ERR_BUSY,
        ConnectionLost = OX_ERR_CONNECTION_LOST,
    };
    // Codes of complete_callback: an end of a measurement that follows its
    // start reports CompletionDone; an end without one (a duplicate, or a
    // late end the run gave up on) reports CompletionIgnored, dropped unseen.
    enum : int {
        CompletionDone = 1,
        CompletionIgnored = 4,
    };

    explicit TdcIface(QObject *parent = nullptr);
    ~TdcIface() override;

    int32_t init(const QString &ini_file);
    int32_t deinit();
    int32_t start_measure(int32_t exposure_ms);
    int32_t interrupt();
    bool is_initialized() const;
    QString get_error_message() const;
    double get_binsize() const;
    double bins_to_time(uint64_t n, uint32_t binning) const;
    int32_t get_corrections(std::vector<int32_t> &out);
    int32_t set_corrections(const std::vector<int32_t> &values);
    int32_t twi_read(uint8_t address, uint8_t *buffer, int32_t length, int32_t flag);
    int32_t twi_write(uint8_t address, uint8_t *buffer, int32_t length, int32_t flag);

    const HistoParams *get_histo_params() const;
    // The parameters the histograms were filled with (HistoPipe::get_active_params).
    HistoParams get_active_histo_params() const;
    // Clears histograms and/or statistics when the next measurement really
    // starts (HistoPipe::request_clear).
    void request_clear(bool histograms, bool statistics);
    void set_histo_params(const HistoParams &params);
    const HistoStats *get_histo_stats() const;
    void reset_histo_stats();
    const std::vector<double> *get_channel_histo(uint32_t channel) const;
    void clear_histos();
    const PipeStatistics *get_pipe_statistics() const;
    // The last exposure's statistics block, in program terms (HistoPipe).
    bool statistics_arrived() const;
    ChannelCounts get_device_counts() const;
    // Exposures the library has reported started (HistoPipe::exposures_started).
    uint64_t exposures_started() const;
    // Rebuilds of the histograms so far (HistoPipe::histo_generation).
    uint64_t histo_generation() const;
    // The completed histograms kept while the next exposure runs
    // (HistoPipe::prepare_hold_for, hold_completed, release_hold,
    // clear_spare, get_held_histo).
    void prepare_hold_for(const HistoParams &params);
    bool hold_completed(bool next_clears);
    void release_hold();
    void clear_spare();
    // Tallies of large histograms added to their bins (HistoPipe::fold_live,
    // fold_held, raise_max_count).
    void fold_live();
    uint64_t fold_held();
    void raise_max_count(uint64_t count);
    void set_fold_at_end(bool fold);
    const std::vector<double> *get_held_histo(uint32_t channel) const;
    // True when the accumulator could not size its histograms at the last
    // start of a measurement (see HistoPipe::histos_unavailable).
    bool histos_unavailable() const;
    // Deliveries of the current exposure (see HistoPipe); the running count
    // may be read any time.
    const ChannelCounts &get_delivered_counts() const;
    uint64_t get_delivered_running() const;
    // Where copies of the events go from the next exposure on (HistoPipe::set_event_queue).
    void set_event_queue(EventQueue *queue);
    // The potentiometer's settings as last read or set through this object.
    const EpotSettings &get_epot_settings() const { return epot_settings; }
    // What the device holds as this object knows it from its own reads and
    // writes: bin size, corrections, potentiometer.
    DeviceSnapshot device_snapshot() const;
    // Reads the corrections and the potentiometer again (at the start of a
    // run); a failed read leaves that part unknown.
    void refresh_device_snapshot();

signals:
    void complete_callback(int code);
    // Beside every complete_callback, from the library's thread: the same
    // code and the accumulator's number of the exposure that ended (0 for
    // CompletionIgnored).
    void exposure_ended(int code, quint64 exposure);
    void connected();
    void disconnecting();
    void connection_lost();
    // After every successful set_corrections, so that all views of the
    // corrections can show what the device now holds.
    void corrections_changed();
    // After every successful write of a potentiometer register, whoever wrote
    // it (the potentiometer window, a remote client).
    void potentiometer_written(quint8 reg, quint8 value);

private:
    void set_error_from_code(int32_t code);
    // Keeps the failure's text; a lost connection releases the device.
    int32_t failed(int32_t code);
    void lose_connection();
    void release_device();
    int32_t read_epot();
    void refresh_corrections();

    int32_t dev_desc = -1;
    QString last_error;
    HistoPipe *histo_pipe;
    // Until a device reports its own, one device bin counts as 1 ns, which
    // keeps every display derived from it finite.
    double binsize = 1.0;
    EpotSettings epot_settings;
    bool corrections_known = false;
    std::vector<int32_t> corrections;
};

#endif // TDCIFACE_H
