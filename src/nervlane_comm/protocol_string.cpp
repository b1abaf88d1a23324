// Text frames: comma-separated numbers, one frame per line.
#include <locale.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <new>

#include "nervlane_comm/serial/serial.h"
#include "protocol.h"

namespace nervlane_comm {

namespace {

// A host that set a comma-decimal locale (de_DE, fr_FR, ...) must still read
// "1.5" as one and a half, so numbers are converted in a "C" locale of our
// own, made once, instead of the process's current one.
#ifdef _WIN32
using CLocale = _locale_t;

CLocale make_c_locale() {
    CLocale loc = _create_locale(LC_ALL, "C");
    if (loc == nullptr) throw std::bad_alloc();
    return loc;
}

inline double to_double(const char* text, char** end, CLocale loc) { return _strtod_l(text, end, loc); }
#else
using CLocale = locale_t;

CLocale make_c_locale() {
    CLocale loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    if (loc == static_cast<locale_t>(0)) throw std::bad_alloc();
    return loc;
}

inline double to_double(const char* text, char** end, CLocale loc) { return strtod_l(text, end, loc); }
#endif

// Made on first use and kept for the life of the process (never freed: the
// decoders may run on the reader thread while statics are destroyed).
CLocale c_locale() {
    static const CLocale loc = make_c_locale();
    return loc;
}

}  // namespace

ProtocolString::ProtocolString() {
    c_locale();  // fail here, at construction, rather than in the reader
}

void ProtocolString::begin_stream() {
    discard_unfinished();
    skip_partial_line_ = true;
}

void ProtocolString::discard_unfinished() noexcept {
    counts_.bytes_discarded += line_.size();
    line_.clear();
}

bool ProtocolString::parse(std::vector<double>& values, serial::Serial& port) {
    // The appending read adds to the bytes of a line that was waiting for its
    // end, and line_ keeps its capacity from one frame to the next.
    const std::size_t held = line_.size();
    try {
        port.read_line(line_, kMaxLine - held, "\n");
    } catch (...) {
        // A line cut by the device going away is left on line_ and never
        // decoded (after any other error line_ holds only what was waiting):
        // the stream has ended, and its bytes are discarded.
        discard_unfinished();
        throw;
    }
    if (line_.size() == held) return false;  // nothing arrived

    const bool ended = line_.back() == '\n';
    if (skip_partial_line_) {
        // A line longer than kMaxLine, or one the time-out cuts, is dropped
        // over several calls until its line feed has gone by.
        if (ended) skip_partial_line_ = false;
        discard_unfinished();
        return false;
    }
    // A device that pauses in the middle of a line goes on with it later:
    // decoding the part that came would publish a frame it never sent.
    if (!ended && line_.size() < kMaxLine) return false;

    const bool decoded = decode_line(line_, values);
    line_.clear();
    if (decoded) return true;
    ++counts_.frames_rejected;
    return false;
}

bool ProtocolString::decode_line(const std::string& line, std::vector<double>& values) {
    const CLocale loc = c_locale();
    values.clear();
    // std::string keeps a terminating NUL, so each field can be converted in
    // place: no number in the "C" locale contains a comma, so strtod never
    // reads past the field's end.
    const char* pos = line.c_str();
    const char* const end = pos + line.size();
    while (pos < end) {
        const char* comma = static_cast<const char*>(std::memchr(pos, ',', static_cast<std::size_t>(end - pos)));
        const char* field_end = comma != nullptr ? comma : end;
        if (field_end == pos) break;  // the first empty field ends the frame

        char* stop = nullptr;
        errno = 0;
        const double value = to_double(pos, &stop, loc);
        if (stop == pos || errno == ERANGE) {
            values.clear();
            return false;
        }
        try {
            values.push_back(value);
        } catch (const std::bad_alloc&) {
            // A frame too large to hold is rejected like a bad one.
            values.clear();
            return false;
        }
        pos = comma != nullptr ? comma + 1 : end;
    }
    return true;
}

}  // namespace nervlane_comm
