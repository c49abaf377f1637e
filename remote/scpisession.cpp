#include "remote/scpisession.h"

#include "device/epotsettings.h"
#include "device/histogeometry.h"
#include "device/tdciface.h"
#include "export/histoexport.h"
#include "remote/fetchsnapshot.h"
#include "run/runcontroller.h"
#include "run/runsettingsmodel.h"

#include <QFileInfo>
#include <QSysInfo>

#include <algorithm>
#include <cstring>

namespace {

// The panel's field ranges.
constexpr long long exposure_max = 10000000;
constexpr long long spin_max = 1000000000;
constexpr long long binning_max = 20;
constexpr long long correction_min = -32768;
constexpr long long correction_max = 32767;
// Fifth argument of the bus calls: 0 keeps the bus for the read that follows
// the register-pointer write, 1 ends the transfer.
constexpr int32_t keep_bus = 0;
constexpr int32_t end_transfer = 1;

std::string error_text(int code) {
    switch (code) {
    case -100:
        return "Command error";
    case -113:
        return "Undefined header";
    case -200:
        return "Execution error";
    case -213:
        return "Init ignored";
    case -221:
        return "Settings conflict";
    case -222:
        return "Data out of range";
    default:
        return "Error";
    }
}

std::string counts_text(const ChannelCounts &counts) {
    std::string text;
    for (std::size_t c = 0; c < counts.size(); ++c) {
        if (c > 0)
            text.push_back(',');
        text += std::to_string(counts[c]);
    }
    return text;
}

void put_le(double value, char *out) {
    static_assert(sizeof(double) == 8, "float64 replies");
    std::memcpy(out, &value, 8);
    if (QSysInfo::ByteOrder == QSysInfo::BigEndian)
        std::reverse(out, out + 8);
}

// One channel's values, read from the shared record as they are sent.
class HistogramBlock : public BlockSource {
public:
    HistogramBlock(std::shared_ptr<FetchSnapshot> snap, std::size_t channel)
        : snap(std::move(snap)), channel(channel) {
        this->snap->values(channel, count);
    }
    uint64_t size() const override { return uint64_t(count) * 8; }
    void read(uint64_t offset, char *out, std::size_t length) const override {
        std::size_t available = 0;
        const double *values = snap->values(channel, available);
        const char *bytes = reinterpret_cast<const char *>(values);
        if (QSysInfo::ByteOrder == QSysInfo::LittleEndian) {
            std::memcpy(out, bytes + offset, length);
            return;
        }
        char value[8];
        for (std::size_t i = 0; i < length; ++i, ++offset) {
            put_le(values[offset / 8], value);
            out[i] = value[offset % 8];
        }
    }

private:
    std::shared_ptr<FetchSnapshot> snap;
    std::size_t channel;
    std::size_t count = 0;
};

// The bins' lower edges, computed as they are sent.
class AxisBlock : public BlockSource {
public:
    AxisBlock(const HistoParams &params, std::size_t points) : geometry(params), points(points) {}
    uint64_t size() const override { return uint64_t(points) * 8; }
    void read(uint64_t offset, char *out, std::size_t length) const override {
        char value[8];
        for (std::size_t i = 0; i < length; ++i, ++offset) {
            if (i == 0 || offset % 8 == 0)
                put_le(geometry.time_of_bin(offset / 8), value);
            out[i] = value[offset % 8];
        }
    }

private:
    HistoGeometry geometry;
    std::size_t points;
};

} // namespace

struct ScpiSession::Entry {
    const char *pattern;
    void (ScpiSession::*handler)(const ScpiCommand &, int);
    bool settable;
    bool queryable;
};

