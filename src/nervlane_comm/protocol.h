// Frame decoders: one frame from the port into a vector of raw readings.
// The wire formats are described byte by byte in docs/wire-formats.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "aes.h"
#include "nervlane_comm/serial/serial.h"

namespace nervlane_comm {

// The unsigned 16-bit value of the first two bytes, the first byte low.
// The vector must hold at least two bytes.
std::uint16_t le16(const std::vector<std::uint8_t>& bytes);

// Protocol selectors of the parameter file.
constexpr std::int32_t kTextProtocol = 0;
constexpr std::int32_t kBinaryProtocol = 1;
constexpr std::int32_t kEncryptedProtocol = 2;

// What a decoder threw away, counted while it looks for frames.
struct DecoderCounts {
    // Bytes consumed that belong to no decoded frame: garbage or a stray
    // header before a frame start, the cut first line after a port opens, a
    // binary frame cut short by the port's time-out, a frame or text line
    // cut by the device going away, a text line left unfinished when its
    // stream ended.
    std::uint64_t bytes_discarded = 0;
    // Frames refused whole: a text line with a field that is no number or out
    // of range, a binary count or encrypted length of 0 or above 511. A
    // refused frame counts here only, not its bytes in `bytes_discarded`; the
    // payload left unread behind a refused count is searched for the next
    // header and so counts as discarded bytes.
    std::uint64_t frames_rejected = 0;
};

// Thread safety: a decoder belongs to one thread at a time (the reader
// thread) and takes no lock; different decoders share nothing.
class Protocol {
public:
    // Reads one frame. Returns true when a frame was decoded; `values` then
    // holds exactly its readings (possibly none: a rejected binary frame).
    // Returns false when no frame was decoded (nothing arrived, a stray header
    // word, a frame cut short by the port's time-out, a text line not yet
    // ended, a rejected text line);
    // what `values` holds then is described per decoder. Nothing is ever taken
    // from bytes that did not arrive, and a frame cut short is never published.
    // Throws what the port throws (serial::IOException,
    // serial::PortNotOpenedException) and std::bad_alloc, unchanged; a decoder
    // throws nothing of its own.
    virtual bool parse(std::vector<double>& values, serial::Serial& port) = 0;

    // Tells the decoder that the bytes it reads next start in the middle of the
    // device's stream (a port was just opened, or this decoder was installed
    // while the device was streaming); what it still holds of an earlier
    // stream is discarded first, as end_stream does. Throws nothing.
    virtual void begin_stream() { end_stream(); }

    // Tells the decoder that the stream it read has ended (its port was
    // closed or failed, or the decoder is being replaced): what it holds of
    // an unfinished frame can never be finished, and is discarded and
    // counted. Throws nothing.
    virtual void end_stream() {}

    // The counts since the previous call, which start again from zero. Called
    // by the reader thread after every `parse`. Throws nothing.
    virtual DecoderCounts take_counts() noexcept { return {}; }

    virtual ~Protocol() = default;
};

// Comma-separated text lines, one frame per line, numbers read in the "C"
// locale whatever locale the process has set.
//   false, `values` untouched: nothing arrived, the line has not ended yet,
//                              or the line was dropped by begin_stream;
//   false, `values` emptied:   a field is no number or out of range, or the
//                              line ends in a comma before its line feed;
//   true:                      one value per field up to the first empty field.
// A line is decoded only once its line feed has come (or at kMaxLine bytes):
// a line cut by the port's time-out (a device pausing mid-line) is kept and
// finished by the next calls. One that can never be finished is discarded,
// its bytes counted: cut by the device going away (the port's error is then
// thrown), or left when begin_stream or end_stream comes.
class ProtocolString : public Protocol {
public:
    ProtocolString();
    bool parse(std::vector<double>& values, serial::Serial& port) override;
    void begin_stream() override;
    void end_stream() override { discard_unfinished(); }
    DecoderCounts take_counts() noexcept override { return std::exchange(counts_, DecoderCounts{}); }

    // Longest line taken as one frame, counting the bytes of earlier calls
    // that the line was waiting with; the rest of a longer line is read as a
    // line of its own.
    static constexpr std::size_t kMaxLine = 65536;

