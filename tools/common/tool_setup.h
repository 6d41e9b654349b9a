// What the tools share before their own work: the options that choose the
// network and its patterns, opening the network, reading the patterns (a CSV file, or the
// demonstration task), and loading a save file over the network.
#ifndef TOOLS_COMMON_TOOL_SETUP_H
#define TOOLS_COMMON_TOOL_SETUP_H

#include <cstdint>
#include <string>

#include "tools/common/cli.h"
#include "tools/common/nn_patterns.h"

namespace tool_setup {

// The network and where its patterns come from; each tool sets its own defaults.
struct PatternOptions {
    std::string module;  // empty for the built-in network
    std::string data;    // empty for the demonstration task
    nn_patterns::TargetForm targets = nn_patterns::TargetForm::kVector;
    std::uint64_t samples = 0;      // size of the demonstration set
    std::uint64_t sample_seed = 0;  // seed of the demonstration sampler
    std::string description{};      // a description to build the network from at run time (else empty)
};

// Largest demonstration set.
constexpr std::uint64_t kMaxSamples = 100000000;

// Match --module, --description, --data, --targets, --samples or --sample-seed into p; true
// when one matched (--module and --description together are a usage error).
bool match_pattern_option(bp_cli::Argument &a, PatternOptions &p);

// Open the network (see net_host::open_network); false after printing "<tool>: why".
bool open_network(const char *tool, const std::string &module);
// Open the network p names: the run-time network of its description, or its module (or nn).
bool open_network(const char *tool, const PatternOptions &p);
// Open the run-time network of a description (see net_host::open_description); false after
// printing "<tool>: FILE:LINE:COLUMN: why".
bool open_description(const char *tool, const std::string &description);

// Read a CSV file of the open network's sizes into set; false after printing the message
// (also when the file holds no pattern).
bool load_patterns(const std::string &file, nn_patterns::TargetForm form, nn_patterns::PatternSet &set);

// The patterns p names for the open network: its --data file, or the demonstration task (for
// a network of 2 inputs and 4 outputs only); false after printing the message.
bool read_patterns(const char *tool, const PatternOptions &p, nn_patterns::PatternSet &set);

// Load save_file over the open network; false after printing the network's message and, for
// a save file of another network, which network it belongs to.
bool load_save_file(const char *tool, const std::string &save_file);

}  // namespace tool_setup

#endif