const std::vector<ScpiSession::Entry> &ScpiSession::table() {
    static const std::vector<Entry> entries = {
        {"*IDN", &ScpiSession::idn, false, true},
        {"*RST", &ScpiSession::rst, true, false},
        {"*CLS", &ScpiSession::cls, true, false},
        {"*OPC", &ScpiSession::opc, false, true},
        {"*OPC", &ScpiSession::opc_set, true, false},
        {"SYSTem:ERRor", &ScpiSession::system_error, false, true},
        {"SYSTem:ERRor:NEXT", &ScpiSession::system_error, false, true},
        {"DEVice:CONNect", &ScpiSession::connect_device, true, true},
        {"ACQuire:TIME", &ScpiSession::acquire_time, true, true},
        {"ACQuire:ACCumulate", &ScpiSession::acquire_accumulate, true, true},
        {"ACQuire:ITERations", &ScpiSession::acquire_iterations, true, true},
        {"ACQuire:AUTorun", &ScpiSession::acquire_autorun, true, true},
        {"ACQuire:THReshold", &ScpiSession::acquire_threshold, true, true},
        {"ACQuire:STATe", &ScpiSession::acquire_state, false, true},
        {"HISTogram:STARt", &ScpiSession::histo_start, true, true},
        {"HISTogram:WINDow", &ScpiSession::histo_window, true, true},
        {"HISTogram:BINNing", &ScpiSession::histo_binning, true, true},
        {"HISTogram:BINWidth", &ScpiSession::histo_bin_width, false, true},
        {"HISTogram:POINts", &ScpiSession::histo_points, false, true},
        {"INITiate", &ScpiSession::initiate, true, false},
        {"INITiate:IMMediate", &ScpiSession::initiate, true, false},
        {"ABORt", &ScpiSession::abort, true, false},
        {"FETCh:COUNts", &ScpiSession::fetch_counts, false, true},
        {"FETCh:LOSS", &ScpiSession::fetch_loss, false, true},
        {"FETCh:HISTogram", &ScpiSession::fetch_histogram, false, true},
        {"FETCh:AXIS", &ScpiSession::fetch_axis, false, true},
        {"CHANnel#:SHIFt", &ScpiSession::channel_shift, true, true},
        {"POTentiometer:THReshold", &ScpiSession::pot_threshold, true, true},
        {"POTentiometer:ZERO", &ScpiSession::pot_zero, true, true},
        {"MMEMory:STORe:DATA", &ScpiSession::store_data, true, false},
        {"RECord:FILE", &ScpiSession::record_file, true, true},
        {"RECord:STATe", &ScpiSession::record_state, true, true},
        {"RECord:COUNt", &ScpiSession::record_count, false, true},
    };
    return entries;
}

ScpiSession::ScpiSession(const RemoteTarget &target, FetchHold *hold, ReplySink *sink,
                         QObject *parent)
    : QObject(parent), target(target), hold(hold), sink(sink) {
    connect(target.run, &RunController::run_changed, this, &ScpiSession::run_state_changed);
}

void ScpiSession::execute_line(const std::string &line) {
    commands.clear();
    for (std::string_view text : scpi::split_commands(line))
        commands.emplace_back(text);
    next_command = 0;
    path.clear();
    replies_in_line = 0;
    run_commands();
}

void ScpiSession::run_commands() {
    // A failed command queues its error and the line goes on: a query after
    // it still answers, so a client never waits for a reply that will not
    // come.
    while (next_command < commands.size()) {
        execute(commands[next_command++]);
        if (wait_pending)
            return;
    }
    finish_line();
}

// Every reply ends with a line end, one per line however many queries it
// held.
void ScpiSession::finish_line() {
    commands.clear();
    next_command = 0;
    if (replies_in_line > 0)
        sink->send_text("\n");
    replies_in_line = 0;
}

void ScpiSession::run_state_changed() {
    if (!wait_pending || target.run->state() != RunController::Idle)
        return;
    wait_pending = false;
    reply("1");
    run_commands();
    if (!wait_pending)
        emit resumed();
}

// A header that does not start at the root continues the previous
// command's path (IEEE 488.2); one that matches nothing there is tried from
// the root, as most clients mean it.
const ScpiSession::Entry *ScpiSession::resolve(const ScpiCommand &command, int &suffix) {
    std::vector<std::vector<std::string>> candidates;
    if (!command.absolute && !path.empty()) {
        std::vector<std::string> words = path;
        words.insert(words.end(), command.words.begin(), command.words.end());
        candidates.push_back(std::move(words));
    }
    candidates.push_back(command.words);
    for (const std::vector<std::string> &words : candidates) {
        for (const Entry &entry : table()) {
            if ((command.query ? entry.queryable : entry.settable) &&
                scpi::header_matches(entry.pattern, words, suffix)) {
                if (words.front().front() != '*')
                    path.assign(words.begin(), words.end() - 1);
                return &entry;
            }
        }
    }
    return nullptr;
}

