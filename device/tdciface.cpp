#include "device/tdciface.h"

#include <QFileInfo>

#include <chrono>
#include <cmath>
#include <thread>

namespace {
constexpr int busy_attempts = 8;
constexpr std::chrono::milliseconds busy_pause(5);
} // namespace

TdcIface::TdcIface(QObject *parent) : QObject(parent), histo_pipe(new HistoPipe()) {
    histo_pipe->set_end_of_meas_action([this](uint64_t number) {
        const int code = number != 0 ? int(CompletionDone) : int(CompletionIgnored);
        emit complete_callback(code);
        emit exposure_ended(code, quint64(number));
    });
    HistoParams params = *histo_pipe->get_params();
    params.channels = 16;
    histo_pipe->set_params(params);
}

TdcIface::~TdcIface() {
    if (dev_desc >= 0) {
        emit disconnecting();
        histo_pipe->set_pipe_open(false);
        ox_tdc_deinit2(dev_desc);
        dev_desc = -1;
    }
    delete histo_pipe;
}

void TdcIface::set_error_from_code(int32_t code) {
    char buffer[OX_ERR_MSG_SIZE] = {0};
    ox_get_err_msg(code, buffer);
    buffer[OX_ERR_MSG_SIZE - 1] = '\0';
    last_error = QString::fromUtf8(buffer);
}

int32_t TdcIface::failed(int32_t code) {
    set_error_from_code(code);
    if (code == ConnectionLost && dev_desc >= 0)
        lose_connection();
    return code;
}

// The device is gone: its descriptor and the pipe's mean nothing any more;
// the next init opens both afresh.
void TdcIface::lose_connection() {
    dev_desc = -1;
    histo_pipe->forget_pipe();
    corrections_known = false;
    epot_settings = EpotSettings();
    emit connection_lost();
}

// Undoes a half-finished init: the pipe (if it opened) and the device.
void TdcIface::release_device() {
    histo_pipe->set_pipe_open(false);
    ox_tdc_deinit2(dev_desc);
    dev_desc = -1;
    histo_pipe->set_device(-1);
}

int32_t TdcIface::init(const QString &ini_file) {
    if (dev_desc >= 0) {
        last_error = QStringLiteral("TdcIface instance can only open one device");
        return ErrAlreadyOpen;
    }
    const QByteArray path = ini_file.toUtf8();
    const int32_t r = ox_tdc_init_inifile(path.constData());
    if (r < 0) {
        set_error_from_code(r);
        // A missing file is looked for in a folder the user may not expect.
        const QFileInfo file(ini_file);
        if (!file.exists())
            last_error += QStringLiteral(" (looked in %1)").arg(file.absolutePath());
        return r;
    }
    dev_desc = r;
    histo_pipe->set_device(r);
    if (!histo_pipe->set_pipe_open(true)) {
        const int32_t code = histo_pipe->get_pipe_open_result();
        set_error_from_code(code);
        release_device();
        return code < 0 ? code : -1;
    }
    double device_binsize = 0.0;
    const int32_t rb = ox_tdc_get_binsize2(dev_desc, &device_binsize);
    if (rb < 0) {
        set_error_from_code(rb);
        release_device();
        return rb;
    }
    if (!std::isfinite(device_binsize) || device_binsize <= 0.0) {
        last_error =
            QStringLiteral("The device reported an invalid bin size (%1 ns)").arg(device_binsize);
        release_device();
        return ErrInvalidBinsize;
    }
    binsize = device_binsize;
    // The corrections now; the potentiometer's window reads the bus as the
    // device is announced, and every run's start reads it again.
    epot_settings = EpotSettings();
    refresh_corrections();
    if (dev_desc < 0)
        return ConnectionLost; // lost while reading the device's settings
    emit connected();
    return r;
}

