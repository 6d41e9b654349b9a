// Input scaling chosen at training and kept beside the save file as FILE.scale: each input x
// is used as (x - offset) * factor, formed in double and rounded to float once.
//
// The side file is plain text:
//   # comment lines and blank lines are skipped
//   method minmax          (or zscore)
//   inputs N
//   0 OFFSET FACTOR        one line per input, in order, the numbers as floats ("%.9g")
//   ...
#ifndef TOOLS_COMMON_SCALING_H
#define TOOLS_COMMON_SCALING_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "tools/common/nn_patterns.h"

namespace scaling {

// none: the inputs as they are; minmax: each input's training range onto [-1, 1];
// zscore: each input less its training mean, divided by its standard deviation.
enum class Method { kNone, kMinMax, kZScore };

struct Scaling {
    Method method = Method::kNone;
    std::vector<float> offset;
    std::vector<float> factor;
};

// "none", "minmax", "zscore".
const char *method_name(Method m);
bool parse_method(std::string_view text, Method &out);

// The scaling of method m computed from the inputs of set. An input that is constant over
// the set keeps factor 1, so that it is only shifted.
Scaling compute(Method m, const nn_patterns::PatternSet &set);

// Scale the inputs of set in place. False when a scaled value is not a finite float; bad is
// then the pattern's index (from 0) and the set is partly scaled.
bool apply(const Scaling &s, nn_patterns::PatternSet &set, std::size_t &bad);

// The side file's name for a save file.
std::string side_file(const std::string &save_file);

// The side file's text.
std::string format(const Scaling &s);

// Read a side file for a network of `inputs` inputs; false with error "FILE:LINE: what is
// wrong" (or "FILE: reason").
bool load(const std::string &path, int inputs, Scaling &out, std::string &error);

}  // namespace scaling

#endif
