// Embedded form of a network: one freestanding C99 file with the thresholds, weights and the
// logistic table baked in as constants, and a forward pass that needs no allocation, no files,
// no C library and no C++ runtime. The values come from the network's own module, so that the
// embedded pass returns the module's bits. C++ only (the generator and its tests).
#ifndef GEN_EMBED_H
#define GEN_EMBED_H

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "gen/model.h"

namespace bpgen {

// How the embedded pass forms its sums: in double, rounded where the module rounds (exact), or
// in float alone, for processors without a double-precision unit.
enum class Accumulate { exact, single };

// What bpnet-gen --embed was asked for.
struct EmbedOptions {
    std::string weights;  // a save file or a bare ASCII dump; empty: the initial random values
    int seed = 123;       // initial values' seed (and the test inputs' seed)
    float range = 0.1f;   // initial values uniform in [-range, range]
    int tests = 0;        // test vectors of NAME_embed_test.c; 0: no test program
    Accumulate accumulate = Accumulate::exact;
    std::string output;   // the folder the files go to
    int integer = 0;      // 16 or 8: the integer form of that width; 0: a float form
    int in_frac_bits = kNoFracBits;  // the integer form's input scale; kNoFracBits: from inputs or the default
    std::string inputs;   // a CSV of input vectors as the network sees them (integer form's scales)
    static constexpr int kNoFracBits = -1000;
};

// The trainable values of a network as the module holds them, and the test vectors.
struct EmbedValues {
    std::vector<std::vector<float>> thresholds;  // per layer, forward order
    std::vector<std::vector<float>> weights;     // per connection, in connections(m) order
    std::vector<std::vector<float>> coefficients;  // per layer: a1 of every unit, then a2 (none without feedback)
    std::vector<float> sigmoid;                  // the library's logistic table (1024 entries)
    float saturation[kUnitKindCount][2] = {};    // per table unit kind: the values at v >= 8 and v <= -8
    std::vector<float> test_inputs;              // tests x inputs
    std::vector<float> test_outputs;             // tests x outputs, the module's
    std::vector<float> largest_activation;       // per layer: the largest |activation| seen (integer form)
};

// The integer form of a network: every value fixed point (an integer q stands for q / 2^frac),
// the scales chosen per layer and per connection from the trained values, and the bounds that
// prove that no sum overflows its integer type.
struct IntegerLayer {
    int act_frac = 0;                    // fraction bits of the layer's activations
    int net_frac = 0;                    // fraction bits of its net inputs and thresholds
    std::int64_t act_max = 0;            // the largest |q| an activation of the layer can take
    std::vector<std::int64_t> thresholds;  // at net_frac
    std::int64_t net_bound = 0;          // proven: |net input + threshold| <= net_bound
};
struct IntegerConnection {
    int weight_frac = 0;               // fraction bits of the weights
    int shift = 0;                     // source act_frac + weight_frac - the layer's net_frac
    std::vector<std::int64_t> weights;  // at weight_frac
    std::int64_t largest_weight = 0;   // the largest |q| of the weights
    std::int64_t fan_in = 0;           // products in one sum
    std::int64_t parts = 1;            // sums added into one net input (kernel rows of a 2-D field)
    std::int64_t sum_bound = 0;        // proven: |sum of the exact products| <= sum_bound
    // Each product is shifted right by `pre` bits as it is added (so that a sum of 16-bit
    // products fits 32 bits); the sum, bounded by acc_bound, then by shift - pre bits.
    int pre = 0;
    std::int64_t acc_bound = 0;        // proven: |one sum| <= acc_bound before its final shift
};
struct IntegerPlan {
    int bits = 16;                        // 16 or 8
    std::int64_t qmax = 0, qmin = 0;      // the value type's range
    int in_frac = 0, out_frac = 0;
    bool wide = false;                    // sums in 64 bits (a 32-bit sum could overflow)
    std::vector<IntegerLayer> layers;     // forward order
    std::vector<IntegerConnection> connections;  // in connections(m) order
    std::vector<std::vector<std::int64_t>> tables;  // per unit kind: 1024 entries, then high and low (table kinds)
};
// The largest net input bound the integer form's 32-bit words take.
inline constexpr std::int64_t kIntegerNetLimit = (std::int64_t{1} << 31) - 1;
// The largest sum a 32-bit accumulator takes with its rounding half added.
inline constexpr std::int64_t kIntegerSumLimit = (std::int64_t{1} << 31) - 1;

// The plan of the integer form of `bits` bits with inputs at in_frac fraction bits, or an
// empty plan and the reason in `error` (a layer with feedback, a value too large to scale).
bool integer_plan(const Model &m, const EmbedValues &v, int bits, int in_frac, IntegerPlan &plan, std::string &error);
// The default fraction bits of the inputs of a form of `bits` bits: inputs in [-1, 1].
int default_in_frac(int bits);
// The fraction bits that hold |x| <= largest in a form of `bits` bits.
int frac_bits_for(double largest, int bits);
// Whether a network can have an integer form; the reason in `error` when not.
bool integer_supported(const Model &m, std::string &error);

// The texts of the integer form.
std::string integer_header(const Model &m, const IntegerPlan &p);
std::string integer_source(const Model &m, const IntegerPlan &p);
std::string integer_test(const Model &m, const IntegerPlan &p, const EmbedValues &v);
// The bytes of constant data of the integer form.
std::int64_t integer_const_bytes(const Model &m, const IntegerPlan &p);
// The words of working storage of the integer form.
std::int64_t integer_work(const Model &m);
// The tolerance of the integer form's test, relative to max(1, largest |output|).
double integer_tolerance(int bits);

// Sizes of the embedded form.
struct EmbedSizes {
    std::int64_t values = 0;       // thresholds and weights
    std::int64_t table = 0;        // table entries (0 when no unit reads the table)
    std::int64_t work = 0;         // floats of working storage (at least 1)
    std::int64_t const_bytes = 0;  // bytes of constant data
};
EmbedSizes embed_sizes(const Model &m);

// The texts of NAME_embed.h, NAME_embed.c and NAME_embed_test.c.
std::string embed_header(const Model &m, Accumulate acc);
std::string embed_source(const Model &m, const EmbedValues &v, Accumulate acc);
std::string embed_test(const Model &m, const EmbedValues &v, Accumulate acc);

// The files of an embedded form: (file name, text) pairs, in the order they are written.
using EmbedFiles = std::vector<std::pair<std::string, std::string>>;

// The embedded form of a network from its values (thresholds, weights, coefficients and, with
// `test`, the test vectors): adds the library's logistic table to v and puts NAME_embed.h,
// NAME_embed.c and with `test` NAME_embed_test.c into files. "" on success, else why not (a
// value that is not finite).
std::string embed_files(const Model &m, EmbedValues &v, Accumulate acc, bool test, EmbedFiles &files);

// Write the files into the folder (made when missing) through temporary names beside them,
// renamed only when every one is complete. "" on success, else why not (nothing left behind).
std::string write_embed_files(const std::string &dir, const EmbedFiles &files);

// One forward pass of the network from the input vector given: `activations` gets every
// layer's activations, layer after layer in forward order (the outputs last).
using ForwardPass = std::function<void(const float *input, std::vector<float> &activations)>;

// What the integer form is made from besides the values: its width, the inputs' fraction bits
// (kNoFracBits: from the rows, else the default), input vectors as the network sees them, how
// many of the vectors (the rows first, then random ones) the test program takes (0: none) and
// the random vectors' seed.
struct IntegerRequest {
    int bits = 16;
    int in_frac_bits = EmbedOptions::kNoFracBits;
    std::vector<float> rows;
    int tests = 0;
    int seed = 123;
};

// The integer form of a network from its values: the inputs' scale, the calibration of the
// layers' scales by the forward pass over the rows and random vectors (keeping the test
// vectors and their outputs in v), the plan, and NAME_embed.h, NAME_embed.c and with tests
// NAME_embed_test.c in files. "" on success, else why not (feedback, a value not finite, a
// value too large to scale).
std::string integer_files(const Model &m, EmbedValues &v, const IntegerRequest &r, const ForwardPass &forward,
                          IntegerPlan &plan, EmbedFiles &files);

// Compile the network's module into the shared object at the path given; 0 on success (a
// message already printed otherwise).
using ModuleBuilder = std::function<int(const std::string &)>;

// bpnet-gen --embed: build the module, take its values (initial, or loaded from the weights
// file) and its outputs on the test vectors, write the files, print the size report. Nothing
// is written when any step fails. The exit status.
int run_embed(const Model &m, const EmbedOptions &o, const ModuleBuilder &build_module);

}  // namespace bpgen

#endif
