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
};

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

// Compile the network's module into the shared object at the path given; 0 on success (a
// message already printed otherwise).
using ModuleBuilder = std::function<int(const std::string &)>;

// bpnet-gen --embed: build the module, take its values (initial, or loaded from the weights
// file) and its outputs on the test vectors, write the files, print the size report. Nothing
// is written when any step fails. The exit status.
int run_embed(const Model &m, const EmbedOptions &o, const ModuleBuilder &build_module);

}  // namespace bpgen

#endif
