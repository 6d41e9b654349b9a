// The differential harness: a generated module, or the network built at run time, driven the
// same way as the reference network from settings and patterns drawn from one seed; the first
// difference of state, outputs, errors, counter, save file, dumps or descriptor, or "" when
// everything agreed. Shared by the differential test, the kernel paths' test and the run-time
// network's own tests.
#ifndef TESTS_SUPPORT_DIFFERENTIAL_H
#define TESTS_SUPPORT_DIFFERENTIAL_H

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "bp/multi/common.h"
#include "gen/model.h"
#include "support/gen_support.h"

namespace bpnet {
class Network;
struct NetworkState;
}

namespace bptest {

// The batch rule's gathering, written out: after the one-row gradient step of a row (its
// deltas in the network), add the row's gradient terms of every threshold and weight into
// `sums` (laid out as network_data) in double, and put back the gradients `kept` from the
// batch's start, since the one-row step's own are not the rule's.
void gather_row_gradients(bpnet::NetworkState &st, const std::vector<float> &kept, std::vector<double> &sums);

// Add every gathered sum to its gradient once, rounded to float.
void add_gathered_gradients(bpnet::NetworkState &st, const std::vector<double> &sums);

// n values drawn uniformly from [low, high).
std::vector<float> random_values(std::mt19937_64 &rng, std::size_t n, float low, float high);

// A copy of a network's network_data.
std::vector<float> snapshot(const bpnet::Network &net);

// How a generated module is driven: initialization ranges drawn from `ranges`, the threshold
// `odd_threshold` or 0.01 at random, `presentations` random patterns, learning runs of
// `short_run` presentations and of all of them; with `files`, also its save file (written into
// the work folder) and its reload, both ASCII dumps, its descriptor and the clearing of its delays.
struct ModuleDrive {
    std::vector<float> ranges;
    float odd_threshold;
    int presentations;
    int short_run;
    bool files;
};

// Drive the loaded module of `model` and the reference as `drive` says, from `seed`.
std::string compare_module(const Module &mod, const bpgen::Model &model, std::uint64_t seed, const ModuleDrive &drive,
                           const std::string &work);

// Build the network of `text` (named `origin` in messages) on `path`, and drive it and the
// reference through initialization, forward passes, `presentations` learning presentations,
// a save file (written into `work`) and its reload, and both ASCII dumps and the load of the
// bare one; settings and patterns are drawn from `seed`.
std::string compare_network(const std::string &text, const std::string &origin, const bpgen::Model &model,
                            std::uint64_t seed, bp_multi::Path path, const std::string &work, int presentations);

// compare_network on every kernel path this machine runs: how many ran, and one
// "path NAME: DIFFERENCE" for each that disagreed.
struct PathResults {
    int ran = 0;
    std::vector<std::string> failures;
};
PathResults compare_network_on_every_path(const std::string &text, const std::string &origin,
                                          const bpgen::Model &model, std::uint64_t seed, const std::string &work,
                                          int presentations);

// Description files work/NAME.toml of the texts, and the first `compiled` of them built into
// work/NAME.so with `bpnet-gen --shared` (two at a time); a build's messages are in NAME.so.log.
struct Built {
    std::vector<std::string> descriptions, modules;
    std::vector<int> status;  // one exit status per module
};
Built write_and_build(const std::string &work, const std::vector<std::string> &names,
                      const std::vector<std::string> &texts, std::size_t compiled);

}  // namespace bptest

#endif
