// The network built at run time against the reference network: driven the same way from a
// description's text on one kernel path, the first difference of state, outputs, errors, save
// file or dumps. Shared by the differential test (beside generated modules) and the run-time
// network's own tests.
#ifndef TESTS_SUPPORT_RTNET_SUPPORT_H
#define TESTS_SUPPORT_RTNET_SUPPORT_H

#include <cstdint>
#include <string>

#include "bp/multi/common.h"
#include "gen/model.h"

namespace bptest {

// Build the network of `text` (named `origin` in messages) on `path`, and drive it and the
// reference through initialization, forward passes, `presentations` learning presentations,
// a save file (written into `work`) and its reload, and both ASCII dumps and the load of the
// bare one; settings and patterns are drawn from `seed`. "" when everything agreed.
std::string compare_network(const std::string &text, const std::string &origin, const bpgen::Model &model,
                            std::uint64_t seed, bp_multi::Path path, const std::string &work, int presentations);

}  // namespace bptest

#endif
