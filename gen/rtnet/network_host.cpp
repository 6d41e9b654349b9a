// The host's forms of a network's calls, over a network built at run time or a module's: its
// sizes and kinds, the registered vectors and the module's own loops, the dumps on the host's
// streams and the error text. The tools run their presentations through these.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "gen/rtnet/bpnet_network.h"
#include "gen/rtnet/module_network.h"
#include "gen/rtnet/rtnet_state.h"

namespace bpnet {

namespace {

const std::string kNoPath;

}  // namespace

int Network::units() const
{
    return module_ ? module_->units : state_->module.units;
}

int Network::feedback() const
{
    if (module_)
        return module_->feedback;
    int order = 0;
    for (const bpgen::Layer &l : state_->model.layers)
        order = std::max(order, l.feedback);
    return order;
}

bool Network::linear_outputs() const
{
    return module_ ? module_->linear_outputs : state_->model.layers.back().unit == bpgen::Unit::linear;
}

bool Network::cross_entropy_outputs() const
{
    return module_ ? module_->cross_entropy_outputs : bpgen::unit_kind(state_->model.layers.back().unit).output_only;
}

const std::string &Network::module_path() const
{
    return module_ ? module_->path : kNoPath;
}

bool Network::is_module() const
{
    return module_ != nullptr;
}

void Network::use_vectors(float *input, float *target)
{
    if (module_)
        return module_->use_vectors(input, target);
    state_->input = input;
    state_->target = target;
}

void Network::forward()
{
    if (module_)
        return module_->forward();
    propagate_forward(*state_);
}

const float *Network::output() const
{
    if (module_)
        return module_->output();
    return state_->data.data() + state_->layers.back().act;
}

float Network::measure_error()
{
    if (module_)
        return module_->measure_error();
    return bpnet::calc_error(*state_);
}

void Network::learn(unsigned iterations, void (*pattern)(void))
{
    if (module_)
        return module_->learn(iterations, pattern);
    state_->error[0] = '\0';
    if (iterations > 0 && !bpm::optimizer_ready(state_->module, "learn"))
        throw Error(trimmed_message(error_text()));
    bpm::learn(state_->module, iterations, pattern);
}

void Network::learn(unsigned iterations, void (*pattern)(void), int batch)
{
    if (module_)
        return module_->learn(iterations, pattern, batch);
    state_->error[0] = '\0';
    if (bpm::learn(state_->module, iterations, pattern, batch) != 0)
        throw Error(trimmed_message(error_text()));
}

void Network::forward_pdpfa(unsigned iterations, void (*pattern)(void), float pd_threshold)
{
    if (module_)
        return module_->forward_pdpfa(iterations, pattern, pd_threshold);
    bpm::forward_pdpfa(state_->module, iterations, pattern, pd_threshold);
}

void Network::forward_print(int iterations, void (*pattern)(void))
{
    if (module_)
        return module_->forward_print(iterations, pattern);
    bpm::forward_print(state_->module, iterations, pattern);
}

void Network::ascii_dump(std::FILE *out, bool labelled)
{
    if (module_)
        return module_->ascii_dump(out, labelled);
    bpm::ascii_dump(state_->module, out, labelled ? 1 : 0);
}

void Network::load_ascii(std::FILE *in)
{
    if (module_)
        return module_->load_ascii(in);
    state_->error[0] = '\0';
    if (bpm::load_ascii(state_->module, in) != 0)
        throw Error(trimmed_message(error_text()));
}

std::string Network::error_text() const
{
    if (module_)
        return module_->error_text();
    return std::string(state_->error, strnlen(state_->error, kErrorSize));
}

}  // namespace bpnet