void ScpiSession::execute(const std::string &text) {
    const ScpiParseResult parsed = scpi::parse_command(text);
    if (parsed.error != 0) {
        error(parsed.error, parsed.detail);
        return;
    }
    int suffix = -1;
    const Entry *entry = resolve(parsed.command, suffix);
    if (entry == nullptr) {
        error(-113);
        return;
    }
    (this->*entry->handler)(parsed.command, suffix);
}

void ScpiSession::reply(const std::string &text) {
    sink->send_text(replies_in_line++ > 0 ? ";" + text : text);
}

void ScpiSession::reply_block(std::shared_ptr<BlockSource> block) {
    const std::string header = scpi::block_header(block->size());
    sink->send_text(replies_in_line++ > 0 ? ";" + header : header);
    if (block->size() > 0)
        sink->send_block(std::move(block));
}

void ScpiSession::error(int code, const std::string &detail) {
    error_queue.push(code, detail.empty() ? error_text(code) : error_text(code) + "; " + detail);
}

void ScpiSession::device_failure(int32_t rc) {
    Q_UNUSED(rc);
    error(-200, target.tdc->get_error_message().toStdString());
}

bool ScpiSession::expect_args(const ScpiCommand &command, std::size_t minimum,
                              std::size_t maximum) {
    if (command.args.size() < minimum) {
        error(-100, "missing parameter");
        return false;
    }
    if (command.args.size() > maximum) {
        error(-100, "parameter not allowed");
        return false;
    }
    return true;
}

bool ScpiSession::integer_arg(const ScpiCommand &command, long long minimum, long long maximum,
                              long long &value) {
    if (!expect_args(command, 1, 1))
        return false;
    if (!scpi::parse_integer(command.args[0], value)) {
        error(-100, "a whole number is expected");
        return false;
    }
    if (value < minimum || value > maximum) {
        error(-222, std::to_string(minimum) + " to " + std::to_string(maximum));
        return false;
    }
    return true;
}

bool ScpiSession::bool_arg(const ScpiCommand &command, bool &value) {
    if (!expect_args(command, 1, 1))
        return false;
    if (!scpi::parse_bool(command.args[0], value)) {
        error(-100, "1, 0, ON or OFF is expected");
        return false;
    }
    return true;
}

bool ScpiSession::device_ready() {
    if (target.tdc->is_initialized())
        return true;
    error(-200, "the device is not connected");
    return false;
}

// ---- common commands -------------------------------------------------------

void ScpiSession::idn(const ScpiCommand &command, int) {
    if (expect_args(command, 0, 0))
        reply("Velmora,oxTDC1,0," + target.version.toStdString());
}

void ScpiSession::rst(const ScpiCommand &command, int) {
    if (!expect_args(command, 0, 0))
        return;
    RunController *run = target.run;
    // A first stop of an automatic run only ends its repetition.
    if (run->state() == RunController::Running)
        run->stop();
    if (run->state() == RunController::Running)
        run->stop();
    RunSettingsModel *model = run->settings_model();
    model->set_run(RunSettings{});
    model->set_histo_start_ns(0);
    model->set_histo_size_ns(1000);
    model->set_binning(0);
}

void ScpiSession::cls(const ScpiCommand &command, int) {
    if (expect_args(command, 0, 0))
        error_queue.clear();
}

void ScpiSession::opc(const ScpiCommand &command, int) {
    if (!expect_args(command, 0, 0))
        return;
    if (target.run->state() == RunController::Idle)
        reply("1");
    else
        wait_pending = true;
}

void ScpiSession::opc_set(const ScpiCommand &command, int) {
    expect_args(command, 0, 0);
}

void ScpiSession::system_error(const ScpiCommand &command, int) {
    if (expect_args(command, 0, 0))
        reply(error_queue.pop());
}

void ScpiSession::connect_device(const ScpiCommand &command, int) {
    if (command.query) {
        if (expect_args(command, 0, 0))
            reply(target.tdc->is_initialized() ? "1" : "0");
        return;
    }
    bool on = false;
    if (!bool_arg(command, on) || on == target.tdc->is_initialized())
        return;
    const int32_t rc = target.set_connected ? target.set_connected(on)
                       : on                 ? target.tdc->init(QStringLiteral("tdc_qv5.ini"))
                                            : target.run->disconnect_device();
    if (rc < 0)
        device_failure(rc);
}

// ---- run settings ----------------------------------------------------------

