// The built-in network nn as a module linked into the host, for bpnet::Network::from_descriptor:
// its descriptor query, the names hosts use by the names a module exports them under, and the
// size of its network_data. Opening it starts the module up (see from_descriptor).
#ifndef NETWORK_NN_LINKED_H
#define NETWORK_NN_LINKED_H

#include <cstring>

#include "gen/rtnet/bpnet_network.h"
#include "network/nn.h"

namespace nn_linked {

// The address of the built-in network's name, or null when it has none by that name.
inline void *symbol(const char *name)
{
    struct Symbol {
        const char *name;
        void *address;
    };
    static const Symbol kSymbols[] = {
        {"network_initialize", reinterpret_cast<void *>(&network_initialize)},
        {"nn_calc_error", reinterpret_cast<void *>(&nn_calc_error)},
        {"network_ascii_dump", reinterpret_cast<void *>(&network_ascii_dump)},
        {"network_load_ascii", reinterpret_cast<void *>(&network_load_ascii)},
        {"network_ascii_dump_file", reinterpret_cast<void *>(&network_ascii_dump_file)},
        {"network_load_ascii_file", reinterpret_cast<void *>(&network_load_ascii_file)},
        {"network_learn_presentation", reinterpret_cast<void *>(&network_learn_presentation)},
        {"network_forward_rows", reinterpret_cast<void *>(&network_forward_rows)},
        {"network_learn_rows", reinterpret_cast<void *>(&network_learn_rows)},
        {"network_learn_batch", reinterpret_cast<void *>(&network_learn_batch)},
        {"network_set_optimizer", reinterpret_cast<void *>(&network_set_optimizer)},
        {"network_forward_pdpfa", reinterpret_cast<void *>(&network_forward_pdpfa)},
        {"network_forward_print", reinterpret_cast<void *>(&network_forward_print)},
        {"BPthreshold", static_cast<void *>(&BPthreshold)},
        {"network_clear_delays", reinterpret_cast<void *>(&network_clear_delays)},
        {"network_data", static_cast<void *>(network_data)},
    };
    for (const Symbol &s : kSymbols)
        if (std::strcmp(s.name, name) == 0)
            return s.address;
    return nullptr;
}

// The built-in network as a linked module.
inline bpnet::LinkedModule module()
{
    return {&network_query, &symbol, NN_DATA_SIZE};
}

}  // namespace nn_linked

#endif
