// The frame queue: every frame the reader publishes, kept for a consumer that
// must not miss one (a recording), apart from the newest-frame hand-off of the
// reads. A bounded ring of preallocated frames: when it is full the oldest
// frame goes, and every frame lost that way is counted.
//
// Thread safety: every operation takes the queue's own lock, so any of them
// may run on any thread while the others run. The thread that pushes never
// waits for a consumer's allocation: `take` sizes its batch outside the lock
// and only copies inside it, and `resize` builds the new ring outside it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "nervlane_comm/frame.h"

namespace nervlane_comm {

class FrameQueue {
public:
    // Whether frames are kept: a capacity above 0 is set. Throws
    // std::system_error (lock failures), as every operation here does.
    bool active() const;

    // Frames waiting to be taken.
    std::size_t size() const;

    // Frames lost since the queue was made: pushed out of a full ring, or cut
    // by a smaller capacity.
    std::uint64_t dropped() const;

    // Keeps at most `capacity` frames from now on, and of those waiting the
    // newest that fit; the ones cut are counted as dropped. 0 stops queuing
    // and frees the ring (its frames go uncounted: nobody wants them any
    // more). Every slot of a new ring has room for a frame of `readings` raw
    // and `outputs` calibrated values, so pushing such frames allocates
    // nothing. Throws std::bad_alloc, changing nothing.
    void resize(std::size_t capacity, std::size_t readings, std::size_t outputs);

    // Appends a frame, dropping the oldest when the ring is full; does nothing
    // while stopped. Allocates only for a frame larger than its slot has held.
    // Throws std::bad_alloc, changing nothing.
    void push(std::uint64_t sequence, std::chrono::steady_clock::time_point time, const std::vector<double>& raw,
              const std::vector<double>& values);

    // Moves up to `max_frames` frames (0: all) into `out`, oldest first,
    // stopping before the first frame of another shape, and returns how many.
    // Returns 0 when nothing is waiting or the queue is stopped; `out` may
    // then have been resized, but nothing was taken into it.
    // Throws std::bad_alloc, with no frame taken.
    std::size_t take(FrameBatch& out, std::size_t max_frames);

private:
    bool same_shape_locked(std::size_t index, std::size_t readings, std::size_t outputs) const;

    mutable std::mutex mutex_;
    // Guarded by mutex_: ring_.size() slots (none while stopped) whose vectors
    // keep their capacity from frame to frame.
    std::vector<Frame> ring_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    std::uint64_t dropped_ = 0;
};

}  // namespace nervlane_comm