void ScpiSession::acquire_time(const ScpiCommand &command, int) {
    RunSettingsModel *model = target.run->settings_model();
    long long value = 0;
    if (command.query) {
        if (expect_args(command, 0, 0))
            reply(std::to_string(model->run().exposure_ms));
    } else if (integer_arg(command, 0, exposure_max, value)) {
        model->set_exposure_ms(int(value));
    }
}

void ScpiSession::acquire_accumulate(const ScpiCommand &command, int) {
    RunSettingsModel *model = target.run->settings_model();
    bool on = false;
    if (command.query) {
        if (expect_args(command, 0, 0))
            reply(model->run().accumulate ? "1" : "0");
    } else if (bool_arg(command, on)) {
        model->set_accumulate(on);
    }
}

void ScpiSession::acquire_iterations(const ScpiCommand &command, int) {
    RunSettingsModel *model = target.run->settings_model();
    long long value = 0;
    if (command.query) {
        if (expect_args(command, 0, 0))
            reply(std::to_string(model->run().iterations));
    } else if (integer_arg(command, 1, spin_max, value)) {
        model->set_iterations(int(value));
    }
}

// The check box's effect on a run under way comes with it, as in the panel.
void ScpiSession::acquire_autorun(const ScpiCommand &command, int) {
    RunSettingsModel *model = target.run->settings_model();
    bool on = false;
    if (command.query) {
        if (expect_args(command, 0, 0))
            reply(model->run().autorun ? "1" : "0");
    } else if (bool_arg(command, on)) {
        model->set_autorun(on);
        if (target.run->state() != RunController::Idle)
            target.run->set_autorun(on);
    }
}

void ScpiSession::acquire_threshold(const ScpiCommand &command, int) {
    RunSettingsModel *model = target.run->settings_model();
    long long value = 0;
    if (command.query) {
        if (expect_args(command, 0, 0))
            reply(std::to_string(model->run().event_threshold));
    } else if (integer_arg(command, 0, spin_max, value)) {
        model->set_event_threshold(int(value));
    }
}

void ScpiSession::acquire_state(const ScpiCommand &command, int) {
    if (!expect_args(command, 0, 0))
        return;
    const RunController *run = target.run;
    const RunSettings &settings = run->settings_model()->run();
    const char *state = run->state() == RunController::Running    ? "RUNNING"
                        : run->state() == RunController::Stopping ? "STOPPING"
                                                                  : "IDLE";
    const int of = settings.accumulate ? settings.iterations : 0;
    uint64_t number = run->run_record().exposures_completed;
    if (run->state() != RunController::Idle)
        number = settings.accumulate ? uint64_t(std::max(0, of - run->iterations_left() + 1))
                                     : run->losses().exposures() + 1;
    const double elapsed = run->state() == RunController::Idle ? 0.0 : hold->exposure_elapsed_s();
    reply(std::string(state) + "," + std::to_string(number) + "," + std::to_string(of) + "," +
          scpi::format_real(elapsed) + "," + std::to_string(run->event_total()) + "," +
          std::to_string(run->losses().run_lost_total()));
}

void ScpiSession::histo_start(const ScpiCommand &command, int) {
    RunSettingsModel *model = target.run->settings_model();
    long long value = 0;
    if (command.query) {
        if (expect_args(command, 0, 0))
            reply(std::to_string(model->histo_start_ns()));
    } else if (integer_arg(command, 0, spin_max, value)) {
        model->set_histo_start_ns(int(value));
    }
}

void ScpiSession::histo_window(const ScpiCommand &command, int) {
    RunSettingsModel *model = target.run->settings_model();
    long long value = 0;
    if (command.query) {
        if (expect_args(command, 0, 0))
            reply(std::to_string(model->histo_size_ns()));
    } else if (integer_arg(command, 0, spin_max, value)) {
        model->set_histo_size_ns(int(value));
    }
}

void ScpiSession::histo_binning(const ScpiCommand &command, int) {
    RunSettingsModel *model = target.run->settings_model();
    long long value = 0;
    if (command.query) {
        if (expect_args(command, 0, 0))
            reply(std::to_string(model->binning()));
    } else if (integer_arg(command, 0, binning_max, value)) {
        model->set_binning(uint32_t(value));
    }
}

