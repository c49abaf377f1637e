#include "device/eventqueue.h"

#include <algorithm>

EventQueue::EventQueue(size_t block_count, size_t events_per_block, size_t end_count)
    : block_slots(std::max<size_t>(block_count, 1)),
      capacity_events(std::max<size_t>(events_per_block, 1)),
      end_slots(std::max<size_t>(end_count, 1)), blocks(new Block[block_slots]),
      ends(new ExposureEnd[end_slots]) {
    for (size_t i = 0; i < block_slots; ++i) {
        blocks[i].channel.reset(new uint8_t[capacity_events]);
        blocks[i].time.reset(new uint64_t[capacity_events]);
    }
}

void EventQueue::begin_exposure(uint64_t number) {
    current = number;
    dropped_in_exposure = 0;
}

void EventQueue::push(const TdcEvent *events, size_t count) {
    // The producer owns its head; only the consumer's tail needs acquiring,
    // so that the block it released is no longer read when it is refilled.
    uint64_t h = head.load(std::memory_order_relaxed);
    uint64_t published = 0;
    while (count > 0) {
        const size_t n = std::min(count, capacity_events);
        if (h - tail.load(std::memory_order_acquire) >= block_slots) {
            dropped_in_exposure += n;
            dropped_total.fetch_add(n, std::memory_order_relaxed);
        } else {
            Block &block = blocks[h % block_slots];
            block.exposure = current;
            block.count = n;
            uint8_t *channel = block.channel.get();
            uint64_t *time = block.time.get();
            for (size_t i = 0; i < n; ++i) {
                channel[i] = uint8_t(events[i].channel);
                time[i] = events[i].time;
            }
            ++h;
            head.store(h, std::memory_order_release);
            published += n;
        }
        events += n;
        count -= n;
    }
    if (published)
        pushed.fetch_add(published, std::memory_order_relaxed);
}

void EventQueue::end_exposure() {
    const uint64_t h = ends_head.load(std::memory_order_relaxed);
    if (h - ends_tail.load(std::memory_order_acquire) >= end_slots) {
        ends_lost.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    ends[h % end_slots] = ExposureEnd{current, dropped_in_exposure};
    ends_head.store(h + 1, std::memory_order_release);
}

const EventQueue::Block *EventQueue::front() const {
    const uint64_t t = tail.load(std::memory_order_relaxed);
    if (head.load(std::memory_order_acquire) == t)
        return nullptr;
    return &blocks[t % block_slots];
}

void EventQueue::pop() {
    const uint64_t t = tail.load(std::memory_order_relaxed);
    if (head.load(std::memory_order_acquire) != t)
        tail.store(t + 1, std::memory_order_release);
}

bool EventQueue::take_end(ExposureEnd &out) {
    const uint64_t t = ends_tail.load(std::memory_order_relaxed);
    if (ends_head.load(std::memory_order_acquire) == t)
        return false;
    out = ends[t % end_slots];
    ends_tail.store(t + 1, std::memory_order_release);
    return true;
}
