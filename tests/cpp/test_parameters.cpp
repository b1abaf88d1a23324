// The parameter file decoder and the checks run before models are built.
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include <gtest/gtest.h>

#include <msgpack.hpp>

#include "parameter_file.h"

using nervlane_comm::decode_parameter_file;
using nervlane_comm::kTaxelSensorType;
using nervlane_comm::kTriaxialSensorType;
using nervlane_comm::ParameterFile;
using nervlane_comm::validate_parameter_file;
using IntMap = std::map<std::int32_t, std::int32_t>;

namespace {

// A MessagePack document written piece by piece.
struct Doc {
    std::string data;

    // The packer's output stream.
    void write(const char* bytes, std::size_t n) { data.append(bytes, n); }
    msgpack::packer<Doc> packer() { return msgpack::packer<Doc>(*this); }

    Doc& array(std::uint32_t n) {
        packer().pack_array(n);
        return *this;
    }
    Doc& map(std::uint32_t n) {
        packer().pack_map(n);
        return *this;
    }
    Doc& nil() {
        packer().pack_nil();
        return *this;
    }
    template <typename T>
    Doc& add(const T& value) {
        packer().pack(value);
        return *this;
    }
    // msgpack-c's packer writes an integral double as an integer; these
    // always write the float encodings.
    Doc& f64(double value) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        data.push_back('\xcb');
        for (int shift = 56; shift >= 0; shift -= 8) data.push_back(static_cast<char>((bits >> shift) & 0xff));
        return *this;
    }
    Doc& f32(float value) {
        std::uint32_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        data.push_back('\xca');
        for (int shift = 24; shift >= 0; shift -= 8) data.push_back(static_cast<char>((bits >> shift) & 0xff));
        return *this;
    }

    // The base part, as a "SensorParameters" key and its map.
    Doc& base(std::int32_t type, const IntMap& in, const IntMap& out) {
        return add("SensorParameters")
            .map(3)
            .add("sensor_type")
            .add(type)
            .add("input_map")
            .add(in)
            .add("output_map")
            .add(out);
    }
    Doc& taxel(std::int32_t raw, std::int32_t out, double lower, double offset, const std::vector<double>& coefs) {
        map(5).base(kTaxelSensorType, {{raw, 0}}, {{0, out}});
        return add("lower").add(lower).add("upper").add(0.0).add("offset").add(offset).add("coefs").add(coefs);
    }
    Doc& triaxial(const IntMap& in, const IntMap& out) {
        const std::vector<double> zeros(4, 0.0);
        map(7).base(kTriaxialSensorType, in, out);
        return add("lower")
            .add(zeros)
            .add("upper")
            .add(zeros)
            .add("offset")
            .add(zeros)
            .add("coefs_x")
            .add(std::vector<double>{0, 1})
            .add("coefs_y")
            .add(std::vector<double>{0, 1})
            .add("coefs_z")
            .add(std::vector<double>{0, 1});
    }

    std::string bytes() const { return data; }
    ParameterFile decode() const { return decode_parameter_file(data.data(), data.size()); }
};

std::string decode_error(const std::string& bytes) {
    try {
        decode_parameter_file(bytes.data(), bytes.size());
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}
std::string decode_error(const Doc& doc) { return decode_error(doc.bytes()); }

// A document [0, [], [record]] whose one taxel record is written by `fill`.
template <typename Fill>
Doc taxel_document(Fill fill) {
    Doc doc;
    doc.array(3).add(0).array(0).array(1);
    fill(doc);
    return doc;
}

// A typical file: one triaxial sensor on frame positions 0..3 into
// outputs 0..2, one taxel on frame position 4 into output 3.
Doc example_document() {
    Doc doc;
    doc.array(3).add(0);
    doc.array(1).triaxial({{0, 0}, {1, 1}, {2, 2}, {3, 3}}, {{0, 0}, {1, 1}, {2, 2}});
    doc.array(1).taxel(4, 3, 0.0, 0.0, {0, 1});
    return doc;
}

#ifdef __linux__
// A line of /proc/self/status such as "VmHWM:  3600 kB", in bytes; 0 if absent.
std::uint64_t status_bytes(const std::string& key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, key.size() + 1, key + ":") == 0) return std::stoull(line.substr(key.size() + 1)) * 1024;
    }
    return 0;
}

