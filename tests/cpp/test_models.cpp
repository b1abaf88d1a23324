// The taxel and triaxial calibration models.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "sensor_model.h"

using namespace nervlane_comm;
using IntMap = std::map<std::int32_t, std::int32_t>;
using Frame = std::vector<double>;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
const char kNotPluggedLine[] =
    "\x1b[1;32m[Nervlane]:\x1b[0m \x1b[35m[Sensor]\x1b[0m \x1b[33mconfigured but not plugged in\x1b[0m\n";

std::shared_ptr<TaxelPolyfitParameters> taxel_record(std::int32_t raw, std::int32_t out, double lower, double offset,
                                                     std::vector<double> coefs) {
    auto r = std::make_shared<TaxelPolyfitParameters>();
    r->input_map = {{raw, 0}};
    r->output_map = {{0, out}};
    r->lower = lower;
    r->offset = offset;
    r->coefs = std::move(coefs);
    return r;
}

std::shared_ptr<TaxelPolyfitModel> taxel_model(std::shared_ptr<TaxelPolyfitParameters> record) {
    return std::make_shared<TaxelPolyfitModel>(std::move(record));
}

// A triaxial sensor on frame positions 0..3 into outputs 0..2, no offset, no
// dead band, every axis the identity polynomial.
std::shared_ptr<TriaxialPolyfitParameters> triaxial_record() {
    auto r = std::make_shared<TriaxialPolyfitParameters>();
    r->input_map = {{0, 0}, {1, 1}, {2, 2}, {3, 3}};
    r->output_map = {{0, 0}, {1, 1}, {2, 2}};
    r->lower.assign(4, 0.0);
    r->upper.assign(4, 0.0);
    r->offset.assign(4, 0.0);
    r->coefs_x = r->coefs_y = r->coefs_z = {0, 1};
    return r;
}

std::shared_ptr<TriaxialPolyfitModel> triaxial_model(std::shared_ptr<TriaxialPolyfitParameters> record) {
    return std::make_shared<TriaxialPolyfitModel>(std::move(record));
}

// Output of one model on one frame, into `size` zeroed positions.
Frame run(SensorModel& model, const Frame& raw, std::size_t size = 4) {
    Frame out(size, 0.0);
    model.calibrate(out, raw);
    return out;
}

// The taxel's value for one raw reading (taxel on position 0, output 0).
double taxel_value(double raw, double lower, double offset, std::vector<double> coefs) {
    auto m = taxel_model(taxel_record(0, 0, lower, offset, std::move(coefs)));
    return run(*m, {raw}, 1)[0];
}

template <typename F>
std::string error_of(F f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

}  // namespace

TEST(TaxelModel, PolynomialAppliesOnlyAboveTheThreshold) {
    EXPECT_EQ(taxel_value(50, 0, 0, {}), 0.0);
    EXPECT_EQ(taxel_value(50, 0, 0, {2.5}), 2.5);
    EXPECT_EQ(taxel_value(-50, 0, 0, {2.5}), 0.0);
    EXPECT_EQ(taxel_value(50, 0, 0, {-2.5}), 0.0);
    EXPECT_EQ(taxel_value(7, 0, 0, {0, 1}), 7.0);
    EXPECT_EQ(taxel_value(-7, 0, 0, {0, 1}), 0.0);
    // b equal to lower is at the threshold, not above it.
    EXPECT_EQ(taxel_value(100, 0, 100, {0, 1}), 0.0);
    EXPECT_EQ(taxel_value(101, 0, 100, {0, 1}), 1.0);
    EXPECT_EQ(taxel_value(101, 0, 100, {3, 2, 1}), 6.0);
    // The threshold is not subtracted.
    EXPECT_EQ(taxel_value(110, 5, 100, {0, 1}), 10.0);
}

