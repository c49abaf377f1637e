#ifndef FAKEOXTDC_H
#define FAKEOXTDC_H

// A scriptable stand-in for the device library, linked into the unit tests in
// place of a real or simulated device. Every C entry point records its call and
// answers from a queue of results per entry point (or a default). The test
// plays the library's thread itself: start, events, statistics and end
// callbacks are delivered from a std::thread on demand, through the callback
// table that the program handed to ox_pipe_open2.

#include "oxtdc1.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct FakeCall {
    std::string name;                 // entry point, e.g. "ox_tdc_start_measure2"
    std::vector<long long> args;      // integer arguments in order (pointers excluded)
    std::vector<unsigned char> bytes; // bytes sent (twi write) or values (set corrections)
    std::chrono::steady_clock::time_point when;
};

class FakeOxTdc {
public:
    static FakeOxTdc &instance();

    // Back to a fresh library: no queued results, no calls, default data.
    void reset();

    // The next call of `name` answers `result`; queued results are used in order,
    // after them the default result of that entry point.
    void queue_result(const std::string &name, int result, int times = 1);
    void set_default_result(const std::string &name, int result);

    std::vector<FakeCall> calls() const;
    std::vector<FakeCall> calls_of(const std::string &name) const;
    int count(const std::string &name) const;
    void clear_calls();

    // Device data the entry points answer with.
    void set_binsize(double ns);
    void set_corrections(const std::vector<int> &values);
    std::vector<int> corrections() const;
    // Bytes handed out by ox_twi_read2, consumed in order; zeros when empty.
    void queue_twi_read_bytes(const std::vector<unsigned char> &bytes);
    // Text of ox_get_err_msg for a code; others get "fake error <code>".
    void set_error_text(int code, const std::string &text);

    // The pipe as the program opened it.
    bool pipe_is_open() const;
    PipeCallbacks callbacks() const;

    // Playing the library's thread. Each call runs on a new std::thread that is
    // joined before the call returns, so the program's queued signal is posted
    // by then. Nothing happens when no pipe is open.
    void deliver_start();
    void deliver_events(const std::vector<TdcEvent> &events);
    void deliver_statistics(const PipeStatistics &block);
    void deliver_end();
    // Start, events, statistics and end in one go on one thread.
    void play_exposure(const std::vector<TdcEvent> &events, const PipeStatistics &block);
    // When set, every successful ox_tdc_start_measure2 plays this exposure on the
    // library's thread before it returns (handy for automatic runs).
    void set_auto_exposure(std::function<void()> play);

    // Internal: used by the C entry points.
    int take_result(const std::string &name, std::vector<long long> args,
                    std::vector<unsigned char> bytes = {});
    void record_pipe(const PipeCallbacks *callbacks, bool open);
    double binsize_value() const;
    std::string error_text(int code) const;
    bool take_twi_byte(unsigned char &byte);
    void store_corrections(const int *values, int count);
    void run_auto_exposure();

    static TdcEvent make_event(uint32_t channel, uint64_t time);
    static PipeStatistics make_statistics(const std::vector<uint32_t> &counts);

private:
    FakeOxTdc();
    void run_on_library_thread(const std::function<void()> &work);

    mutable std::mutex mutex;
    std::map<std::string, std::deque<int>> queued;
    std::map<std::string, int> defaults;
    std::vector<FakeCall> log;
    double binsize = 0.5;
    std::vector<int> device_corrections;
    std::deque<unsigned char> twi_bytes;
    std::map<int, std::string> texts;
    bool pipe_open = false;
    PipeCallbacks table{};
    std::function<void()> auto_exposure;
};

#endif // FAKEOXTDC_H