// Sets the peak resident memory back to the present (Linux 4.0 and later).
bool reset_peak_memory() {
    std::ofstream clear_refs("/proc/self/clear_refs");
    clear_refs << "5";
    clear_refs.close();
    return static_cast<bool>(clear_refs) && status_bytes("VmHWM") <= status_bytes("VmRSS") + 64 * 1024;
}
#endif

std::string validation_error(const ParameterFile& file) {
    try {
        validate_parameter_file(file);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no error)";
}

}  // namespace

TEST(ParameterFileDecoder, DecodesTheExampleDocument) {
    const ParameterFile file = example_document().decode();
    EXPECT_EQ(file.protocol, 0);
    ASSERT_EQ(file.triaxial.size(), 1u);
    ASSERT_EQ(file.taxel.size(), 1u);
    const auto& t = *file.triaxial[0];
    EXPECT_EQ(t.sensor_type, kTriaxialSensorType);
    EXPECT_EQ(t.input_map, (IntMap{{0, 0}, {1, 1}, {2, 2}, {3, 3}}));
    EXPECT_EQ(t.output_map, (IntMap{{0, 0}, {1, 1}, {2, 2}}));
    EXPECT_EQ(t.lower, std::vector<double>(4, 0.0));
    EXPECT_EQ(t.coefs_z, (std::vector<double>{0, 1}));
    const auto& x = *file.taxel[0];
    EXPECT_EQ(x.sensor_type, kTaxelSensorType);
    EXPECT_EQ(x.input_map, (IntMap{{4, 0}}));
    EXPECT_EQ(x.output_map, (IntMap{{0, 3}}));
    EXPECT_EQ(x.coefs, (std::vector<double>{0, 1}));
    EXPECT_NO_THROW(validate_parameter_file(file));
}

TEST(ParameterFileDecoder, ShortTopLevelArraysLeaveDefaults) {
    ParameterFile file = Doc().array(0).decode();
    EXPECT_EQ(file.protocol, 0);
    EXPECT_TRUE(file.triaxial.empty());
    EXPECT_TRUE(file.taxel.empty());

    file = Doc().array(1).add(1).decode();
    EXPECT_EQ(file.protocol, 1);
    EXPECT_TRUE(file.triaxial.empty());

    file = Doc().array(2).add(2).array(1).triaxial({{0, 0}}, {{0, 0}}).decode();
    EXPECT_EQ(file.protocol, 2);
    EXPECT_EQ(file.triaxial.size(), 1u);
    EXPECT_TRUE(file.taxel.empty());

    // Elements after the third are ignored, whatever their type.
    file = Doc().array(4).add(1).array(0).array(0).add("anything").decode();
    EXPECT_EQ(file.protocol, 1);
}

TEST(ParameterFileDecoder, RefusesTopLevelAndListsOfOtherTypes) {
    const std::string not_parameters = "not a MessagePack parameter file: it holds ";
    const std::string belongs = " where the array [protocol, triaxial records, taxel records] belongs";
    EXPECT_EQ(decode_error(Doc().map(0)), not_parameters + "a map" + belongs + " (bad cast)");
    EXPECT_EQ(decode_error(Doc().add(1)), not_parameters + "the integer 1" + belongs + " (bad cast)");
    EXPECT_EQ(decode_error(Doc().nil()), not_parameters + "nil" + belongs + " (bad cast)");
    // A text file begins with a byte that MessagePack reads as a small integer.
    EXPECT_EQ(decode_error(std::string("version: 1\n\"name\": x\n\x01\xff more text")),
              not_parameters + "the integer 118" + belongs +
                  "; the file begins with the text \"version: 1\\n\\\"name\\\": x\\n\\x01\\xff ...\" (bad cast)");
    EXPECT_EQ(decode_error(Doc().array(2).add(0).map(0)),
              "the triaxial list: needs an array of records, found a map (bad cast)");
    EXPECT_EQ(decode_error(Doc().array(3).add(0).array(0).add(5)),
              "the taxel list: needs an array of records, found the integer 5 (bad cast)");
    EXPECT_EQ(decode_error(Doc().array(3).add(0).array(0).array(2).map(0).array(0)),
              "taxel record 1: needs a map of fields, found an array (bad cast)");
}

