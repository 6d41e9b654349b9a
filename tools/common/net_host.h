// The network a tool works on, seen only through its descriptor: the built-in network nn, or
// a shared network module loaded at run time. Every entry point and size the tools use comes
// from one table, filled from the module's network_query and, for what the descriptor does not
// hold, from the module's symbols of fixed network-level names (network_ascii_dump,
// BPthreshold, ...) or named after its black box (NAME_calc_error).
#ifndef TOOLS_COMMON_NET_HOST_H
#define TOOLS_COMMON_NET_HOST_H

#include <string>

namespace net_host {

// Largest input or layer size, and largest layer count, that a descriptor may give.
constexpr int kMaxUnits = 1 << 20;
constexpr int kMaxLayers = 4096;

// The entry points and sizes of the open network.
struct Network {
    bool built_in = true;       // the network nn linked into the tool
    std::string module;         // the module's file name (empty for the built-in network)
    std::string source;         // the description a run-time network was built from (else empty)
    std::string name;           // the black box's name ("nn")
    std::string description;    // the description file the network was made from
    int inputs = 0;             // size of the input vector
    int outputs = 0;            // size of the output layer (layer 0)
    int layers = 0;             // layer count
    int units = 0;              // units in all layers
    int parameters = 0;         // trainable values: thresholds and weights
    int feedback = 0;           // the highest feedback order of its layers (0: none)
    bool linear_outputs = false;  // the output layer's units are linear

    // From the descriptor.
    int (*init)(void) = nullptr;
    void (*forward)(void) = nullptr;  // one forward pass from the registered input vector
    void (*learn)(unsigned, void (*)(void)) = nullptr;
    int (*dump)(const char *) = nullptr;
    int (*load)(const char *) = nullptr;
    char *(*error_text)(void) = nullptr;
    void (*set_rate)(float) = nullptr;
    void (*set_inertia)(float) = nullptr;
    void (*set_seed)(int) = nullptr;
    void (*set_range)(float) = nullptr;
    int (*get_counter)(void) = nullptr;
    void (*set_counter)(int) = nullptr;
    void (*set_input)(float *) = nullptr;
    void (*set_target)(float *) = nullptr;
    float *(*get_output)(void) = nullptr;

    // From the module's symbols.
    float (*calc_error)(void) = nullptr;  // NAME_calc_error: the presentation's error
    void (*ascii_dump)(int) = nullptr;
    int (*load_ascii)(void) = nullptr;
    void (*forward_pdpfa)(unsigned, void (*)(void), float) = nullptr;
    void (*forward_print)(int, void (*)(void)) = nullptr;
    float *threshold = nullptr;  // BPthreshold
    void (*clear_delays)(void) = nullptr;  // network_clear_delays: a sequence starts
};

// Open the network: the built-in nn when module_path is empty, else the shared module at
// module_path. Its file passes module_file::check before the loader sees it, and the
// module is checked before any of its entry points is used: it must have
// network_query, and the descriptor that answers must be consistent (sizes in range, no null
// entry point, as many layers as it says). Only network_query and, once the black box checks
// out, network_initialize are called before the whole table has been checked. Returns false
// with a message in error (nothing called after a failed check); the network is then not open.
bool open_network(const std::string &module_path, std::string &error);

// Open the network built at run time from the description file at description_path (see
// bpnet/bpnet_network.h): the table's entry points are trampolines over that one network.
// Returns false with the description's "FILE:LINE:COLUMN: message" in error.
bool open_description(const std::string &description_path, std::string &error);

// The open network (the table is empty before open_network succeeds).
const Network &network();

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
