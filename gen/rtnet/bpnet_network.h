// A network as every host sees it: built at run time from a description (a file or its text),
// without generating or compiling code, with the layout, the rules and the bits of the module
// that bpnet-gen would generate from the same description, on every kernel path; or a network
// module made by `bpnet-gen --shared` (or linked into the host) opened through its descriptor.
//
// Several networks may live in one process, and different networks may be built, initialized,
// run, trained, saved and loaded in different threads at the same time: each owns its state,
// its random source (seeded and drawn as the process's srand48 and drand48 would be, so a
// network gives the same bits whether others work beside it or not) and its error text. What
// they share is read only (the logistic table, built once by the first network, and the kernel
// path chosen for the process). One network is not to be used from two threads at once:
// callers serialize the calls on each network. Generated modules keep the process-wide state
// their C interface names (network_data, error_string, the process's random generator), so
// calls into them are serialized as before; they may run beside networks built at run time.
// The library serializes them itself: every call on a network of a module holds one lock that
// all such networks share.
#ifndef BPNET_NETWORK_H
#define BPNET_NETWORK_H

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// A module's descriptor (bpnet_descriptor.h): its query is all the library needs of its type.
struct bpnet_descriptor;

namespace bpnet {

// Largest input or layer size, and the most units in all layers, that a module's descriptor
// may claim before it is believed; the most layers. Networks built from descriptions are
// bounded by the description's own rules instead.
constexpr int kMaxUnits = 1 << 20;
constexpr int kMaxLayers = 4096;

// What every failure of a network throws: a description's "FILE:LINE:COLUMN: message", or the
// library's message for a file that cannot be saved or loaded.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A layer's name and unit count.
struct LayerSize {
    std::string name;
    int size;
    int feedback = 0;  // the order of its units' filters (0: none)
};

// A block of trainable values in network_data: the layer it belongs to, its source (empty for
// the layer's thresholds, "$INPUTS" or the source layer's name for a connection's weights, "a1"
// or "a2" for feedback coefficients), its first float and its count.
struct TrainableBlock {
    std::string layer;
    std::string source;
    int start;
    int count;
};

struct NetworkState;
class ModuleNetwork;

// A network module linked into the host program: its descriptor query, the lookup of the other
// names it exports (network_initialize, NAME_calc_error, BPthreshold, ...; null when it has
// none) and the floats of its network_data.
struct LinkedModule {
    bpnet_descriptor *(*query)(int box, int layer);
    void *(*symbol)(const char *name);
    int data_size;
};

class Network {
public:
    // The network a description file describes, initialized as a module's host starts it
    // (seed 123, range 0.1: this seeds the network's own random source); throws
    // Error("FILE:LINE:COLUMN: ...").
    static std::unique_ptr<Network> from_file(const std::string &path);
    // The network a description text describes; `origin` names it in messages.
    static std::unique_ptr<Network> from_text(const std::string &text, const std::string &origin = "<description>");
    // The network of a module made by `bpnet-gen --shared`: the file is checked before the
    // loader sees it (a regular ELF shared object of this machine, every segment inside it),
    // the module must have network_query and the names hosts use, and its descriptor must be
    // consistent before anything but its query and its start-up is called. With private_copy
    // the module is loaded from a private copy of the file, so that two networks of one module
    // share nothing; without, from the file itself (a name without a '/' is one in the current
    // folder). Throws Error("PATH: why").
    static std::unique_ptr<Network> open_module(const std::string &path, bool private_copy = true);
    // The network of a module linked into the host, checked as a loaded one ("built-in
    // network: why").
    static std::unique_ptr<Network> from_descriptor(const LinkedModule &linked);
    ~Network();
    Network(const Network &) = delete;
    Network &operator=(const Network &) = delete;

    // The black box's name.
    const std::string &name() const;
    // Input and output sizes, floats of network data, and trainable values (thresholds, weights).
    int inputs() const;
    int outputs() const;
    int data_size() const;
    int trainable() const;
    // The layers in forward order, the output layer last.
    std::vector<LayerSize> layers() const;
    // Units in all layers; the highest feedback order of its layers (0: none); whether the
    // output layer's units are linear; whether its error is the cross-entropy (softmax outputs).
    int units() const;
    int feedback() const;
    bool linear_outputs() const;
    bool cross_entropy_outputs() const;
    // The module file it was opened from (empty for a description or a linked module).
    const std::string &module_path() const;
    // Whether it is a module's network (loaded or linked), whose calls share the module lock.
    bool is_module() const;

    // Every trainable block in the save file's order: the layers' thresholds in forward order,
    // their feedback coefficients (a1, then a2), then the connections by the layer fed and source.
    // Throws Error for a module that does not tell where its network_data is.
    std::vector<TrainableBlock> blocks() const;

