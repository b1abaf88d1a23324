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
// appears twice in a record the first one counts. Throws msgpack's three
// decoding errors, each with a message that says where the file went wrong
// and ends with the error's own name in brackets:
//  - msgpack::insufficient_bytes (a std::runtime_error): the buffer is empty
//    or ends inside the value, e.g. "not a MessagePack parameter file: the
//    file is empty (insufficient bytes)";
//  - msgpack::parse_error (a std::runtime_error): bytes that are not
//    MessagePack, "not a MessagePack parameter file: byte 0 is 0xc1, which
//    begins no MessagePack value (parse error)";
//  - msgpack::type_error (a std::bad_cast): a value of the wrong type, named
//    by its record and field, "taxel record 2, coefs: needs an array of
//    numbers, found the string "x" (bad cast)", or a document that is not
//    the parameter array at all, "not a MessagePack parameter file: ...
//    (bad cast)";
// and std::bad_alloc. Memory use is proportional to `size`: counts the file
// announces are checked against its length before anything is reserved.
ParameterFile decode_parameter_file(const char* data, std::size_t size);

// Refuses records that no model can use, with a std::runtime_error naming the
// record and the field, e.g. "taxel record 2, output_map: output position -1
// is negative", or "taxel record 1: no record (nil)" for an empty slot. A
// fault the models know by a fixed message ends with that message in
// brackets: "taxel record 0, output_map: 2 entries, but a taxel has one output
// (Invalid output map for the sensor type)", "... (Invalid sensor type)".
// Throws nothing else.
void validate_parameter_file(const ParameterFile& file);

}  // namespace nervlane_comm
