// The bytes a decoder has read but not yet taken out, written once for the
// agents' frames and the operator protocol. Bytes are appended at the end
// and consumed from the front; the consumed prefix is dropped once it
// dominates, so the buffer stays near one message in size however long a
// connection lives, and a drained buffer gives its memory back (beyond what
// its owner chooses to keep for the next read).
//
// Threading: none of its own; it belongs to one connection's decoder.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace cliserver {

class ReadBuffer {
  public:
    // keep: capacity a drained buffer may hold on to (0: none at all).
    explicit ReadBuffer(size_t keep = 0) : keep_(keep) {}

    void append(const char *data, size_t n) {
        if (pos_ > 0 && pos_ >= buf_.size() / 2) {
            buf_.erase(0, pos_);
            pos_ = 0;
        }
        buf_.append(data, n);
    }
    // The unconsumed bytes.
    std::string_view view() const { return std::string_view(buf_).substr(pos_); }
    size_t size() const { return buf_.size() - pos_; }
    size_t capacity() const { return buf_.capacity(); }
    const char *data() const { return buf_.data() + pos_; }

    void consume(size_t n) {
        pos_ += n;
        if (pos_ < buf_.size()) return;
        pos_ = 0;
        if (buf_.capacity() > keep_)
            std::string().swap(buf_);
        else
            buf_.clear();
    }
    // Drops everything and the memory with it.
    void release() {
        std::string().swap(buf_);
        pos_ = 0;
    }

  private:
    size_t keep_;
    std::string buf_;
    size_t pos_ = 0;
};

} // namespace cliserver
