// The set-up that nn-train and nn-eval share: network and pattern options, the network, the
// patterns, a save file.
#include "tools/common/tool_setup.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "tools/common/net_host.h"

namespace tool_setup {

namespace {

// A network comes from a module or from a description, not both.
void reject_both(bp_cli::Argument &a)
{
    a.ok = false;
    a.problem = "--module and --description cannot be given together";
}

}  // namespace

bool match_pattern_option(bp_cli::Argument &a, PatternOptions &p)
{
    std::uint64_t u = 0;
    if (bp_cli::match_option(a, "--module")) {
        p.module = a.value;
        if (!p.description.empty())
            reject_both(a);
    } else if (bp_cli::match_option(a, "--description")) {
        p.description = a.value;
        if (!p.module.empty())
            reject_both(a);
    } else if (bp_cli::match_option(a, "--data")) {
        p.data = a.value;
    } else if (bp_cli::match_option(a, "--targets")) {
        if (std::string_view(a.value) == "vector")
            p.targets = nn_patterns::TargetForm::kVector;
        else if (std::string_view(a.value) == "class")
            p.targets = nn_patterns::TargetForm::kClass;
        else
            bp_cli::bad_value(a, "--targets", "expected vector or class");
    } else if (bp_cli::match_option(a, "--samples")) {
        if (bp_cli::parse_unsigned(a.value, kMaxSamples, u) && u > 0)
            p.samples = u;
        else
            bp_cli::bad_value(a, "--samples", "expected a whole number from 1 to 100000000");
    } else if (bp_cli::match_option(a, "--sample-seed")) {
        if (bp_cli::parse_unsigned(a.value, UINT64_MAX, u))
            p.sample_seed = u;
        else
            bp_cli::bad_value(a, "--sample-seed", "expected a whole number from 0 to 18446744073709551615");
    } else {
        return false;
    }
    return true;
}

bool open_network(const char *tool, const std::string &module)
{
    std::string error;
    if (net_host::open_network(module, error))
        return true;
    std::fprintf(stderr, "%s: %s\n", tool, error.c_str());
    return false;
}

bool open_description(const char *tool, const std::string &description)
{
    std::string error;
    if (net_host::open_description(description, error))
        return true;
    std::fprintf(stderr, "%s: %s\n", tool, error.c_str());
    return false;
}

bool open_network(const char *tool, const PatternOptions &p)
{
    return p.description.empty() ? open_network(tool, p.module) : open_description(tool, p.description);
}

bool load_patterns(const std::string &file, nn_patterns::TargetForm form, nn_patterns::PatternSet &set)
{
    const bpnet::Network &net = net_host::network();
    std::string error;
    if (!nn_patterns::load_csv_sized(file, net.inputs(), net.outputs(), form, set, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    if (set.size() == 0) {
        std::fprintf(stderr, "%s: no patterns\n", file.c_str());
        return false;
    }
    return true;
}

bool read_patterns(const char *tool, const PatternOptions &p, nn_patterns::PatternSet &set)
{
    if (!p.data.empty())
        return load_patterns(p.data, p.targets, set);
    const bpnet::Network &net = net_host::network();
    if (net.inputs() != 2 || net.outputs() != 4) {
        std::fprintf(stderr,
                     "%s: the demonstration task is for a network of 2 inputs and 4 outputs; %s has %d inputs "
                     "and %d outputs: give its patterns with --data FILE\n",
                     tool, net_host::network_label().c_str(), net.inputs(), net.outputs());
        return false;
    }
    set = nn_patterns::to_set(nn_patterns::demo_patterns(static_cast<std::size_t>(p.samples), p.sample_seed));
    return true;
}

bool load_save_file(const char *tool, const std::string &save_file)
{
    bpnet::Network &net = net_host::network();
    try {
        net.load(save_file);
        return true;
    } catch (const bpnet::Error &) {
        bp_cli::report_module_message(tool);
    }
    const std::string other = net_host::other_network_in(save_file);
    if (!other.empty())
        std::fprintf(stderr, "%s: %s is a save file of the network %s, not of %s\n", tool, save_file.c_str(),
                     other.c_str(), net.name().c_str());
    return false;
}

}  // namespace tool_setup
