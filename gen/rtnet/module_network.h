// The network of a module opened through its descriptor: a file made by `bpnet-gen --shared`,
// loaded by the dynamic loader, or a module linked into the host. Internal to the library:
// hosts see it as a bpnet::Network.
//
// A module keeps its state in process-wide C globals (network_data, error_string, the
// settings) and draws from the process's random generator, so every call into any module
// holds one lock that all modules' networks share (recursive: a pattern function called from
// the module's learning loop may call back into the network).
#ifndef GEN_RTNET_MODULE_NETWORK_H
#define GEN_RTNET_MODULE_NETWORK_H

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gen/rtnet/bpnet_network.h"
#include "gen/runtime/bpnet_descriptor.h"

namespace bpnet {

// The library's message without the blank lines around it ("unknown error" when it is empty).
std::string trimmed_message(const std::string &text);

class ModuleNetwork {
public:
    // Open the module file at path (see Network::open_module); throws Error.
    static std::unique_ptr<ModuleNetwork> open(const std::string &path, bool private_copy);
    // Open a module linked into the host (see Network::from_descriptor); throws Error.
    static std::unique_ptr<ModuleNetwork> linked(const LinkedModule &linked);
    ~ModuleNetwork();
    ModuleNetwork(const ModuleNetwork &) = delete;
    ModuleNetwork &operator=(const ModuleNetwork &) = delete;

    // The lock every call into a module holds.
    static std::recursive_mutex &lock();

    // What the opener found: sizes, names and the module's entry points.
    std::string path;         // the module's file (empty for a linked module)
    std::string name;         // the black box's name
    std::string description;  // the description file it was made from
    int inputs = 0, outputs = 0, layer_count = 0, units = 0, parameters = 0, feedback = 0;
    int data_size = 0;        // floats of network_data (0: cannot be told)
    bool linear_outputs = false;
    bool cross_entropy_outputs = false;  // its output layer learns on the cross-entropy
    std::vector<LayerSize> layers;  // forward order
    const bpnet_descriptor *d = nullptr;  // the network section, written by the start-up
    float *data = nullptr;    // network_data (null: cannot be told)
    float *threshold_value = nullptr;  // BPthreshold
    float (*calc_error_fn)(void) = nullptr;   // NAME_calc_error
    void (*ascii_dump_fn)(int) = nullptr;     // on standard output
    int (*load_ascii_fn)(void) = nullptr;     // from standard input
    void (*ascii_dump_file_fn)(std::FILE *, int) = nullptr;  // the forms on a host's stream
    int (*load_ascii_file_fn)(std::FILE *) = nullptr;
    float (*learn_presentation_fn)(void) = nullptr;  // one presentation, returning its error
    // Blocks of rows and the batch loop, which older modules lack (null).
    int (*forward_rows_fn)(int, const float *, float *, int) = nullptr;
    int (*learn_rows_fn)(int, const float *, const float *, int, float *) = nullptr;
    int (*learn_batch_fn)(unsigned, void (*)(void), int) = nullptr;
    void (*forward_pdpfa_fn)(unsigned, void (*)(void), float) = nullptr;
    void (*forward_print_fn)(int, void (*)(void)) = nullptr;
    void (*clear_delays_fn)(void) = nullptr;
    // The optimizer's setting, which older modules lack (null: sgd without decay only).
    int (*set_optimizer_fn)(int, double, double, double, double) = nullptr;
    bool adam = false;  // adam chosen: learning needs a rate above 0
    std::vector<float> input, target;  // the vectors of forward(x, y) and learn(x, t)

    // The last error or warning text; its message without the blank lines around it.
    std::string error_text() const;
    std::string message() const;

    // The calls of bpnet::Network on the module, each under the module lock.
    float learning_rate() const;
    void set_learning_rate(float rate);
    float inertia() const;
    void set_inertia(float inertia);
    float threshold() const;
    void set_threshold(float threshold);
    int counter() const;
    void set_counter(int counter);
    void set_optimizer(int kind, double beta1, double beta2, double epsilon, double decay);
    std::vector<TrainableBlock> blocks() const;
    void initialize(int seed, float range);
    void forward(const float *x, float *y);
    float learn(const float *x, const float *t);
    void forward_rows(int rows, const float *x, float *y, int threads);
    void learn_rows(int rows, const float *x, const float *t, int batch, float *errors, int threads);
    void clear_delays();
    void save(const std::string &file);
    void load(const std::string &file);
    void ascii_dump(std::FILE *out, bool labelled);
    void load_ascii(std::FILE *in);
    void use_vectors(float *in, float *out);
    void forward();
    const float *output() const;
    float measure_error();
    void learn(unsigned iterations, void (*pattern)(void));
    void learn(unsigned iterations, void (*pattern)(void), int batch);
    void forward_pdpfa(unsigned iterations, void (*pattern)(void), float pd_threshold);
    void forward_print(int iterations, void (*pattern)(void));

private:
    ModuleNetwork() = default;
    // Check the descriptor and find the names, through query and symbol; where names the
    // module in messages.
    void check(bpnet_query_fn query, const std::string &where);
    void *find(const char *name) const;
    // Throw when adam is chosen and the learning rate is not above 0.
    void check_rate() const;
    // The module's file, or "built-in network", for messages.
    std::string where() const;

    bpnet_query_fn query_ = nullptr;  // the descriptor's query
    void *handle_ = nullptr;  // the loader's handle (null for a linked module)
    void *(*symbol_)(const char *) = nullptr;  // a linked module's lookup
};

}  // namespace bpnet

#endif