    // The decoding step of `parse`, on a line already read (line feed
    // included or not): true with one value per field, or false with `values`
    // emptied. Throws nothing but std::bad_alloc from making the "C" locale
    // on first use.
    static bool decode_line(const std::string& line, std::vector<double>& values);

private:
    void discard_unfinished() noexcept;

    // Set by begin_stream: everything up to and including the next line feed
    // is almost surely the tail of a line whose start was never seen.
    bool skip_partial_line_ = false;
    // Between calls: the bytes of a line that has not ended yet.
    std::string line_;
    DecoderCounts counts_;
};

namespace detail {

// What the two binary formats share: a header FF FF, a word in clear (a count
// or a length, accepted from 1 to 511) and a body whose size the word sets.
// Touched by the reader thread only, like the decoder that holds it.
class BinaryFrameReader {
public:
    // Bytes of the body behind an accepted word.
    using BodyBytes = std::size_t (*)(std::uint16_t word);

    // `largest_body` is reserved at once, so reading allocates nothing.
    // Throws std::bad_alloc.
    BinaryFrameReader(BodyBytes body_bytes, std::size_t largest_body);

    enum class Result {
        none,     // no whole frame: no header yet, or cut short by the time-out
        refused,  // a word of 0 or above 511: `values` emptied, the body left unread
        whole,    // word() and body() hold the frame; `values` untouched
    };

    // Reads one frame. Nothing is ever taken from bytes that did not arrive,
    // and `values` is touched only to empty it for a refused word, so a frame
    // cut short or a port error leaves the previous frame in place. Throws
    // what the port throws.
    Result read(serial::Serial& port, std::vector<double>& values);

    std::uint16_t word() const { return word_; }
    const std::uint8_t* body() const { return buffer_.data(); }

    // Forgets a 0xFF held as a possible first half of a header, counting it
    // as discarded.
    void discard_held() noexcept;
    DecoderCounts take_counts() noexcept { return std::exchange(counts_, DecoderCounts{}); }

private:
    bool read_header(serial::Serial& port);

    BodyBytes body_bytes_;
    std::vector<std::uint8_t> buffer_;
    std::uint64_t bytes_read_ = 0;
    std::uint16_t word_ = 0;
    // The last byte consumed was a 0xFF that may be the first half of a header.
    bool pending_ff_ = false;
    DecoderCounts counts_;
};

// Sets `values` to the `n` unsigned 16-bit readings at `bytes`, first byte low.
void readings_into(std::vector<double>& values, const std::uint8_t* bytes, std::size_t n);

}  // namespace detail

// FF FF, count N (1..511), N little-endian unsigned 16-bit readings.
//   false, `values` untouched: no header found, or the frame was cut short;
//   true, `values` empty:      count 0 or above 511 (the payload is not read);
//   true:                      N readings.
class ProtocolBinary : public Protocol {
public:
    ProtocolBinary();
    bool parse(std::vector<double>& values, serial::Serial& port) override;
    void end_stream() override { frames.discard_held(); }
    DecoderCounts take_counts() noexcept override { return frames.take_counts(); }

private:
    detail::BinaryFrameReader frames;
};

// FF FF, length L (1..511, payload bytes), L/16 + 1 AES-128 ECB blocks whose
// plaintext starts with L/2 little-endian unsigned 16-bit readings.
// `values` is left as by ProtocolBinary, with L in place of N.
class ProtocolBinaryEncrypt : public Protocol {
public:
    ProtocolBinaryEncrypt();
    bool parse(std::vector<double>& values, serial::Serial& port) override;
    void end_stream() override { frames.discard_held(); }
    DecoderCounts take_counts() noexcept override { return frames.take_counts(); }

    // The device's key: the ASCII text "Nervlane-aes-128". Throws std::bad_alloc.
    static std::vector<std::uint8_t> default_key();

private:
    detail::BinaryFrameReader frames;
    std::vector<std::uint8_t> payload;
    AesCipher cipher{4, 10};
    // The key never changes, so it is expanded once rather than per block.
    std::vector<std::uint8_t> round_keys;
};

// A new decoder for `selector` (kTextProtocol, kBinaryProtocol or
// kEncryptedProtocol), or nullptr for any other selector, which keeps the
// decoder already in use. Throws std::bad_alloc.
std::unique_ptr<Protocol> make_protocol(std::int32_t selector);

}  // namespace nervlane_comm