int32_t TdcIface::deinit() {
    if (dev_desc < 0) {
        last_error = QStringLiteral("No device initialized, cannot deinitialize.");
        return ErrNoDevice;
    }
    emit disconnecting();
    histo_pipe->set_pipe_open(false);
    const int32_t r = ox_tdc_deinit2(dev_desc);
    dev_desc = -1;
    corrections_known = false;
    // The panel reports a failed release with the last error text, which
    // must then be this failure's and not an older one.
    if (r < 0)
        set_error_from_code(r);
    return r;
}

int32_t TdcIface::start_measure(int32_t exposure_ms) {
    if (dev_desc < 0) {
        last_error = QStringLiteral("No device initialized.");
        return ErrNoDevice;
    }
    int32_t r = 0;
    for (int attempt = 0; attempt < busy_attempts; ++attempt) {
        r = ox_tdc_start_measure2(dev_desc, exposure_ms);
        if (r != DeviceBusy)
            break;
        std::this_thread::sleep_for(busy_pause); // steady clock
    }
    return r < 0 ? failed(r) : r;
}

int32_t TdcIface::interrupt() {
    if (dev_desc < 0) {
        last_error = QStringLiteral("No device initialized.");
        return ErrNoDevice;
    }
    const int32_t r = ox_tdc_interrupt2(dev_desc);
    return r < 0 ? failed(r) : r;
}

bool TdcIface::is_initialized() const {
    return dev_desc >= 0;
}

QString TdcIface::get_error_message() const {
    return last_error;
}

double TdcIface::get_binsize() const {
    return binsize;
}

double TdcIface::bins_to_time(uint64_t n, uint32_t binning) const {
    return static_cast<double>(n) * binsize * static_cast<double>(uint64_t(1) << (binning % 64));
}

int32_t TdcIface::get_corrections(std::vector<int32_t> &out) {
    int count = 0;
    int32_t r = ox_tdc_get_corrections2(dev_desc, &count, nullptr);
    if (r < 0)
        return failed(r);
    if (count < 0) {
        last_error = QStringLiteral("The device reported a negative number of corrections");
        return ErrNegativeCount;
    }
    std::vector<int32_t> values(static_cast<size_t>(count), 0);
    r = ox_tdc_get_corrections2(dev_desc, &count, count > 0 ? values.data() : nullptr);
    if (r < 0)
        return failed(r);
    corrections = values;
    corrections_known = true;
    out = std::move(values);
    return 0;
}

// The editors show a refused write with the library's text, so a failure
// keeps it; a success tells every editor to show the device's new values.
int32_t TdcIface::set_corrections(const std::vector<int32_t> &values) {
    const int32_t r =
        ox_tdc_set_corrections2(dev_desc, static_cast<int>(values.size()), values.data(), 0);
    if (r < 0)
        return failed(r);
    corrections = values;
    corrections_known = true;
    emit corrections_changed();
    return r;
}

int32_t TdcIface::twi_read(uint8_t address, uint8_t *buffer, int32_t length, int32_t flag) {
    const int32_t r = ox_twi_read2(dev_desc, address, buffer, length, flag);
    if (r < 0)
        return failed(r);
    epot_settings.note_read(address, buffer, length); // recorded with exports
    return r;
}

int32_t TdcIface::twi_write(uint8_t address, uint8_t *buffer, int32_t length, int32_t flag) {
    const int32_t r = ox_twi_write2(dev_desc, address, buffer, length, flag);
    if (r < 0)
        return failed(r);
    epot_settings.note_write(address, buffer, length); // recorded with exports
    // The first byte sets the register pointer; the bytes after it are the
    // registers from there on.
    if (address == EpotSettings::bus_address)
        for (int32_t i = 1; i < length; ++i)
            emit potentiometer_written(quint8(buffer[0] + i - 1), buffer[i]);
    return r;
}

const HistoParams *TdcIface::get_histo_params() const {
    return histo_pipe->get_params();
}