TEST(ParameterFileDecoder, TypeErrorsAreMsgpackTypeErrors) {
    try {
        Doc().map(0).decode();
        FAIL() << "no error";
    } catch (const msgpack::type_error& e) {
        EXPECT_NE(dynamic_cast<const std::bad_cast*>(&e), nullptr);
    }
}

TEST(ParameterFileDecoder, EmptyRecordMapsKeepConstructedValues) {
    const ParameterFile file = Doc().array(3).add(0).array(1).map(0).array(1).map(0).decode();
    const auto& t = *file.triaxial[0];
    EXPECT_EQ(t.sensor_type, kTriaxialSensorType);
    EXPECT_TRUE(t.input_map.empty());
    EXPECT_TRUE(t.output_map.empty());
    EXPECT_TRUE(t.lower.empty() && t.upper.empty() && t.offset.empty());
    EXPECT_TRUE(t.coefs_x.empty() && t.coefs_y.empty() && t.coefs_z.empty());
    const auto& x = *file.taxel[0];
    EXPECT_EQ(x.sensor_type, kTaxelSensorType);
    EXPECT_TRUE(x.input_map.empty());
    EXPECT_TRUE(x.output_map.empty());
    EXPECT_EQ(x.lower, 0.0);
    EXPECT_EQ(x.upper, 0.0);
    EXPECT_EQ(x.offset.load(), 0.0);
    EXPECT_TRUE(x.coefs.empty());
}

TEST(ParameterFileDecoder, RecordKeysAreStringsComparedByteForByte) {
    // An unknown string key is ignored.
    ParameterFile file =
        taxel_document([](Doc& d) { d.map(2).add("name").add("left thumb").add("lower").add(2.5); }).decode();
    EXPECT_EQ(file.taxel[0]->lower, 2.5);

    // An integer key fails even when it could name nothing.
    EXPECT_EQ(decode_error(taxel_document([](Doc& d) { d.map(2).add("lower").add(1.0).add(7).add(1.0); })),
              "taxel record 0: needs string keys, found the integer 7 (bad cast)");
    // The same inside the base part.
    EXPECT_EQ(decode_error(taxel_document([](Doc& d) { d.map(1).add("SensorParameters").map(1).add(0).add(1); })),
              "taxel record 0, SensorParameters: needs string keys, found the integer 0 (bad cast)");

    // A base part under a key differing only in case is not the base part.
    file = taxel_document([](Doc& d) {
               d.map(1)
                   .add("sensorparameters")
                   .map(2)
                   .add("sensor_type")
                   .add(kTriaxialSensorType)
                   .add("input_map")
                   .add(IntMap{{3, 0}});
           }).decode();
    EXPECT_EQ(file.taxel[0]->sensor_type, kTaxelSensorType);
    EXPECT_TRUE(file.taxel[0]->input_map.empty());
    file = taxel_document([](Doc& d) { d.map(1).add("Offset").add(9.0); }).decode();
    EXPECT_EQ(file.taxel[0]->offset.load(), 0.0);
}

TEST(ParameterFileDecoder, FirstDuplicateRecordKeyAndLastDuplicateMapKeyWin) {
    ParameterFile file =
        taxel_document([](Doc& d) { d.map(2).add("offset").add(1.0).add("offset").add(2.0); }).decode();
    EXPECT_EQ(file.taxel[0]->offset.load(), 1.0);

    // input_map {3: 1, 5: 0, 3: 2}: the second value for 3 overwrites the first.
    file =
        taxel_document([](Doc& d) {
            d.map(1).add("SensorParameters").map(1).add("input_map").map(3).add(3).add(1).add(5).add(0).add(3).add(2);
        }).decode();
    EXPECT_EQ(file.taxel[0]->input_map, (IntMap{{3, 2}, {5, 0}}));
}

