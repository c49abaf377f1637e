#ifndef EVENTQUEUE_H
#define EVENTQUEUE_H

#include "device/oxtdc1.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

// A bounded single-producer, single-consumer queue that carries copies of the
// events the accumulator receives to a consumer on another thread (the event
// recorder). The producer is the device library's thread: it never
// allocates, locks or waits here. Every block is allocated up front and
// filled across deliveries; it is handed over when full or at the end of its
// exposure. When the consumer falls behind and no block is free, the events
// that would have gone into the next one are dropped and counted against
// their exposure, and the exposure's end carries that count to the consumer.
class EventQueue {
public:
    // Events of one exposure, in delivery order, as the device sent them.
    struct Block {
        uint64_t exposure = 0;
        size_t count = 0;
        std::unique_ptr<uint8_t[]> channel;
        std::unique_ptr<uint64_t[]> time;
    };
    // The end of an exposure and the events of it that never reached the queue.
    struct ExposureEnd {
        uint64_t exposure = 0;
        uint64_t dropped = 0;
    };

    // `blocks` blocks of `block_events` events each (both at least 1); the
    // record of exposure ends holds `ends` entries.
    EventQueue(size_t blocks, size_t block_events, size_t ends = 1024);
    EventQueue(const EventQueue &) = delete;
    EventQueue &operator=(const EventQueue &) = delete;

    size_t block_events() const { return capacity_events; }
    size_t block_count() const { return block_slots; }

    // Producer side (the device library's thread).
    void begin_exposure(uint64_t number);
    void push(const TdcEvent *events, size_t count);
    void end_exposure();

    // Consumer side: the oldest block, or null when none is waiting; pop()
    // hands it back to the producer.
    const Block *front() const;
    void pop();
    // The oldest exposure end not yet taken; false when none is waiting.
    bool take_end(ExposureEnd &out);

    // Totals since construction, readable from any thread.
    uint64_t pushed_events() const { return pushed.load(std::memory_order_relaxed); }
    uint64_t dropped_events() const { return dropped_total.load(std::memory_order_relaxed); }
    // Exposure ends that found their record full (their drop counts are lost
    // to the consumer, which then has to reckon them from the deliveries).
    uint64_t lost_ends() const { return ends_lost.load(std::memory_order_relaxed); }

private:
    // Hands the block being filled to the consumer.
    void publish();

    const size_t block_slots;
    const size_t capacity_events;
    const size_t end_slots;
    std::unique_ptr<Block[]> blocks;
    std::unique_ptr<ExposureEnd[]> ends;

    // Producer and consumer indices on cache lines of their own, so the two
    // threads do not invalidate each other's line at every event block.
    alignas(64) std::atomic<uint64_t> head{0}; // blocks published
    alignas(64) std::atomic<uint64_t> tail{0}; // blocks released
    alignas(64) std::atomic<uint64_t> ends_head{0};
    alignas(64) std::atomic<uint64_t> ends_tail{0};
    alignas(64) uint64_t current = 0; // producer only
    uint64_t dropped_in_exposure = 0; // producer only
    bool filling = false;             // producer only: the block at head is being filled
    std::atomic<uint64_t> pushed{0};
    std::atomic<uint64_t> dropped_total{0};
    std::atomic<uint64_t> ends_lost{0};
};

#endif // EVENTQUEUE_H
