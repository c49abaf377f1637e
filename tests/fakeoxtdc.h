#ifndef FAKEOXTDC_H
#define FAKEOXTDC_H

// A stand-in for the device library: each C entry point logs its call and answers from its queue
// of results (then 0; ox_pipe_open2: 3), on the test's thread only. Callbacks run, while a pipe is
// open, on a std::thread joined before the call returns (so queued signals are posted by then).

#include "device/oxtdc1.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

struct FakeCall {
    std::string name;                 // entry point, e.g. "ox_tdc_start_measure2"
    std::vector<long long> args;      // integer arguments in order (pointers excluded)
    std::vector<unsigned char> bytes; // path (init), bytes sent (twi write), values (set)
};

class FakeOxTdc {
    using Cb = const PipeCallbacks &;

public:
    static FakeOxTdc &instance();
    void reset() { *this = FakeOxTdc(); }
    void queue_result(const std::string &name, int result, int times = 1) {
        queued[name].insert(queued[name].end(), size_t(times), result);
    }
    std::vector<FakeCall> calls() const { return log; }
    std::vector<FakeCall> calls_of(const std::string &name) const {
        std::vector<FakeCall> out;
        for (const FakeCall &c : log)
            if (c.name == name)
                out.push_back(c);
        return out;
    }
    int count(const std::string &name) const { return int(calls_of(name).size()); }
    void clear_calls() { log.clear(); }

    // ox_twi_read2 hands out `twi_bytes`, then zeros; ox_get_err_msg: "fake error <code>" if unset.
    void set_binsize(double ns) { binsize = ns; }
    void set_corrections(const std::vector<int> &values) { corrections = values; }
    void queue_twi_read_bytes(const std::vector<unsigned char> &b) {
        twi_bytes.insert(twi_bytes.end(), b.begin(), b.end());
    }
    void set_error_text(int code, const std::string &text) { texts[code] = text; }

    void deliver_start() {
        on_library_thread([](Cb cb) { cb.start_of_meas(cb.priv); });
    }
    void deliver_events(const std::vector<TdcEvent> &e) {
        on_library_thread([&](Cb cb) { cb.events(cb.priv, e.data(), e.size()); });
    }
    void deliver_end() {
        on_library_thread([](Cb cb) { cb.end_of_meas(cb.priv); });
    }
    // Start, events, statistics and end in one go on one thread.
    void play_exposure(const std::vector<TdcEvent> &events, const PipeStatistics &block) {
        on_library_thread([&](Cb cb) {
            cb.start_of_meas(cb.priv);
            cb.events(cb.priv, events.data(), events.size());
            cb.statistics(cb.priv, &block);
            cb.end_of_meas(cb.priv);
        });
    }
    // Channel 0's events at 100, 200 and 300 device bins, channel 1's at 40.
    void play_sample_exposure(const std::vector<uint32_t> &counts = {3, 1}) {
        play_exposure(
            {make_event(0, 100), make_event(0, 200), make_event(0, 300), make_event(1, 40)},
            make_statistics(counts));
    }
    // When set, every successful ox_tdc_start_measure2 runs this before it returns.
    void set_auto_exposure(std::function<void()> play) { auto_exposure = std::move(play); }

    static TdcEvent make_event(uint32_t channel, uint64_t time) {
        return TdcEvent{0, channel, {}, time, 0};
    }
    static PipeStatistics make_statistics(const std::vector<uint32_t> &counts) {
        PipeStatistics block{};
        std::copy_n(counts.begin(), std::min<size_t>(counts.size(), 256), block.words);
        return block;
    }

    int take_result(const std::string &name, std::vector<long long> args,
                    std::vector<unsigned char> bytes = {}) {
        log.push_back({name, std::move(args), std::move(bytes)});
        std::deque<int> &q = queued[name];
        if (q.empty())
            return name == "ox_pipe_open2" ? 3 : 0;
        const int r = q.front();
        q.pop_front();
        return r;
    }

    double binsize = 0.5;
    std::vector<int> corrections;
    std::deque<unsigned char> twi_bytes;
    std::map<int, std::string> texts;
    bool pipe_open = false;
    PipeCallbacks table{};
    std::function<void()> auto_exposure;

private:
    FakeOxTdc() = default;
    void on_library_thread(const std::function<void(Cb)> &work) {
        const PipeCallbacks cb = table;
        if (pipe_open)
            std::thread([&] { work(cb); }).join();
    }

    std::map<std::string, std::deque<int>> queued;
    std::vector<FakeCall> log;
};

#endif // FAKEOXTDC_H