TEST(ParameterFileDecoder, IntegersMustFitSigned32BitsAndNotBeFloats) {
    auto with_type = [](auto value) {
        return taxel_document([&](Doc& d) { d.map(1).add("SensorParameters").map(1).add("sensor_type").add(value); });
    };
    const std::string needs = ": needs an integer from -2147483648 to 2147483647, found ";
    auto at_type = [&](const std::string& found) {
        return "taxel record 0, sensor_type" + needs + found + " (bad cast)";
    };
    EXPECT_EQ(decode_error(with_type(std::uint64_t{2147483648u})), at_type("the integer 2147483648"));
    EXPECT_EQ(decode_error(with_type(std::int64_t{-2147483649LL})), at_type("the integer -2147483649"));
    auto with_float_type = [](bool wide) {
        return taxel_document([&](Doc& d) {
            d.map(1).add("SensorParameters").map(1).add("sensor_type");
            wide ? d.f64(1.0) : d.f32(1.0f);
        });
    };
    EXPECT_EQ(decode_error(with_float_type(true)), at_type("the float 1.0"));
    EXPECT_EQ(decode_error(with_float_type(false)), at_type("the float 1.0"));
    EXPECT_EQ(decode_error(with_type(true)), at_type("the boolean true"));
    EXPECT_EQ(decode_error(with_type("1")), at_type("the string \"1\""));
    EXPECT_EQ(with_type(std::uint64_t{2147483647u}).decode().taxel[0]->sensor_type, 2147483647);
    EXPECT_EQ(with_type(std::int64_t{-2147483648LL}).decode().taxel[0]->sensor_type,
              std::numeric_limits<std::int32_t>::min());

    // The selector and map keys and values follow the same rule.
    EXPECT_EQ(decode_error(Doc().array(1).f64(1.5)), "the protocol selector" + needs + "the float 1.5 (bad cast)");
    EXPECT_EQ(decode_error(Doc().array(1).add(std::uint64_t{1} << 32)),
              "the protocol selector" + needs + "the integer 4294967296 (bad cast)");
    EXPECT_EQ(decode_error(taxel_document(
                  [](Doc& d) { d.map(1).add("SensorParameters").map(1).add("output_map").map(1).add(0).f64(2.0); })),
              "taxel record 0, output_map, key 0" + needs + "the float 2.0 (bad cast)");
    EXPECT_EQ(
        decode_error(taxel_document([](Doc& d) {
            d.map(1).add("SensorParameters").map(1).add("input_map").map(1).add(std::uint64_t{3000000000u}).add(0);
        })),
        "taxel record 0, input_map, a key" + needs + "the integer 3000000000 (bad cast)");
}

TEST(ParameterFileDecoder, NumbersTakeAnyIntegerOrFloatAndNothingElse) {
    auto offset_of = [](auto value) {
        return taxel_document([&](Doc& d) { d.map(1).add("offset").add(value); }).decode().taxel[0]->offset.load();
    };
    EXPECT_EQ(offset_of(5), 5.0);
    EXPECT_EQ(offset_of(-7), -7.0);
    EXPECT_EQ(offset_of(std::int64_t{-5000000000LL}), -5000000000.0);
    EXPECT_EQ(offset_of(std::numeric_limits<std::uint64_t>::max()), 18446744073709551616.0);
    EXPECT_EQ(offset_of(0.1f), static_cast<double>(0.1f));
    EXPECT_EQ(offset_of(0.1), 0.1);
    EXPECT_EQ(taxel_document([](Doc& d) { d.map(1).add("offset").f64(5.0); }).decode().taxel[0]->offset.load(), 5.0);
    EXPECT_EQ(taxel_document([](Doc& d) { d.map(1).add("offset").f32(-2.0f); }).decode().taxel[0]->offset.load(), -2.0);

    auto offset_error = [](auto fill) { return decode_error(taxel_document(fill)); };
    const std::string at_offset = "taxel record 0, offset: needs a number, found ";
    EXPECT_EQ(offset_error([](Doc& d) { d.map(1).add("offset").add(true); }),
              at_offset + "the boolean true (bad cast)");
    EXPECT_EQ(offset_error([](Doc& d) { d.map(1).add("offset").nil(); }), at_offset + "nil (bad cast)");
    EXPECT_EQ(offset_error([](Doc& d) { d.map(1).add("offset").add("5"); }), at_offset + "the string \"5\" (bad cast)");
    EXPECT_EQ(offset_error([](Doc& d) { d.map(1).add("lower").array(1).add(1.0); }),
              "taxel record 0, lower: needs a number, found an array (bad cast)");
    // A number where an array of numbers is asked, and a bad element in one.
    EXPECT_EQ(offset_error([](Doc& d) { d.map(1).add("coefs").f64(0.1); }),
              "taxel record 0, coefs: needs an array of numbers, found the float 0.1 (bad cast)");
    EXPECT_EQ(offset_error([](Doc& d) { d.map(1).add("coefs").array(2).add(1).nil(); }),
              "taxel record 0, coefs, element 1: needs a number, found nil (bad cast)");

    const ParameterFile file = taxel_document([](Doc& d) {
                                   d.map(1).add("coefs").array(3).add(-1).add(2.5f).add(std::uint64_t{1} << 40);
                               }).decode();
    EXPECT_EQ(file.taxel[0]->coefs, (std::vector<double>{-1.0, 2.5, 1099511627776.0}));
}

