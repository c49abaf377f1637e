#include "fakeoxtdc.h"

#include <cstring>
#include <thread>

FakeOxTdc &FakeOxTdc::instance() {
    static FakeOxTdc fake;
    return fake;
}

FakeOxTdc::FakeOxTdc() {
    reset();
}

void FakeOxTdc::reset() {
    std::lock_guard<std::mutex> lock(mutex);
    queued.clear();
    defaults = {
        {"ox_tdc_init_inifile", 0},     {"ox_tdc_deinit2", 0},    {"ox_tdc_get_binsize2", 0},
        {"ox_tdc_start_measure2", 0},   {"ox_tdc_interrupt2", 0}, {"ox_tdc_get_corrections2", 0},
        {"ox_tdc_set_corrections2", 0}, {"ox_twi_read2", 0},      {"ox_twi_write2", 0},
        {"ox_pipe_open2", 3},           {"ox_pipe_close2", 0},    {"ox_get_err_msg", 0},
    };
    log.clear();
    binsize = 0.5;
    device_corrections.clear();
    twi_bytes.clear();
    texts.clear();
    pipe_open = false;
    table = PipeCallbacks{};
    auto_exposure = nullptr;
}

void FakeOxTdc::queue_result(const std::string &name, int result, int times) {
    std::lock_guard<std::mutex> lock(mutex);
    for (int i = 0; i < times; ++i)
        queued[name].push_back(result);
}

void FakeOxTdc::set_default_result(const std::string &name, int result) {
    std::lock_guard<std::mutex> lock(mutex);
    defaults[name] = result;
}

std::vector<FakeCall> FakeOxTdc::calls() const {
    std::lock_guard<std::mutex> lock(mutex);
    return log;
}

std::vector<FakeCall> FakeOxTdc::calls_of(const std::string &name) const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<FakeCall> out;
    for (const FakeCall &c : log)
        if (c.name == name)
            out.push_back(c);
    return out;
}

int FakeOxTdc::count(const std::string &name) const {
    return static_cast<int>(calls_of(name).size());
}

void FakeOxTdc::clear_calls() {
    std::lock_guard<std::mutex> lock(mutex);
    log.clear();
}

void FakeOxTdc::set_binsize(double ns) {
    std::lock_guard<std::mutex> lock(mutex);
    binsize = ns;
}

void FakeOxTdc::set_corrections(const std::vector<int> &values) {
    std::lock_guard<std::mutex> lock(mutex);
    device_corrections = values;
}

std::vector<int> FakeOxTdc::corrections() const {
    std::lock_guard<std::mutex> lock(mutex);
    return device_corrections;
}

void FakeOxTdc::queue_twi_read_bytes(const std::vector<unsigned char> &bytes) {
    std::lock_guard<std::mutex> lock(mutex);
    twi_bytes.insert(twi_bytes.end(), bytes.begin(), bytes.end());
}

void FakeOxTdc::set_error_text(int code, const std::string &text) {
    std::lock_guard<std::mutex> lock(mutex);
    texts[code] = text;
}

bool FakeOxTdc::pipe_is_open() const {
    std::lock_guard<std::mutex> lock(mutex);
    return pipe_open;
}

PipeCallbacks FakeOxTdc::callbacks() const {
    std::lock_guard<std::mutex> lock(mutex);
    return table;
}

int FakeOxTdc::take_result(const std::string &name, std::vector<long long> args,
                           std::vector<unsigned char> bytes) {
    std::lock_guard<std::mutex> lock(mutex);
    log.push_back(
        FakeCall{name, std::move(args), std::move(bytes), std::chrono::steady_clock::now()});
    auto q = queued.find(name);
    if (q != queued.end() && !q->second.empty()) {
        const int r = q->second.front();
        q->second.pop_front();
        return r;
    }
    return defaults[name];
}

void FakeOxTdc::record_pipe(const PipeCallbacks *callbacks, bool open) {
    std::lock_guard<std::mutex> lock(mutex);
    pipe_open = open;
    table = open && callbacks ? *callbacks : PipeCallbacks{};
}

double FakeOxTdc::binsize_value() const {
    std::lock_guard<std::mutex> lock(mutex);
    return binsize;
}

std::string FakeOxTdc::error_text(int code) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = texts.find(code);
    return it != texts.end() ? it->second : "fake error " + std::to_string(code);
}

bool FakeOxTdc::take_twi_byte(unsigned char &byte) {
    std::lock_guard<std::mutex> lock(mutex);
    if (twi_bytes.empty())
        return false;
    byte = twi_bytes.front();
    twi_bytes.pop_front();
    return true;
}

void FakeOxTdc::store_corrections(const int *values, int count) {
    std::lock_guard<std::mutex> lock(mutex);
    device_corrections.assign(values, values + count);
}

void FakeOxTdc::set_auto_exposure(std::function<void()> play) {
    std::lock_guard<std::mutex> lock(mutex);
    auto_exposure = std::move(play);
}

void FakeOxTdc::run_auto_exposure() {
    std::function<void()> play;
    {
        std::lock_guard<std::mutex> lock(mutex);
        play = auto_exposure;
    }
    if (play)
        play();
}

void FakeOxTdc::run_on_library_thread(const std::function<void()> &work) {
    if (!pipe_is_open())
        return;
    std::thread library(work);
    library.join();
}

void FakeOxTdc::deliver_start() {
    const PipeCallbacks cb = callbacks();
    run_on_library_thread([cb]() { cb.start_of_meas(cb.priv); });
}

void FakeOxTdc::deliver_events(const std::vector<TdcEvent> &events) {
    const PipeCallbacks cb = callbacks();
    run_on_library_thread([cb, &events]() { cb.events(cb.priv, events.data(), events.size()); });
}