HistoParams TdcIface::get_active_histo_params() const {
    return histo_pipe->get_active_params();
}

void TdcIface::request_clear(bool histograms, bool statistics) {
    histo_pipe->request_clear(histograms, statistics);
}

void TdcIface::set_histo_params(const HistoParams &params) {
    histo_pipe->set_params(params);
}

const HistoStats *TdcIface::get_histo_stats() const {
    return histo_pipe->get_stats();
}

void TdcIface::reset_histo_stats() {
    histo_pipe->reset_stats();
}

const std::vector<double> *TdcIface::get_channel_histo(uint32_t channel) const {
    return histo_pipe->get_channel_histo(channel);
}

void TdcIface::clear_histos() {
    histo_pipe->clear_histos();
}

const PipeStatistics *TdcIface::get_pipe_statistics() const {
    return histo_pipe->get_pipe_statistics();
}

bool TdcIface::histos_unavailable() const {
    return histo_pipe->histos_unavailable();
}

bool TdcIface::statistics_arrived() const {
    return histo_pipe->statistics_arrived();
}

ChannelCounts TdcIface::get_device_counts() const {
    return histo_pipe->get_device_counts();
}

uint64_t TdcIface::histo_generation() const {
    return histo_pipe->histo_generation();
}

void TdcIface::prepare_hold_for(const HistoParams &params) {
    histo_pipe->prepare_hold_for(params);
}

bool TdcIface::hold_completed(bool next_clears) {
    return histo_pipe->hold_completed(next_clears);
}

void TdcIface::release_hold() {
    histo_pipe->release_hold();
}

void TdcIface::clear_spare() {
    histo_pipe->clear_spare();
}

void TdcIface::fold_live() {
    histo_pipe->fold_live();
}

uint64_t TdcIface::fold_held() {
    return histo_pipe->fold_held();
}

void TdcIface::raise_max_count(uint64_t count) {
    histo_pipe->raise_max_count(count);
}

void TdcIface::set_fold_at_end(bool fold) {
    histo_pipe->set_fold_at_end(fold);
}

const std::vector<double> *TdcIface::get_held_histo(uint32_t channel) const {
    return histo_pipe->get_held_histo(channel);
}

uint64_t TdcIface::exposures_started() const {
    return histo_pipe->exposures_started();
}

DeviceSnapshot TdcIface::device_snapshot() const {
    DeviceSnapshot snapshot;
    snapshot.binsize_ns = binsize;
    snapshot.corrections_known = corrections_known;
    if (corrections_known)
        snapshot.corrections = corrections;
    snapshot.epot = epot_settings;
    return snapshot;
}

// The potentiometer answers a pointer write (bus kept) followed by a read of
// both registers; the readings land in epot_settings through twi_read.
int32_t TdcIface::read_epot() {
    constexpr int32_t keep_bus = 0, end_transfer = 1;
    uint8_t buffer[2] = {EpotSettings::reg_threshold, 0};
    const int32_t w = twi_write(EpotSettings::bus_address, buffer, 1, keep_bus);
    if (w < 0)
        return w;
    return twi_read(EpotSettings::bus_address, buffer, 2, end_transfer);
}

// Only successful reads are noted, so whatever fails stays unknown.
void TdcIface::refresh_corrections() {
    corrections_known = false;
    std::vector<int32_t> values;
    if (dev_desc >= 0)
        get_corrections(values);
}

void TdcIface::refresh_device_snapshot() {
    refresh_corrections();
    if (dev_desc < 0)
        return;
    epot_settings = EpotSettings();
    read_epot();
}

const ChannelCounts &TdcIface::get_delivered_counts() const {
    return histo_pipe->get_delivered_counts();
}

uint64_t TdcIface::get_delivered_running() const {
    return histo_pipe->get_delivered_running();
}

void TdcIface::set_event_queue(EventQueue *queue) {
    histo_pipe->set_event_queue(queue);
}