TEST(TaxelModel, NegativePolynomialClampsToZeroButNaNPassesOn) {
    EXPECT_EQ(taxel_value(5, 0, 0, {1, -1}), 0.0);
    EXPECT_EQ(taxel_value(0.5, 0, 0, {1, -1}), 0.5);
    // A NaN reading is not above any threshold.
    EXPECT_EQ(taxel_value(kNaN, -kInf, 0, {1, 1}), 0.0);
    // A NaN polynomial is not below zero: inf * 0 stays NaN.
    EXPECT_TRUE(std::isnan(taxel_value(kInf, 0, 0, {0, 0})));
}

TEST(TaxelModel, AddsTermsConstantFirstRoundingEachStep) {
    // 3 is lost when added to 1e16 first; summing from the top would keep it.
    const double big = 1e16;
    const double kept_order = (big * 1.0 + 3.0) - big;
    ASSERT_NE(kept_order, 3.0);
    EXPECT_EQ(taxel_value(1.0, 0, 0, {3.0, big, -big}), kept_order);
    // Powers come from pow with the index as exponent.
    const double b = 1.37;
    const double expected = ((0.25 + std::pow(b, 1.0) * -1.5) + std::pow(b, 2.0) * 0.75) + std::pow(b, 3.0) * 2.0;
    EXPECT_EQ(taxel_value(b, 0, 0, {0.25, -1.5, 0.75, 2.0}), expected);
}

TEST(Polynomial, GivesTheBitsOfPowForEveryTerm) {
    // The first two terms skip pow; that must not change a single bit.
    const double values[] = {0.0, -0.0, 1.0, -1.0, 1.37, -2.5e-310, 3.9e300, -7.1e-5, 65535.0, kInf, -kInf, kNaN};
    const std::vector<double> coefs{0.3, -1.7, 2.2e-3, -4.1e-7, 9e-12};
    for (double x : values) {
        double expected = 0.0;
        for (std::size_t i = 0; i < coefs.size(); ++i) {
            const double term = std::pow(x, static_cast<double>(i)) * coefs[i];
            expected = term + expected;
        }
        const double got = detail::polynomial(x, coefs);
        if (std::isnan(expected)) {
            EXPECT_TRUE(std::isnan(got)) << x;
        } else {
            EXPECT_EQ(std::memcmp(&got, &expected, sizeof got), 0) << x << ": " << got << " vs " << expected;
        }
    }
    EXPECT_EQ(detail::polynomial(kNaN, {4.0}), 4.0);
    EXPECT_EQ(detail::polynomial(1.0, {}), 0.0);
}

TEST(TaxelModel, ReadsFirstEntriesAndAddsIntoSharedOutputs) {
    // input_map {5: 0, 2: 9} reads raw position 2.
    auto r = taxel_record(0, 1, 0, 0, {0, 1});
    r->input_map = {{5, 0}, {2, 9}};
    auto m = taxel_model(r);
    EXPECT_EQ(run(*m, {0, 0, 3, 0, 0, 8}), (Frame{0, 3, 0, 0}));

    auto a = taxel_model(taxel_record(0, 4, 0, 0, {0, 1}));
    auto b = taxel_model(taxel_record(1, 4, 0, 0, {0, 2}));
    Frame out(5, 0.0);
    a->calibrate(out, {3, 4});
    b->calibrate(out, {3, 4});
    EXPECT_EQ(out[4], 11.0);
}

