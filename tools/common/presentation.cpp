// The presentation order of a training set: file order or shuffled, by pattern or by sequence.
#include "tools/common/presentation.h"

#include <utility>

namespace {

// Fisher-Yates from the top, one splitmix64 value per swap; the order every shuffled run
// of nn-train has used, so that its results stay the same bits.
void shuffle(std::vector<std::size_t> &v, std::uint64_t &state)
{
    for (std::size_t i = v.size(); i > 1; i--) {
        const std::size_t j = static_cast<std::size_t>(nn_patterns::splitmix64(state) % i);
        std::swap(v[i - 1], v[j]);
    }
}

// The patterns of the order's sequences, one sequence after the other.
void expand(presentation::Order &order, const nn_patterns::PatternSet &set)
{
    order.rows.clear();
    for (const std::size_t s : order.units)
        for (std::size_t k = set.sequence_begin(s); k < set.sequence_end(s); k++)
            order.rows.push_back(k);
}

}  // namespace

namespace presentation {

Order make_order(const nn_patterns::PatternSet &set, const bool by_sequence)
{
    Order order;
    order.by_sequence = by_sequence;
    if (by_sequence) {
        order.units.resize(set.sequences());
        for (std::size_t s = 0; s < order.units.size(); s++)
            order.units[s] = s;
    }
    order.rows.resize(set.size());
    for (std::size_t k = 0; k < order.rows.size(); k++)
        order.rows[k] = k;
    return order;
}

void reshuffle(Order &order, const nn_patterns::PatternSet &set, std::uint64_t &state)
{
    if (!order.by_sequence) {
        shuffle(order.rows, state);
        return;
    }
    shuffle(order.units, state);
    expand(order, set);
}

std::size_t to_sequence_end(const Order &order, const std::vector<bool> &first, const std::size_t next)
{
    std::size_t k = next;
    while (k < order.rows.size() && !first[order.rows[k]])
        k++;
    return k - next;
}

}  // namespace presentation