void FakeOxTdc::deliver_statistics(const PipeStatistics &block) {
    const PipeCallbacks cb = callbacks();
    run_on_library_thread([cb, &block]() { cb.statistics(cb.priv, &block); });
}

void FakeOxTdc::deliver_end() {
    const PipeCallbacks cb = callbacks();
    run_on_library_thread([cb]() { cb.end_of_meas(cb.priv); });
}

void FakeOxTdc::play_exposure(const std::vector<TdcEvent> &events, const PipeStatistics &block) {
    const PipeCallbacks cb = callbacks();
    run_on_library_thread([cb, &events, &block]() {
        cb.start_of_meas(cb.priv);
        cb.events(cb.priv, events.data(), events.size());
        cb.statistics(cb.priv, &block);
        cb.end_of_meas(cb.priv);
    });
}

TdcEvent FakeOxTdc::make_event(uint32_t channel, uint64_t time) {
    TdcEvent e{};
    e.channel = channel;
    e.time = time;
    return e;
}

PipeStatistics FakeOxTdc::make_statistics(const std::vector<uint32_t> &counts) {
    PipeStatistics block{};
    for (size_t i = 0; i < counts.size() && i < 256; ++i)
        block.words[i] = counts[i];
    return block;
}

// ---- the C entry points ----------------------------------------------------

extern "C" {

int ox_tdc_init_inifile(const char *ini_path_utf8) {
    (void)ini_path_utf8;
    return FakeOxTdc::instance().take_result(
        "ox_tdc_init_inifile", {},
        ini_path_utf8
            ? std::vector<unsigned char>(ini_path_utf8, ini_path_utf8 + std::strlen(ini_path_utf8))
            : std::vector<unsigned char>{});
}

int ox_tdc_deinit2(int dev) {
    return FakeOxTdc::instance().take_result("ox_tdc_deinit2", {dev});
}

int ox_tdc_get_binsize2(int dev, double *binsize_ns) {
    FakeOxTdc &fake = FakeOxTdc::instance();
    const int r = fake.take_result("ox_tdc_get_binsize2", {dev});
    if (r >= 0 && binsize_ns)
        *binsize_ns = fake.binsize_value();
    return r;
}

int ox_tdc_start_measure2(int dev, int exposure_ms) {
    FakeOxTdc &fake = FakeOxTdc::instance();
    const int r = fake.take_result("ox_tdc_start_measure2", {dev, exposure_ms});
    if (r >= 0)
        fake.run_auto_exposure();
    return r;
}

int ox_tdc_interrupt2(int dev) {
    return FakeOxTdc::instance().take_result("ox_tdc_interrupt2", {dev});
}

int ox_tdc_get_corrections2(int dev, int *count, int *values) {
    FakeOxTdc &fake = FakeOxTdc::instance();
    const int r =
        fake.take_result("ox_tdc_get_corrections2", {dev, count ? *count : -1, values ? 1 : 0});
    if (r < 0 || count == nullptr)
        return r;
    const std::vector<int> stored = fake.corrections();
    if (values == nullptr) {
        *count = static_cast<int>(stored.size());
    } else {
        for (int i = 0; i < *count && i < static_cast<int>(stored.size()); ++i)
            values[i] = stored[static_cast<size_t>(i)];
    }
    return r;
}

int ox_tdc_set_corrections2(int dev, int count, const int *values, int reserved) {
    FakeOxTdc &fake = FakeOxTdc::instance();
    std::vector<unsigned char> bytes;
    if (values && count > 0)
        bytes.assign(reinterpret_cast<const unsigned char *>(values),
                     reinterpret_cast<const unsigned char *>(values + count));
    const int r = fake.take_result("ox_tdc_set_corrections2", {dev, count, reserved}, bytes);
    if (r >= 0 && values && count >= 0)
        fake.store_corrections(values, count);
    return r;
}

int ox_twi_read2(int dev, unsigned char address, unsigned char *buffer, int length, int flag) {
    FakeOxTdc &fake = FakeOxTdc::instance();
    const int r = fake.take_result("ox_twi_read2", {dev, address, length, flag});
    if (r >= 0 && buffer) {
        for (int i = 0; i < length; ++i) {
            unsigned char b = 0;
            fake.take_twi_byte(b);
            buffer[i] = b;
        }
    }
    return r;
}

int ox_twi_write2(int dev, unsigned char address, unsigned char *buffer, int length, int flag) {
    std::vector<unsigned char> bytes;
    if (buffer && length > 0)
        bytes.assign(buffer, buffer + length);
    return FakeOxTdc::instance().take_result("ox_twi_write2", {dev, address, length, flag}, bytes);
}

int ox_pipe_open2(int dev, int type, void *args) {
    FakeOxTdc &fake = FakeOxTdc::instance();
    const int r = fake.take_result("ox_pipe_open2", {dev, type});
    if (r >= 0 && args) {
        const auto *pipe_args = static_cast<const PipeCallbackArgs *>(args);
        fake.record_pipe(pipe_args->callbacks, true);
    }
    return r;
}

int ox_pipe_close2(int dev, int pipe) {
    FakeOxTdc &fake = FakeOxTdc::instance();
    const int r = fake.take_result("ox_pipe_close2", {dev, pipe});
    fake.record_pipe(nullptr, false);
    return r;
}

int ox_get_err_msg(int code, char *buffer) {
    FakeOxTdc &fake = FakeOxTdc::instance();
    fake.take_result("ox_get_err_msg", {code});
    if (buffer) {
        const std::string text = fake.error_text(code);
        std::strncpy(buffer, text.c_str(), OX_ERR_MSG_SIZE - 1);
        buffer[OX_ERR_MSG_SIZE - 1] = '\0';
    }
    return 0;
}

} // extern "C"