TEST(ParameterFileDecoder, NilListElementLeavesAnEmptySlot) {
    const ParameterFile file = Doc().array(3).add(0).array(2).nil().map(0).array(2).map(0).nil().decode();
    ASSERT_EQ(file.triaxial.size(), 2u);
    EXPECT_EQ(file.triaxial[0], nullptr);
    EXPECT_NE(file.triaxial[1], nullptr);
    ASSERT_EQ(file.taxel.size(), 2u);
    EXPECT_NE(file.taxel[0], nullptr);
    EXPECT_EQ(file.taxel[1], nullptr);
}

TEST(ParameterFileDecoder, ReadsOnlyTheFirstValue) {
    Doc doc = Doc().array(1).add(2);
    doc.add("trailing").map(4);  // a second value, itself incomplete
    EXPECT_EQ(doc.decode().protocol, 2);
}

TEST(ParameterFileDecoder, TruncatedOrEmptyFilesAreInsufficientBytes) {
    EXPECT_EQ(decode_error(std::string()), "not a MessagePack parameter file: the file is empty (insufficient bytes)");
    const std::string whole = example_document().bytes();
    for (std::size_t n = 1; n < whole.size(); ++n) {
        ASSERT_EQ(decode_error(whole.substr(0, n)), "the file ends after " + std::to_string(n) +
                                                        " bytes, inside the MessagePack value it begins: cut short, "
                                                        "or not a parameter file (insufficient bytes)")
            << "cut at " << n << " of " << whole.size();
    }
    try {
        decode_parameter_file(whole.data(), 3);
        FAIL() << "no error";
    } catch (const msgpack::insufficient_bytes&) {
    }
}

TEST(ParameterFileDecoder, BytesThatAreNotMessagePackAreParseErrors) {
    const std::string refused = "not a MessagePack parameter file: the byte at offset ";
    EXPECT_EQ(decode_error(std::string("\xc1", 1)), refused + "0, 0xc1, begins no MessagePack value (parse error)");
    EXPECT_EQ(decode_error(std::string("\x93\x00\xc1", 3)),
              refused + "2, 0xc1, begins no MessagePack value (parse error)");
    // The fault that comes first in the bytes is the one reported.
    EXPECT_EQ(decode_error(std::string("\x93\xc1", 2)), refused + "1, 0xc1, begins no MessagePack value (parse error)");
    try {
        decode_parameter_file("\xc1", 1);
        FAIL() << "no error";
    } catch (const msgpack::parse_error&) {
    }
}

