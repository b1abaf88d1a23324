// The sensor parameter file, from the bytes on disk to records a model can
// use: reading the file by a UTF-8 name, decoding its MessagePack document,
// and refusing records no model could use. The decoder's library stays inside
// parameter_file.cpp; this header needs the standard library alone.
//
// The document is an array [protocol, [triaxial record...], [taxel record...]]
// in which each record is a map from the field names of sensor_parameters.h to
// values, the base fields in a nested map under the key "SensorParameters".
//
// Thread safety: nothing here keeps state; every function may run on any
// thread at any time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sensor_parameters.h"

namespace nervlane_comm {

// Real parameter files hold a few kilobytes; 64 MiB is far beyond any device
// (65536 outputs), and a file larger than that was chosen by mistake.
constexpr std::size_t kMaxParameterFileBytes = std::size_t{64} << 20;

// Returns the bytes of the file named `file_name`, a UTF-8 path (on Windows
// too, whatever the code page). Only a regular file, or a link to one, is
// read: a directory, FIFO, socket or device is treated as missing, since
// opening a FIFO waits for a writer and a device reports a size it does not
// hold. Memory grows with the bytes actually read, never with a reported size.
// Throws std::runtime_error "Cannot find sensor parameter file" when the file
// is missing, not a regular file or cannot be read, "Sensor parameter file is
// larger than 64 MiB" beyond kMaxParameterFileBytes, and std::bad_alloc.
std::vector<char> read_parameter_file(const std::string& file_name);

// What one parameter file holds.
struct ParameterFile {
    // kTextProtocol, kBinaryProtocol or kEncryptedProtocol (protocol.h); any
    // other selector keeps the decoder already in use.
    std::int32_t protocol = 0;
    std::vector<std::shared_ptr<TriaxialPolyfitParameters>> triaxial;  // null for a nil element
    std::vector<std::shared_ptr<TaxelPolyfitParameters>> taxel;        // null for a nil element
};

// Decodes the first MessagePack value of `data` (bytes after it are ignored).
// A record's missing fields keep the values its class gives them; when a key
// appears twice in a record the first one counts. Throws, all of them
// std::exception with these what() texts on every standard library:
//  - msgpack::insufficient_bytes (a std::runtime_error), "insufficient bytes":
//    the buffer is empty or ends inside the value;
//  - msgpack::parse_error (a std::runtime_error), "parse error": bytes that
//    are not MessagePack;
//  - msgpack::type_error (a std::bad_cast), "bad cast": a value of the wrong
//    type;
// and std::bad_alloc. Memory use is proportional to `size`: counts the file
// announces are checked against its length before anything is reserved.
ParameterFile decode_parameter_file(const char* data, std::size_t size);

// Refuses records that no model can use, with a std::runtime_error naming the
// list and the index, e.g. "taxel record 2: output position -1 is negative".
// A taxel record with two or more output entries keeps the models' message
// "Invalid output map for the sensor type". Throws nothing else.
void validate_parameter_file(const ParameterFile& file);

// The largest output position a record may name. The calibrated output vector
// is sized to the largest position + 1, so a bigger one in a tiny file would
// cost gigabytes of zeros; 65536 outputs is far beyond any device.
constexpr std::int32_t kMaxOutputPosition = 65535;

// Why no taxel model could use `record`, in plain words, or "" when it can.
// Looks at the maps only; the kind and the count of output entries are left to
// the caller, which reports them with its own messages. A negative raw
// position is usable: such a taxel is never plugged in. The models apply the
// same rules when they take a record.
std::string taxel_record_fault(const SensorParameters& record);

// Why no triaxial model could use `record`, in plain words, or "" when it can.
// The kind is left to the caller.
std::string triaxial_record_fault(const TriaxialPolyfitParameters& record);

}  // namespace nervlane_comm
