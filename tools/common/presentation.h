// The order in which nn-train presents its training set, pass after pass: the patterns in
// file order, or reshuffled before every pass. For a network with feedback the shuffle moves
// whole sequences and keeps each sequence's patterns together and in order; for a network
// without it the shuffle moves single patterns, as it always has.
#ifndef TOOLS_COMMON_PRESENTATION_H
#define TOOLS_COMMON_PRESENTATION_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/common/nn_patterns.h"

namespace presentation {

struct Order {
    bool by_sequence = false;        // the shuffle moves sequences, not patterns
    std::vector<std::size_t> units;  // by sequence: the sequences of the pass, in order
    std::vector<std::size_t> rows;   // the patterns of the pass, in order
};

// The first pass in file order; the shuffle unit is the sequence when by_sequence is set.
Order make_order(const nn_patterns::PatternSet &set, bool by_sequence);

// Shuffle the order for the next pass with splitmix64 from state: a Fisher-Yates shuffle of
// the previous pass's order (of its patterns, or of its sequences).
void reshuffle(Order &order, const nn_patterns::PatternSet &set, std::uint64_t &state);

// Presentations from position next of the pass to the end of the sequence under way: 0 when
// the pattern at next begins a sequence or the pass is over. first flags the patterns that
// begin a sequence.
std::size_t to_sequence_end(const Order &order, const std::vector<bool> &first, std::size_t next);

}  // namespace presentation

#endif