TEST(ParameterFileDecoder, AnnouncedCountsBeyondTheFileFailAtOnce) {
    // Each of these few-byte files announces about four billion elements or
    // bytes; reserving room for them first would take gigabytes.
    const std::vector<std::string> bombs = {
        std::string("\xdd\xff\xff\xff\xff", 5),                                           // array 32
        std::string("\xdf\xff\xff\xff\xff", 5),                                           // map 32
        std::string("\x93\x00\xdd\xff\xff\xff\xff", 7),                                   // as the triaxial list
        std::string("\xdb\xff\xff\xff\xff", 5),                                           // str 32
        std::string("\xc6\xff\xff\xff\xff", 5),                                           // bin 32
        std::string("\xc9\xff\xff\xff\xff\x01", 6),                                       // ext 32
        std::string("\xdd\x00\x01\x00\x00\xdd\x00\x01\x00\x00\xdd\x00\x01\x00\x00", 15),  // nested
    };
    auto ends_early = [](const std::string& bytes) {
        return decode_error(bytes).find("(insufficient bytes)") != std::string::npos;
    };
    for (const auto& bomb : bombs) EXPECT_TRUE(ends_early(bomb)) << decode_error(bomb);

    // 40000 nested headers, each announcing 65535 elements: every count is
    // smaller than the file (120 KB), so no per-count limit stops them. Only
    // the check that the file holds every value it announces does, at once;
    // without it msgpack reserves room level by level, about 160 MB and most
    // of a second, before it runs out of bytes.
    std::string nested;
    for (int i = 0; i < 40000; ++i) nested.append("\xdc\xff\xff", 3);
#ifdef __linux__
    ASSERT_TRUE(reset_peak_memory()) << "/proc/self/clear_refs cannot reset the peak";
    const std::uint64_t resident = status_bytes("VmRSS");
    EXPECT_TRUE(ends_early(nested));
    EXPECT_LT(status_bytes("VmHWM") - resident, std::uint64_t{32} << 20) << "peak memory growth in bytes";
#else
    // Peak memory is read from /proc, on Linux only; elsewhere the time it
    // takes tells the same, about 0.2 ms against most of a second.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(ends_early(nested));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
#endif

    // Non-minimal headers with honest counts still decode.
    const ParameterFile file = decode_parameter_file("\xdd\x00\x00\x00\x01\xce\x00\x00\x00\x02", 10);
    EXPECT_EQ(file.protocol, 2);
}

TEST(ParameterFileValidation, AcceptsUsableRecordsAndEmptyLists) {
    EXPECT_NO_THROW(validate_parameter_file(example_document().decode()));
    EXPECT_NO_THROW(validate_parameter_file(ParameterFile{}));
    // A triaxial sensor that names fewer than four channels is usable.
    EXPECT_NO_THROW(validate_parameter_file(Doc().array(2).add(0).array(1).triaxial({{7, 2}}, {}).decode()));
}

TEST(ParameterFileValidation, RefusesNilSlotsAndRecordsOfTheOtherKind) {
    EXPECT_EQ(validation_error(Doc().array(3).add(0).array(0).array(2).taxel(0, 0, 0, 0, {}).nil().decode()),
              "taxel record 1: no record (nil)");
    EXPECT_EQ(validation_error(Doc().array(2).add(0).array(1).nil().decode()), "triaxial record 0: no record (nil)");

    // A taxel-typed record in the triaxial list, and the other way round.
    Doc doc;
    doc.array(3).add(0).array(1).map(1).base(kTaxelSensorType, {{0, 0}}, {{0, 0}}).array(0);
    EXPECT_EQ(validation_error(doc.decode()),
              "triaxial record 0, sensor_type: 1 is the taxel type, a triaxial record has 0 (Invalid sensor type)");
    doc = taxel_document([](Doc& d) { d.map(1).base(kTriaxialSensorType, {{0, 0}}, {{0, 0}}); });
    EXPECT_EQ(validation_error(doc.decode()),
              "taxel record 0, sensor_type: 0 is the triaxial type, a taxel record has 1 (Invalid sensor type)");
    doc = taxel_document([](Doc& d) { d.map(1).base(7, {{0, 0}}, {{0, 0}}); });
    EXPECT_EQ(validation_error(doc.decode()),
              "taxel record 0, sensor_type: 7 is no sensor type, a taxel record has 1 (Invalid sensor type)");
}

TEST(ParameterFileValidation, RefusesTaxelsWithoutUsablePositions) {
    auto taxel_with = [](const IntMap& in, const IntMap& out) {
        ParameterFile file = Doc()
                                 .array(3)
                                 .add(0)
                                 .array(0)
                                 .array(3)
                                 .taxel(0, 0, 0, 0, {})
                                 .taxel(1, 1, 0, 0, {})
                                 .map(1)
                                 .base(kTaxelSensorType, in, out)
                                 .decode();
        return validation_error(file);
    };
    EXPECT_EQ(taxel_with({}, {{0, 1}}), "taxel record 2, input_map: empty, so the taxel has no raw position");
    EXPECT_EQ(taxel_with({{0, 0}}, {}), "taxel record 2, output_map: empty, so the taxel has no output position");
    EXPECT_EQ(taxel_with({{-1, 0}, {4, 0}}, {{0, 1}}), "(no error)")
        << "a negative raw position marks a taxel not fitted";
    EXPECT_EQ(taxel_with({{4, 0}}, {{0, -1}}), "taxel record 2, output_map: output position -1 is negative");
    EXPECT_EQ(
        taxel_with({{4, 0}}, {{0, 1}, {1, 2}}),
        "taxel record 2, output_map: 2 entries, but a taxel has one output (Invalid output map for the sensor type)");
    // Only the first input entry is a position; later ones are not judged.
    EXPECT_EQ(taxel_with({{4, -3}, {9, 9}}, {{-5, 1}}), "(no error)");
}

