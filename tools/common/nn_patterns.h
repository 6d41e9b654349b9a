// Training and evaluation patterns shared by the tools: the built-in four-class
// demonstration task and the CSV pattern format, one pattern a line: the inputs, then the
// targets ("x0,x1,t0,t1,t2,t3" for the network nn) or one class index in their place. An
// empty line ends a sequence: the patterns between empty lines are presented in order, after
// the network's delays have been cleared.
#ifndef TOOLS_COMMON_NN_PATTERNS_H
#define TOOLS_COMMON_NN_PATTERNS_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nn_patterns {

// One presentation: the network's two inputs and its four targets.
struct Pattern {
    float in[2];
    float target[4];
};

// The patterns' own deterministic generator (splitmix64): the next 64-bit value of state.
std::uint64_t splitmix64(std::uint64_t &state);

// count patterns of the demonstration task, classes in turn 0, 1, 2, 3, 0, ..., drawn from
// the sampler's own generator seeded with seed (never from drand48).
std::vector<Pattern> demo_patterns(std::size_t count, std::uint64_t seed);

// Parse CSV text. On a malformed line: returns false, line is its number (from 1) and
// error says what is wrong; out then holds the patterns before that line.
bool parse_csv(std::string_view text, std::vector<Pattern> &out, int &line, std::string &error);

// Read and parse a CSV file. On failure returns false with error "FILE:LINE: what is wrong"
// (or "FILE: reason" when the file cannot be read).
bool load_csv(const std::string &path, std::vector<Pattern> &out, std::string &error);

// Patterns of any size: each holds `inputs` input values then `outputs` target values.
struct PatternSet {
    int inputs = 0;
    int outputs = 0;
    std::vector<float> values;  // pattern after pattern, inputs + outputs floats each
    // The first pattern of each sequence, ascending, the first of them 0. Empty means one
    // sequence of every pattern (a set built by hand).
    std::vector<std::size_t> starts;

    std::size_t size() const;
    // Sequences in the set: 0 for an empty set, at least 1 otherwise.
    std::size_t sequences() const;
    // The patterns [begin, end) of sequence s (s < sequences()).
    std::size_t sequence_begin(std::size_t s) const;
    std::size_t sequence_end(std::size_t s) const;
    // One flag per pattern: whether it begins a sequence.
    std::vector<bool> first_flags() const;
    float *input(std::size_t k);
    const float *input(std::size_t k) const;
    const float *target(std::size_t k) const;
};

// How a CSV line gives the targets: all `outputs` of them, or one class index 0..outputs-1
// that stands for the one-hot target vector of that class.
enum class TargetForm { kVector, kClass };

// Parse CSV text into out (its sizes set from inputs and outputs). A line holding nothing but
// spaces and tabs is empty and ends a sequence (several in a row end one; empty lines before
// the first pattern or after the last end none); a comment line does not. On a malformed line:
// returns false, line is its number (from 1) and error says what is wrong; out then holds
// the patterns before that line.
bool parse_csv_sized(std::string_view text, int inputs, int outputs, TargetForm form, PatternSet &out, int &line,
                     std::string &error);

// Read and parse a CSV file of any size. On failure returns false with error
// "FILE:LINE: what is wrong" (or "FILE: reason" when the file cannot be read).
bool load_csv_sized(const std::string &path, int inputs, int outputs, TargetForm form, PatternSet &out,
                    std::string &error);

// The demonstration patterns as a set of 2 inputs and 4 targets.
PatternSet to_set(const std::vector<Pattern> &patterns);

}  // namespace nn_patterns

#endif