TEST(TaxelModel, NeverIndexesOutsideTheFrameOrTheOutput) {
    auto m = taxel_model(taxel_record(10, 2, 0, 0, {1}));
    Frame out{5, 6, 7};
    m->calibrate(out, Frame(10, 1.0));  // not plugged in: untouched
    EXPECT_EQ(out, (Frame{5, 6, 7}));
    m->calibrate(out, Frame(11, 1.0));
    EXPECT_EQ(out, (Frame{5, 6, 8}));

    // A negative raw position marks a taxel that is not fitted: accepted, and
    // never plugged in.
    auto unfitted = taxel_model(taxel_record(-1, 2, 0, 0, {1}));
    unfitted->calibrate(out, Frame(11, 1.0));
    EXPECT_EQ(out, (Frame{5, 6, 8}));

    auto beyond = taxel_model(taxel_record(0, 3, 0, 0, {1}));
    Frame short_out{5, 6, 7};
    beyond->calibrate(short_out, {1.0});
    EXPECT_EQ(short_out, (Frame{5, 6, 7}));

    // A shared record emptied after configuration is skipped.
    auto r = taxel_record(0, 0, 0, 0, {1});
    auto emptied = taxel_model(r);
    r->input_map.clear();
    EXPECT_EQ(run(*emptied, {1.0}), (Frame{0, 0, 0, 0}));
}

TEST(TaxelModel, SetParametersChecksTheRecordBeforeTakingIt) {
    auto m = taxel_model(taxel_record(0, 0, 0, 0, {1}));
    auto keeps_first = [&] { return run(*m, {1.0})[0] == 1.0; };

    auto other_kind = taxel_record(0, 0, 0, 0, {2});
    other_kind->sensor_type = kTriaxialSensorType;
    EXPECT_EQ(error_of([&] { m->set_parameters(other_kind); }), "Invalid sensor type");
    other_kind->sensor_type = 3;
    EXPECT_EQ(error_of([&] { m->set_parameters(other_kind); }), "Invalid sensor type");
    EXPECT_EQ(error_of([&] { m->set_parameters(nullptr); }), "Invalid sensor type");
    EXPECT_EQ(error_of([] { TaxelPolyfitModel made(nullptr); }), "Invalid sensor type");
    EXPECT_TRUE(keeps_first());

    auto unusable = [&](const IntMap& in, const IntMap& out) {
        auto r = taxel_record(0, 0, 0, 0, {2});
        r->input_map = in;
        r->output_map = out;
        return error_of([&] { m->set_parameters(r); });
    };
    EXPECT_EQ(unusable({}, {{0, 0}}), "Unusable taxel record, input_map: empty, so the taxel has no raw position");
    EXPECT_EQ(unusable({{0, 0}}, {}), "Unusable taxel record, output_map: empty, so the taxel has no output position");
    EXPECT_EQ(unusable({{0, 0}}, {{0, -2}}), "Unusable taxel record, output_map: output position -2 is negative");
    EXPECT_EQ(unusable({{0, 0}}, {{0, 70000}}),
              "Unusable taxel record, output_map: output position 70000 is beyond the largest supported, 65535");
    // Two output entries: refused before the record is taken, like the rest.
    EXPECT_EQ(unusable({{0, 0}}, {{0, 1}, {1, 2}}), "Invalid output map for the sensor type");
    EXPECT_TRUE(keeps_first());

    EXPECT_EQ(error_of([&] { m->set_parameters(taxel_record(0, 3, 0, 0, {4})); }), "(no error)");
    EXPECT_EQ(run(*m, {1.0}), (Frame{0, 0, 0, 4}));
}

TEST(TaxelModel, ZeroTakesTheMeanIntoTheSharedRecord) {
    auto r = taxel_record(1, 0, 0, 0, {0, 1});
    r->lower = -3;
    r->upper = 9;
    auto m = taxel_model(r);
    m->zero({{0, 10}, {0, 11}, {0, 12, 5}});
    EXPECT_EQ(r->offset.load(), 11.0);
    EXPECT_EQ(r->lower, -3.0);
    EXPECT_EQ(r->upper, 9.0);
    EXPECT_EQ(run(*m, {0, 14}, 1)[0], 3.0);

    m->zero({});  // no samples: nothing to average
    EXPECT_EQ(r->offset.load(), 11.0);
}