// Bin width and points of the settings as they stand: what the next
// exposure fills and a fetch after it returns.
void ScpiSession::histo_bin_width(const ScpiCommand &command, int) {
    if (expect_args(command, 0, 0))
        reply(scpi::format_real(
            HistoGeometry(target.run->settings_model()->histo_params(target.tdc->get_binsize()))
                .bin_width()));
}

void ScpiSession::histo_points(const ScpiCommand &command, int) {
    if (expect_args(command, 0, 0))
        reply(std::to_string(
            HistoGeometry(target.run->settings_model()->histo_params(target.tdc->get_binsize()))
                .bins()));
}

// ---- the run -----------------------------------------------------------------

// Refusals are checked here first, so that a refused start is a queued
// error rather than a message box in front of the windows.
void ScpiSession::initiate(const ScpiCommand &command, int) {
    if (!expect_args(command, 0, 0))
        return;
    RunController *run = target.run;
    if (run->state() != RunController::Idle) {
        error(-213, "a run is going");
        return;
    }
    if (!device_ready())
        return;
    const HistoParams next = run->settings_model()->histo_params(target.tdc->get_binsize());
    QString refusal = RunController::settings_refusal(next);
    if (refusal.isEmpty())
        refusal = RunController::memory_refusal(*target.tdc, next);
    if (!refusal.isEmpty()) {
        error(-221, refusal.toStdString());
        return;
    }
    run->start();
    if (run->state() == RunController::Idle)
        error(-200, target.tdc->get_error_message().toStdString());
}

void ScpiSession::abort(const ScpiCommand &command, int) {
    if (expect_args(command, 0, 0))
        target.run->stop();
}

// ---- fetching ----------------------------------------------------------------

void ScpiSession::fetch_counts(const ScpiCommand &command, int) {
    if (!expect_args(command, 0, 0))
        return;
    const auto &last = target.run->last_result();
    reply(counts_text(last ? last->counts() : ChannelCounts{}));
}

void ScpiSession::fetch_loss(const ScpiCommand &command, int) {
    if (!expect_args(command, 0, 0))
        return;
    ChannelCounts lost{};
    const auto &run_lost = target.run->losses().run_lost();
    std::copy(run_lost.begin(), run_lost.end(), lost.begin());
    reply(counts_text(lost));
}

void ScpiSession::fetch_histogram(const ScpiCommand &command, int) {
    long long channel = 0;
    if (!integer_arg(command, 0, channel_count - 1, channel))
        return;
    std::shared_ptr<FetchSnapshot> snap = hold->current();
    if (!snap) {
        error(-221, "no completed exposure to fetch");
        return;
    }
    reply_block(std::make_shared<HistogramBlock>(snap, std::size_t(channel)));
}

void ScpiSession::fetch_axis(const ScpiCommand &command, int) {
    if (!expect_args(command, 0, 0))
        return;
    std::shared_ptr<FetchSnapshot> snap = hold->current();
    if (!snap) {
        error(-221, "no completed exposure to fetch");
        return;
    }
    reply_block(std::make_shared<AxisBlock>(snap->params, snap->axis_points()));
}

// ---- device settings -----------------------------------------------------------

void ScpiSession::channel_shift(const ScpiCommand &command, int suffix) {
    if (suffix < 0 || suffix >= int(channel_count)) {
        error(-222, "channel 0 to 15");
        return;
    }
    long long value = 0;
    if (command.query ? !expect_args(command, 0, 0)
                      : !integer_arg(command, correction_min, correction_max, value))
        return;
    if (!device_ready())
        return;
    std::vector<int32_t> corrections;
    int32_t rc = target.tdc->get_corrections(corrections);
    if (rc < 0)
        return device_failure(rc);
    if (std::size_t(suffix) >= corrections.size()) {
        error(-222, "the device has " + std::to_string(corrections.size()) + " channel shifts");
        return;
    }
    if (command.query) {
        reply(std::to_string(corrections[std::size_t(suffix)]));
        return;
    }
    corrections[std::size_t(suffix)] = int32_t(value);
    rc = target.tdc->set_corrections(corrections);
    if (rc < 0)
        device_failure(rc);
}

void ScpiSession::pot_threshold(const ScpiCommand &command, int) {
    pot_register(command, EpotSettings::reg_threshold);
}

void ScpiSession::pot_zero(const ScpiCommand &command, int) {
    pot_register(command, EpotSettings::reg_zero);
}

