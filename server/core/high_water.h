// The high-water edges of an output queue, kept by the queue itself
// (output_queue.h, byte_stream.h): the queue notes every crossing of its
// mark, either way, as its size changes; its owner asks once per report
// whether there was one, and tells whoever pauses its producers.
//
// Every crossing counts, also one that is undone before the owner asks: a
// producer paused on seeing the queue over the mark waits for the word to
// resume, even when the queue drained again within the same loop iteration.
//
// Threading: single-threaded, on the thread of the queue that holds it.
#pragma once

#include <cstddef>

namespace cliserver {

class HighWaterEdges {
  public:
    explicit HighWaterEdges(size_t mark) : mark_(mark) {}

    // After every change of the queue's size.
    void update(size_t pending) {
        const bool over = pending >= mark_;
        if (over != over_) crossed_ = true;
        over_ = over;
    }
    bool over() const { return over_; }
    // Whether the mark was crossed since the last call.
    bool take() {
        const bool crossed = crossed_;
        crossed_ = false;
        return crossed;
    }

  private:
    size_t mark_;
    bool over_ = false;
    bool crossed_ = false;
};

} // namespace cliserver