TEST(TaxelModel, ZeroFailsWithoutChangingTheOffset) {
    auto r = taxel_record(2, 0, 0, 7, {0, 1});
    auto m = taxel_model(r);
    EXPECT_EQ(error_of([&] { m->zero({{1, 2, 3}, {}}); }), "Sensor not reading, data size is 0.");
    EXPECT_EQ(error_of([&] { m->zero({{1, 2, 3}, {1, 2}}); }), "Sensor requested zeroing is not plugged in.");
    // Per sample the empty test comes first, even before a short sample.
    EXPECT_EQ(error_of([&] { m->zero({{}, {1}}); }), "Sensor not reading, data size is 0.");
    EXPECT_EQ(error_of([&] { m->zero({{1}, {}}); }), "Sensor requested zeroing is not plugged in.");
    EXPECT_EQ(r->offset.load(), 7.0);

    auto unfitted = taxel_record(-1, 0, 0, 7, {0, 1});
    EXPECT_EQ(error_of([&] {
                  taxel_model(unfitted)->zero({{1, 2, 3}});
              }),
              "Sensor requested zeroing is not plugged in.");
    EXPECT_EQ(unfitted->offset.load(), 7.0);
}

TEST(TaxelModel, ZeroingWhileCalibratingSeesTheOldOrTheNewOffset) {
    // Run under ThreadSanitizer this also proves the offset is not torn.
    auto r = taxel_record(0, 0, -1e9, 0, {0, 1});
    auto m = taxel_model(r);
    std::thread zeroing([&] {
        for (int i = 0; i < 2000; ++i) m->zero({{i % 2 ? 1000.0 : 0.0}});
    });
    bool only_old_or_new = true;
    Frame out(1);
    for (int i = 0; i < 2000; ++i) {
        out[0] = 0.0;
        m->calibrate(out, {1000.0});
        only_old_or_new = only_old_or_new && (out[0] == 0.0 || out[0] == 1000.0);
    }
    zeroing.join();
    EXPECT_TRUE(only_old_or_new);
}

TEST(TriaxialModel, FormsAxesFromTheFourChannels) {
    auto m = triaxial_model(triaxial_record());
    EXPECT_EQ(run(*m, {1, 2, 3, 4}), (Frame{4, 2, 10, 0}));
    // Keys are read in ascending order whatever order they were written in.
    auto r = triaxial_record();
    r->input_map = {{13, 3}, {11, 1}, {10, 0}, {12, 2}};
    auto shifted = triaxial_model(r);
    Frame raw(14, 99.0);
    raw[10] = 1, raw[11] = 2, raw[12] = 3, raw[13] = 4;
    EXPECT_EQ(run(*shifted, raw), (Frame{4, 2, 10, 0}));
}

TEST(TriaxialModel, LowerIsADeadBandThatIsAlsoSubtracted) {
    auto r = triaxial_record();
    r->lower = {5, 0, 0, 0};
    r->offset = {10, 0, 0, 0};
    auto m = triaxial_model(r);
    EXPECT_EQ(run(*m, {13, 0, 0, 0})[2], 0.0);   // 3 below the band
    EXPECT_EQ(run(*m, {15, 0, 0, 0})[2], 0.0);   // at the band
    EXPECT_EQ(run(*m, {18, 0, 0, 0})[2], 3.0);   // 8 - 5
    EXPECT_EQ(run(*m, {18, 0, 0, 0})[0], -3.0);  // x = c2 + c3 - c1 - c0
}

TEST(TriaxialModel, AxisPolynomialsAreNotClamped) {
    auto r = triaxial_record();
    r->offset = {1, 2, 3, 4};
    r->coefs_x = {2.5};
    r->coefs_y = {};
    r->coefs_z = {-1};
    auto m = triaxial_model(r);
    EXPECT_EQ(run(*m, {1, 2, 3, 4}), (Frame{2.5, 0, -1, 0}));
    EXPECT_EQ(run(*m, {100, 200, 300, 400}), (Frame{2.5, 0, -1, 0}));

    r->coefs_x = {1, -2, 0.5};
    r->offset.assign(4, 0.0);
    // x = 3 + 4 - 2 - 1 = 4: 1 - 8 + 8.
    EXPECT_EQ(run(*m, {1, 2, 3, 4})[0], 1.0);
}

