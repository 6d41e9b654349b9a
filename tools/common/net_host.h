// The network a tool works on, held open for the tool's run: the built-in network nn, a
// shared network module loaded at run time, or a network built at run time from a
// description, all of them a bpnet::Network (bpnet/bpnet_network.h), which opens and checks
// modules through their descriptors.
#ifndef TOOLS_COMMON_NET_HOST_H
#define TOOLS_COMMON_NET_HOST_H

#include <string>

#include "gen/rtnet/bpnet_network.h"

namespace net_host {

// Open the network: the built-in nn when module_path is empty, else the shared module at
// module_path (see bpnet::Network::open_module: its file is checked before the loader sees
// it, and its descriptor before any entry point but its query and start-up is called).
// Returns false with a message in error; the network is then not open.
bool open_network(const std::string &module_path, std::string &error);

// Open the network built at run time from the description file at description_path.
// Returns false with the description's "FILE:LINE:COLUMN: message" in error.
bool open_description(const std::string &description_path, std::string &error);

// Whether a network is open, and the open network (only once one is).
bool is_open();
bpnet::Network &network();

// Whether the open network is the built-in nn.
bool built_in();

// Whether a layer of the open network has feedback: its outputs then depend on the patterns
// before, so sequences are presented whole and in order.
bool has_feedback();

// "network nn", "network digits of module digits.so" or "network digits of description
// digits.toml", for messages.
std::string network_label();

// The network's last error or warning text; empty when no network is open.
std::string error_text();

// When a save file could not be loaded: the name of the network whose record the file holds,
// if it is a save file of another network; empty otherwise (or when it cannot be told).
std::string other_network_in(const std::string &save_file);

}  // namespace net_host

#endif