void ScpiSession::pot_register(const ScpiCommand &command, uint8_t reg) {
    long long value = 0;
    if (command.query ? !expect_args(command, 0, 0) : !integer_arg(command, 0, 255, value))
        return;
    if (!device_ready())
        return;
    if (command.query) {
        // The register pointer first, then the register's byte.
        uint8_t buffer[2] = {reg, 0};
        int32_t rc = target.tdc->twi_write(EpotSettings::bus_address, buffer, 1, keep_bus);
        if (rc >= 0)
            rc = target.tdc->twi_read(EpotSettings::bus_address, buffer, 1, end_transfer);
        if (rc < 0)
            return device_failure(rc);
        reply(std::to_string(buffer[0]));
        return;
    }
    uint8_t bytes[2] = {reg, uint8_t(value)};
    const int32_t rc = target.tdc->twi_write(EpotSettings::bus_address, bytes, 2, end_transfer);
    if (rc < 0)
        device_failure(rc);
}

// ---- export ------------------------------------------------------------------

void ScpiSession::store_data(const ScpiCommand &command, int) {
    if (!expect_args(command, 1, 2))
        return;
    std::string prefix;
    if (!scpi::parse_string(command.args[0], prefix) || prefix.empty()) {
        error(-100, "a quoted file prefix is expected");
        return;
    }
    const bool filter = command.args.size() == 2;
    if (filter && !scpi::word_matches("FILTer", command.args[1])) {
        error(-100, "FILTer or nothing is expected after the prefix");
        return;
    }
    const RunController *run = target.run;
    if (run->state() != RunController::Idle) {
        error(-221, "the run is still going");
        return;
    }
    const auto &last = run->last_result();
    if (!last) {
        error(-221, "no completed exposure to store");
        return;
    }
    const ExportSnapshot snap = HistoExport::snapshot(*last, run->run_record());
    if (!HistoExport::has_data(snap)) {
        error(-221, "no histograms to store");
        return;
    }
    const QString name = QString::fromStdString(prefix);
    const ExportResult result =
        HistoExport::write_prefix(snap, name, filter, HistoExport::prefix_stale_files(snap, name));
    if (!result.ok)
        error(-200, result.message.toStdString());
}

// ---- recording -------------------------------------------------------------

bool ScpiSession::recorder_ready() {
    const auto &r = target.recording;
    if (r.start && r.stop && r.is_on && r.file && r.events_written && r.events_missing)
        return true;
    error(-200, "this program records no events");
    return false;
}

// The file of the recording under way, or the one chosen for the next; a
// recording always goes to a new file.
void ScpiSession::record_file(const ScpiCommand &command, int) {
    if (!recorder_ready())
        return;
    const auto &r = target.recording;
    if (command.query) {
        if (expect_args(command, 0, 0))
            reply(scpi::quote_string((r.is_on() ? r.file() : record_path).toStdString()));
        return;
    }
    if (!expect_args(command, 1, 1))
        return;
    std::string text;
    if (!scpi::parse_string(command.args[0], text) || text.empty()) {
        error(-100, "a quoted file name is expected");
        return;
    }
    if (r.is_on()) {
        error(-221, "recording is on: turn it off before choosing another file");
        return;
    }
    const QString path = QFileInfo(QString::fromStdString(text)).absoluteFilePath();
    if (QFileInfo::exists(path)) {
        error(-221, "the file exists: a recording goes to a new file");
        return;
    }
    record_path = path;
}

void ScpiSession::record_state(const ScpiCommand &command, int) {
    if (!recorder_ready())
        return;
    const auto &r = target.recording;
    if (command.query) {
        if (expect_args(command, 0, 0))
            reply(r.is_on() ? "1" : "0");
        return;
    }
    bool on = false;
    if (!bool_arg(command, on) || on == r.is_on())
        return;
    if (!on) {
        r.stop();
        return;
    }
    if (record_path.isEmpty()) {
        error(-221, "no file chosen: RECord:FILE first");
        return;
    }
    const QString refusal = r.start(record_path);
    if (!refusal.isEmpty()) {
        error(-200, refusal.toStdString());
        return;
    }
    record_path.clear(); // used: the next recording needs a new file
}

void ScpiSession::record_count(const ScpiCommand &command, int) {
    if (!recorder_ready() || !expect_args(command, 0, 0))
        return;
    const auto &r = target.recording;
    reply(std::to_string(r.events_written()) + "," + std::to_string(r.events_missing()));
}