TEST(TriaxialModel, NaNReadingsGiveNaNAxesExceptTheConstantTerm) {
    auto r = triaxial_record();
    r->coefs_y = {5};
    auto m = triaxial_model(r);
    const Frame out = run(*m, {kNaN, 0, 0, 0});
    EXPECT_TRUE(std::isnan(out[0]));
    EXPECT_EQ(out[1], 5.0);  // pow(NaN, 0) is 1
    EXPECT_TRUE(std::isnan(out[2]));
}

TEST(TriaxialModel, AssignsOnlyTheMappedAxes) {
    auto r = triaxial_record();
    r->output_map = {{0, 7}, {2, 8}};
    auto m = triaxial_model(r);
    Frame out(10, 99.0);
    m->calibrate(out, {1, 2, 3, 4});
    EXPECT_EQ(out, (Frame{99, 99, 99, 99, 99, 99, 99, 4, 10, 99}));

    // Positions beyond the output vector are skipped, the others written.
    Frame short_out(8, 0.0);
    m->calibrate(short_out, {1, 2, 3, 4});
    EXPECT_EQ(short_out[7], 4.0);

    // A taxel later in the list adds on top of what the triaxial assigned.
    auto t = taxel_model(taxel_record(4, 7, 0, 0, {1}));
    t->calibrate(out, {1, 2, 3, 4, 1});
    EXPECT_EQ(out[7], 5.0);
}

TEST(TriaxialModel, SkipsFramesTooShortForItsRawPositions) {
    auto r = triaxial_record();
    r->input_map = {{0, 0}, {1, 1}, {2, 2}, {5, 3}};
    auto m = triaxial_model(r);
    Frame out{7, 7, 7};
    m->calibrate(out, {1, 2, 3, 4, 5});
    EXPECT_EQ(out, (Frame{7, 7, 7}));
    m->calibrate(out, {1, 2, 3, 9, 9, 4});
    EXPECT_EQ(out, (Frame{4, 2, 10}));
}

TEST(TriaxialModel, ChannelsTheInputMapDoesNotNameHoldZero) {
    auto r = triaxial_record();
    r->input_map = {{0, 0}, {1, 2}};
    r->offset = {0, 50, 0, 50};  // would make unnamed channels non-zero
    r->lower = {0, -100, 0, -100};
    auto m = triaxial_model(r);
    for (int frame = 0; frame < 3; ++frame) EXPECT_EQ(run(*m, {1, 3}), (Frame{2, -4, 4, 0}));
}

TEST(TriaxialModel, SetParametersChecksTheRecordBeforeTakingIt) {
    auto m = triaxial_model(triaxial_record());
    auto keeps_first = [&] { return run(*m, {1, 2, 3, 4}) == Frame{4, 2, 10, 0}; };

    auto other_kind = triaxial_record();
    other_kind->sensor_type = kTaxelSensorType;
    EXPECT_EQ(error_of([&] { m->set_parameters(other_kind); }), "Invalid sensor type");
    EXPECT_EQ(error_of([&] { m->set_parameters(nullptr); }), "Invalid sensor type");

    auto faulty = triaxial_record();
    faulty->lower.resize(3);
    EXPECT_EQ(error_of([&] { m->set_parameters(faulty); }),
              "Unusable triaxial record, lower: 3 values, but it needs one per channel (4)");
    faulty = triaxial_record();
    faulty->input_map[4] = 4;
    EXPECT_EQ(error_of([&] { m->set_parameters(faulty); }),
              "Unusable triaxial record, input_map: sends raw position 4 to channel 4, outside 0..3");
    faulty = triaxial_record();
    faulty->output_map[3] = 3;
    EXPECT_EQ(error_of([&] { m->set_parameters(faulty); }),
              "Unusable triaxial record, output_map: names axis 3, outside 0..2 (x, y, z)");
    EXPECT_TRUE(keeps_first());
}