TEST(ParameterFileValidation, RefusesTriaxialsThatWouldIndexOutsideTheirVectors) {
    auto triaxial_with = [](const IntMap& in, const IntMap& out) {
        return validation_error(Doc().array(2).add(0).array(2).triaxial({{0, 0}}, {{0, 0}}).triaxial(in, out).decode());
    };
    const IntMap in{{0, 0}, {1, 1}, {2, 2}, {3, 3}};
    const IntMap out{{0, 0}, {1, 1}, {2, 2}};
    EXPECT_EQ(triaxial_with(in, out), "(no error)");
    EXPECT_EQ(triaxial_with({{0, 0}, {1, 4}}, out),
              "triaxial record 1, input_map: sends raw position 1 to channel 4, outside 0..3");
    EXPECT_EQ(triaxial_with({{0, -1}}, out),
              "triaxial record 1, input_map: sends raw position 0 to channel -1, outside 0..3");
    EXPECT_EQ(triaxial_with({{-2, 0}}, out), "triaxial record 1, input_map: raw position -2 is negative");
    EXPECT_EQ(triaxial_with(in, {{3, 0}}), "triaxial record 1, output_map: names axis 3, outside 0..2 (x, y, z)");
    EXPECT_EQ(triaxial_with(in, {{-1, 0}}), "triaxial record 1, output_map: names axis -1, outside 0..2 (x, y, z)");
    EXPECT_EQ(triaxial_with(in, {{1, -4}}), "triaxial record 1, output_map: output position -4 of axis 1 is negative");

    ParameterFile file = Doc().array(2).add(0).array(1).triaxial(in, out).decode();
    file.triaxial[0]->lower.resize(3);
    EXPECT_EQ(validation_error(file), "triaxial record 0, lower: 3 values, but it needs one per channel (4)");
    file.triaxial[0]->lower.resize(4);
    file.triaxial[0]->offset.clear();
    EXPECT_EQ(validation_error(file), "triaxial record 0, offset: 0 values, but it needs one per channel (4)");
    // Longer lists are fine; only the first four entries are read.
    file.triaxial[0]->offset.resize(6);
    EXPECT_EQ(validation_error(file), "(no error)");
}

// The output vector is sized from the largest position: a 40-byte file naming
// output position 2000000000 would ask for 16 GB of zeros.
TEST(ParameterFileValidation, RefusesOutputPositionsTooLargeForTheOutputVector) {
    auto taxel_at = [](std::int32_t position) {
        return validation_error(
            Doc().array(3).add(0).array(0).array(1).map(1).base(kTaxelSensorType, {{0, 0}}, {{0, position}}).decode());
    };
    EXPECT_EQ(taxel_at(65535), "(no error)");
    EXPECT_EQ(taxel_at(65536),
              "taxel record 0, output_map: output position 65536 is beyond the largest supported, 65535");
    EXPECT_EQ(taxel_at(2000000000),
              "taxel record 0, output_map: output position 2000000000 is beyond the largest supported, 65535");

    const IntMap in{{0, 0}, {1, 1}, {2, 2}, {3, 3}};
    EXPECT_EQ(validation_error(Doc().array(2).add(0).array(1).triaxial(in, {{0, 0}, {2, 65535}}).decode()),
              "(no error)");
    EXPECT_EQ(validation_error(Doc().array(2).add(0).array(1).triaxial(in, {{0, 0}, {2, 2147483647}}).decode()),
              "triaxial record 0, output_map: output position 2147483647 of axis 2 is beyond the largest supported, "
              "65535");
}