    // Learning parameters and the learning-step counter.
    float learning_rate() const;
    void set_learning_rate(float rate);
    float inertia() const;
    void set_inertia(float inertia);
    float threshold() const;
    void set_threshold(float threshold);
    int counter() const;
    void set_counter(int counter);
    // The optimizer of later learning: "sgd" (momentum, the default) or "adam" (the learning
    // rate is its step size), adam's beta1, beta2 and epsilon, and the L2 weight decay (0:
    // none). The moments and update count are kept (initialize clears them). Throws Error for
    // settings out of range, or adam or decay on a module without network_set_optimizer.
    void set_optimizer(const std::string &kind, double beta1 = 0.9, double beta2 = 0.999, double epsilon = 1e-8,
                       double decay = 0.0);

    // Seed the network's random source, clear every value and draw the thresholds and weights
    // in [-range, range), as the module's initialization does with that seed and range; the
    // learning steps after it draw their derivative offsets from the same source.
    void initialize(int seed = 123, float range = 0.1f);
    // The network data: data_size() floats, laid out as the module's network_data.
    float *data();
    const float *data() const;

    // One forward pass from x (inputs() floats); y gets outputs() floats.
    void forward(const float *x, float *y);
    // One learning presentation of x with targets t (outputs() floats): the forward pass, the
    // error, and when it exceeds the threshold the gradient step and the periodic update.
    // Returns the presentation's error.
    float learn(const float *x, const float *t);
    // Forward passes of `rows` rows: x holds rows x inputs() floats, y gets rows x outputs(),
    // each row's outputs the bits of the one-row pass. The rows are split into contiguous
    // ranges over `threads` threads (0: the machine's cores, one thread for a small block); the
    // bits do not depend on the thread count. A network with feedback takes its rows in order
    // as one sequence, one row at a time.
    void forward_rows(int rows, const float *x, float *y, int threads = 0);
    // Learning over `rows` rows in order, `batch` rows at a time (x: rows x inputs(), t: rows x
    // outputs()); batch 1 is one presentation per row, as learn(x, t); a larger batch passes its
    // rows forward with the weights at its start, gathers their gradients and updates once, its
    // output deltas scaled by the rate over the batch's rows. errors, when not null, gets each
    // row's error; `threads` is for the forward passes. Throws Error when a network with
    // feedback, or a module from a generator without batches, is given a batch above 1.
    void learn_rows(int rows, const float *x, const float *t, int batch = 1, float *errors = nullptr,
                    int threads = 0);
    // Zero the delays and traces of the layers with feedback (nothing else; without feedback
    // there is nothing to zero).
    void clear_delays();

    // The host's forms of the module's calls, for hosts that run the module's own loops (the
    // tools): register the input and target vectors that pattern functions fill, one forward
    // pass from the registered input, the outputs, the error of the outputs against the
    // registered target (writing the output deltas, as the learning step does), the learning
    // loop, and the reports that nn-eval prints on standard output.
    void use_vectors(float *input, float *target);
    void forward();
    const float *output() const;
    float measure_error();
    void learn(unsigned iterations, void (*pattern)(void));
    // The learning loop in batches: `batch` presentations of the pattern function gathered
    // (the registered vectors copied after each call), then learned as one batch, as
    // learn_rows does; batch 1 is learn(iterations, pattern). Throws Error for a batch above 1
    // on a network with feedback, or on a module without batches.
    void learn(unsigned iterations, void (*pattern)(void), int batch);
    void forward_pdpfa(unsigned iterations, void (*pattern)(void), float pd_threshold);
    void forward_print(int iterations, void (*pattern)(void));

    // Write the save file atomically, the bytes the module writes; throws Error.
    void save(const std::string &path);
    // Load a save file, all or nothing; throws Error with the library's message.
    void load(const std::string &path);
    // The ASCII dump, labelled or bare, exactly as the module prints it.
    std::string ascii_dump(bool labelled) const;
    // Load the bare ASCII dump from text, all or nothing; throws Error.
    void load_ascii(const std::string &text);
    // The same on the host's streams.
    void ascii_dump(std::FILE *out, bool labelled);
    void load_ascii(std::FILE *in);
    // The text of the last error or warning, as the network keeps it (blank lines around it).
    std::string error_text() const;

    // The kernel path this network runs ("portable", "sse2", "avx2", "avx512"): the one that
    // modules use (see BPNET_KERNEL_PATH) unless chosen with use_kernel_path.
    std::string kernel_path() const;
    // Run on the named path; false (nothing changed) when this machine or build cannot run it.
    bool use_kernel_path(const std::string &path);
    // The description file's name, without its folder.
    const std::string &description_file() const;

    // The internal state of a network built at run time, for the library's own tests; throws
    // Error for a module's network.
    NetworkState &state();

private:
    explicit Network(std::unique_ptr<NetworkState> state);
    explicit Network(std::unique_ptr<ModuleNetwork> module);
    std::unique_ptr<NetworkState> state_;    // a network built at run time, or
    std::unique_ptr<ModuleNetwork> module_;  // a module's network
};

}  // namespace bpnet

#endif