TEST(TriaxialModel, ZeroingChangesNothing) {
    auto r = triaxial_record();
    r->offset = {1, 1, 1, 1};
    auto m = triaxial_model(r);
    const Frame before = run(*m, {3, 5, 7, 9});
    m->zero({{3, 5, 7, 9}, {3, 5, 7, 9}});
    EXPECT_EQ(r->offset, (Frame{1, 1, 1, 1}));
    EXPECT_EQ(run(*m, {3, 5, 7, 9}), before);
}

// Triaxial models come first: a taxel sharing an output position with an
// axis adds onto the value the axis wrote.
TEST(BuildModels, MakesTriaxialsThenTaxelsEachWithItsRecordAndSizesTheOutput) {
    auto tri = triaxial_record();
    auto tax = taxel_record(4, 2, 0, 0, {0, 1});
    const ModelSet set = build_models({tri}, {tax, taxel_record(5, 6, 0, 0, {1})});
    ASSERT_EQ(set.models.size(), 3u);
    EXPECT_EQ(set.records, (std::vector<std::shared_ptr<SensorParameters>>{tri, tax, set.records[2]}));
    EXPECT_EQ(set.outputs, 7u);
    Frame out(set.outputs, 0.0);
    for (const auto& model : set.models) model->calibrate(out, {1, 2, 3, 4, 100, 1});
    EXPECT_EQ(out, (Frame{4, 2, 110, 0, 0, 0, 1}));
    EXPECT_EQ(error_of([] { build_models({nullptr}, {}); }), "Invalid sensor type");
}

TEST(ConsoleMessage, WritesOneColouredLineToStandardOutput) {
    std::ostringstream captured;
    std::streambuf* const saved = std::cout.rdbuf(captured.rdbuf());
    console_message("Sensor", "configured but not plugged in");
    std::cout.rdbuf(saved);
    EXPECT_EQ(captured.str(), kNotPluggedLine);
}

// The warning is written once per process. The check runs in a fresh child
// process, so it holds whatever other tests of this program did before.
TEST(ConsoleMessage, NotPluggedInIsWrittenOnceAcrossModelsAndThreads) {
#if GTEST_HAS_DEATH_TEST
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto scenario = [] {
        std::ostringstream captured;
        std::streambuf* const saved = std::cout.rdbuf(captured.rdbuf());
        std::vector<std::thread> readers;
        bool untouched = true;
        std::vector<char> thread_untouched(4, 1);
        for (int t = 0; t < 4; ++t) {
            readers.emplace_back([t, &thread_untouched] {
                // Two models per thread, as if each thread were one comms object.
                auto a = taxel_model(taxel_record(10, 0, 0, 0, {1}));
                auto b = taxel_model(taxel_record(20 + t, 0, 0, 0, {1}));
                for (int frame = 0; frame < 200; ++frame) {
                    Frame out(1, 0.0);
                    a->calibrate(out, Frame(10, 1.0));
                    b->calibrate(out, Frame(10, 1.0));
                    if (out[0] != 0.0) thread_untouched[static_cast<std::size_t>(t)] = 0;
                }
            });
        }
        for (auto& r : readers) r.join();
        std::cout.rdbuf(saved);
        for (char ok : thread_untouched) untouched = untouched && ok;
        std::exit(captured.str() == kNotPluggedLine && untouched ? 0 : 1);
    };
    EXPECT_EXIT(scenario(), ::testing::ExitedWithCode(0), "");
#else
    GTEST_SKIP() << "needs a child process";
#endif
}
