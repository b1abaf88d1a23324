// The frame queue's ring: pushing, resizing and taking batches under its own lock.
#include "frame_queue.h"

#include <algorithm>
#include <utility>

namespace nervlane_comm {

bool FrameQueue::active() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !ring_.empty();
}

std::size_t FrameQueue::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
}

std::uint64_t FrameQueue::dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

void FrameQueue::resize(std::size_t capacity, std::size_t readings, std::size_t outputs) {
    // Built outside the lock, so that a push never waits for this allocation
    // nor has to make its own later.
    std::vector<Frame> ring(capacity);
    for (Frame& slot : ring) {
        slot.raw.reserve(readings);
        slot.values.reserve(outputs);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::size_t kept = std::min(count_, capacity);
        if (capacity != 0) dropped_ += count_ - kept;
        const std::size_t first = head_ + (count_ - kept);
        for (std::size_t i = 0; i < kept; ++i) std::swap(ring[i], ring_[(first + i) % ring_.size()]);
        ring_.swap(ring);
        head_ = 0;
        count_ = kept;
    }
    // The old ring is freed here, outside the lock.
}

void FrameQueue::push(std::uint64_t sequence, std::chrono::steady_clock::time_point time,
                      const std::vector<double>& raw, const std::vector<double>& values) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ring_.empty()) return;
    // Full: the pusher never waits for a consumer, the oldest frame's slot
    // takes the new one.
    const bool full = count_ == ring_.size();
    Frame& slot = ring_[full ? head_ : (head_ + count_) % ring_.size()];
    // Room first: when it cannot be had, the slot still holds its frame whole.
    slot.raw.reserve(raw.size());
    slot.values.reserve(values.size());
    slot.sequence = sequence;
    slot.time = time;
    slot.raw.assign(raw.begin(), raw.end());
    slot.values.assign(values.begin(), values.end());
    if (full) {
        head_ = (head_ + 1) % ring_.size();
        ++dropped_;
    } else {
        ++count_;
    }
}

bool FrameQueue::same_shape_locked(std::size_t index, std::size_t readings, std::size_t outputs) const {
    return ring_[index].raw.size() == readings && ring_[index].values.size() == outputs;
}

std::size_t FrameQueue::take(FrameBatch& out, std::size_t max_frames) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (count_ == 0) return 0;
        // Counted and sized first, then filled: a push waits for the copy
        // only, never for this allocation.
        const std::size_t readings = ring_[head_].raw.size();
        const std::size_t outputs = ring_[head_].values.size();
        const std::size_t limit = max_frames == 0 ? count_ : std::min(max_frames, count_);
        std::size_t n = 1;
        while (n < limit && same_shape_locked((head_ + n) % ring_.size(), readings, outputs)) ++n;
        lock.unlock();
        out.readings = readings;
        out.outputs = outputs;
        out.sequence.resize(n);
        out.time.resize(n);
        out.raw.resize(n * readings);
        out.values.resize(n * outputs);
        lock.lock();
        // Frames may have been dropped, or the ring replaced, meanwhile; what
        // is at the head now is taken, as long as it has the shape counted.
        std::size_t taken = 0;
        while (taken < n && count_ != 0 && same_shape_locked(head_, readings, outputs)) {
            const Frame& frame = ring_[head_];
            out.sequence[taken] = frame.sequence;
            out.time[taken] = frame.time;
            std::copy(frame.raw.begin(), frame.raw.end(), out.raw.data() + taken * readings);
            std::copy(frame.values.begin(), frame.values.end(), out.values.data() + taken * outputs);
            head_ = (head_ + 1) % ring_.size();
            --count_;
            ++taken;
        }
        if (taken == 0) continue;  // every frame counted went meanwhile: look again
        lock.unlock();
        out.sequence.resize(taken);
        out.time.resize(taken);
        out.raw.resize(taken * readings);
        out.values.resize(taken * outputs);
        return taken;
    }
}

}  // namespace nervlane_comm
