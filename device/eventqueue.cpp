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
    // An exposure that never saw its end still hands over what it filled.
    publish();
    current = number;
    dropped_in_exposure = 0;
}

void EventQueue::publish() {
    if (!filling)
        return;
    filling = false;
    head.store(head.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

void EventQueue::push(const TdcEvent *events, size_t count) {
    uint64_t copied = 0;
    while (count > 0) {
        // Only the consumer's tail needs acquiring: the block it released is
        // no longer read when it is refilled.
        const uint64_t h = head.load(std::memory_order_relaxed);
        if (!filling) {
            if (h - tail.load(std::memory_order_acquire) >= block_slots) {
                // No free block: the rest of this delivery is lost whole.
                dropped_in_exposure += count;
                dropped_total.fetch_add(count, std::memory_order_relaxed);
                break;
            }
            Block &fresh = blocks[h % block_slots];
            fresh.exposure = current;
            fresh.count = 0;
            filling = true;
        }
        Block &block = blocks[h % block_slots];
        const size_t n = std::min(count, capacity_events - block.count);
        uint8_t *channel = block.channel.get() + block.count;
        uint64_t *time = block.time.get() + block.count;
        for (size_t i = 0; i < n; ++i) {
            channel[i] = uint8_t(events[i].channel);
            time[i] = events[i].time;
        }
        block.count += n;
        copied += n;
        events += n;
        count -= n;
        if (block.count == capacity_events)
            publish();
    }
    if (copied)
        pushed.fetch_add(copied, std::memory_order_relaxed);
}

void EventQueue::end_exposure() {
    publish();
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
