// The module runtime: everything of a network module that its tables drive (state,
// initialization, the learning loop, binary save files, ASCII dumps, the descriptor and the
// reports), compiled once into the kernel library. A generated NAME.cpp defines its globals,
// its tables and its straight-line passes, describes them in one bpm::Module record, and
// forwards its C entry points to the functions below. C++ only.
#ifndef GEN_RUNTIME_BPNET_MODULE_H
#define GEN_RUNTIME_BPNET_MODULE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "bp/BpSim.h"
#include "bp/BpSimInline.h"
#include "bp/BpSimLearn.h"
#include "bp/BpSupport.h"
#include "gen/runtime/bpnet_descriptor.h"

namespace bpm {

// Source number of the network inputs.
constexpr int kInputs = -1;

// One layer, in forward order, with its vectors in network_data.
struct LayerInfo {
    const char *name;       // as in save files: "H1"
    const char *qualified;  // as in the descriptor and the ASCII dump: "nn:H1"
    int size;
    int dim_x;
    int dim_y;
    int act;                // activations
    int delta;              // deltas
    int thr;                // thresholds
    int thr_grad;           // threshold gradients
    int thr_step;           // threshold steps
    int first;              // its first incoming connection in the connection table
    int count;              // its incoming connections
    // Feedback: the filter's order (0: none), its coefficients (a1, then a2: feedback x size
    // floats), their gradients and steps, and the names of its save-file arrays ("H1:a1").
    int feedback = 0;
    int coef = 0;
    int coef_grad = 0;
    int coef_step = 0;
    const char *a1_name = nullptr;
    const char *a2_name = nullptr;
    // The unit kind, as the descriptor's field 51 reports it (0, the default, is logistic).
    int unit = 0;
};

// How a connection reads its source: every unit the whole source vector (full), each unit a
// run of field_x elements of the flat source (field1d), or each unit a field_x by field_y
// rectangle of the source grid (field2d).
enum : int { kFull = 0, kField1d = 1, kField2d = 2 };

// One connection, in save-file order (by the layer fed, then by source).
struct ConnectionInfo {
    int layer;              // the layer fed (forward index)
    int source;             // kInputs or the source layer's forward index
    const char *array;      // the save file's array name
    int weights;
    int grads;
    int steps;
    int count;              // weights
    int source_size;
    int source_dim_x;
    int source_dim_y;
    int row;                // weights on one row of the labelled dump (one row per unit)
    // Receptive fields; a full connection leaves these as they are.
    int kind = kFull;
    bool shared = false;    // one weight row (field2d: one kernel) for every unit
    int field_x = 0;        // field1d: the field's length n; field2d: its width KW
    int field_y = 1;        // field2d: its height KH
    int overlap = 0;
    int across = 0;         // field2d: units per row of the layer fed (U)
    int down = 1;           // field2d: rows of the layer fed (R)
};

// A table of blocks tiles network_data when every block starts where the last one ended.
struct Block {
    int start;
    int count;
};
template <std::size_t N>
constexpr bool tiles(const Block (&blocks)[N], int total)
{
    int next = 0;
    for (const Block &b : blocks) {
        if (b.start != next || b.count <= 0)
            return false;
        next = b.start + b.count;
    }
    return next == total;
}

// The module's file-scope state, which its header declares under fixed names.
struct State {
    float *data;              // network_data
    float *learning_rate;     // BPlearning_rate
    float *inertia;           // BPinertia
    float *threshold;         // BPthreshold
    float *init_range;        // init_range
    int *init_seed;           // init_seed
    int *counter;             // b0bcounter
    float **input;            // b0_input_vector
    float **target;           // b0_target_output
    char *error;              // error_string
    int error_size;
    bpnet_descriptor *descriptor;       // comms_buffer
    bpnet_connection_record *records;   // connection_buffer, one slot per connection
};

// The module's own C entry points, which the descriptor hands to hosts; the passes among them
// are the generated straight-line code.
struct Entries {
    void (*set_learning_rate)(float);
    void (*set_inertia)(float);
    float (*get_learning_rate)(void);
    float (*get_inertia)(void);
    void (*set_random_init_seed)(int);
    void (*set_random_init_range)(float);
    int (*init_network)(void);
    void (*network_forward)(void);
    void (*network_learn)(unsigned, void (*)(void));
    int (*dump_network)(const char *);
    int (*load_network)(const char *);
    char *(*error_string)(void);
    void (*propagate_forward)(void);
    void (*calc_grad)(void);
    void (*update_weights)(float);
    int (*get_backprop_counter)(void);
    void (*set_backprop_counter)(int);
    void (*set_target_output)(float *);
    float *(*get_target_output)(void);
    float *(*get_output)(void);
    void (*set_input)(float *);
    float *(*get_input)(void);
    float (*calc_error)(void);
};

// The optimizer of a network: its settings and its state. sgd with decay 0 is the momentum rule
// of the passes exactly; decay adds L2 weight decay; adam keeps the first and second moments
// of every trainable value (in for_each_trainable order, coefficients included) and the
// count of updates.
enum : int { kSgd = 0, kAdam = 1 };
struct Optimizer {
    int kind = kSgd;
    double beta1 = 0.9;
    double beta2 = 0.999;
    double epsilon = 1e-8;
    double decay = 0.0;
    // Updates made with adam, and beta1^t and beta2^t carried by multiplication.
    std::int64_t t = 0;
    double beta1_t = 1.0;
    double beta2_t = 1.0;
    // The moments m then v (trainable floats each) when the record reserves no room for them
    // in network_data; created zeroed on first use.
    std::vector<float> own;
};

// The passes as the runtime calls them, each given the record's context: a network built at
// run time keeps its state in an object of its own and is given that object; a generated
// module keeps its state in its globals and ignores the pointer (null). One call path for both.
struct ContextPasses {
    void (*propagate_forward)(void *);
    float (*calc_error)(void *);
    void (*calc_grad)(void *);
    void (*update_weights)(void *, float);
    void (*advance_traces)(void *) = nullptr;  // networks with feedback
};

// A whole module: names, sizes, tables, state and entry points.
struct Module {
    const char *name;              // the black box's name, also its save-file record's
    const char *description_file;  // the description it was generated from
    int inputs;
    int input_dim_x;
    int input_dim_y;
    int outputs;
    int data_size;                 // floats in network_data
    int trainable;                 // thresholds and weights
    int units;
    int record_length;             // bytes of the save-file record
    const LayerInfo *layers;       // forward order; the last is the output layer
    int layer_count;
    const ConnectionInfo *connections;
    int connection_count;
    State state;
    Entries entries;
    // Feedback: where the delays and traces start (they run to the end of network_data; -1:
    // the network has none).
    int temporal = -1;
    // The passes, each given `context`: the network built at run time that the record carries,
    // or null for a generated module. A record with a context also keeps its error text to
    // itself: the library's messages go to it only while one of the runtime's operations runs
    // on it, in the thread that runs it.
    void *context = nullptr;
    ContextPasses passes = {nullptr, nullptr, nullptr, nullptr, nullptr};
    // The random source that initialization seeds and draws from: the record's own, or, when
    // null (every generated module), the process's generator (srand48 and drand48).
    bp_random *random = nullptr;
    // The kernel path of the block kernels (a bp_multi::Path), or -1 for the process's: a
    // network built at run time runs the path chosen for it. Every path gives the same bits.
    int path = -1;
    // The optimizer's settings and state (null: sgd without decay, nothing kept).
    Optimizer *optimizer = nullptr;
    // Where the moments m and v start in network_data when the description reserves room for
    // them (2 x trainable floats after every other block); -1: they live in the optimizer.
    int moments = -1;
};

// Floats of a layer's feedback coefficients (a1 and a2 of every unit).
constexpr int coefficient_count(const LayerInfo &l)
{
    return l.feedback * l.size;
}

// Weight count that a connection's kind walks: full, m rows of the source size; field1d, m rows
// of n (one when shared); field2d, R x KH x U x KW over a layer of U x R units, or one KH x KW
// kernel when shared. -1 when the entry is inconsistent.
constexpr long long expected_weights(const ConnectionInfo &c, const LayerInfo &l)
{
    switch (c.kind) {
    case kFull:
        return c.row == c.source_size ? 1LL * l.size * c.source_size : -1;
    case kField1d:
        return c.row == (c.shared ? c.count : c.field_x) ? (c.shared ? 1LL : 1LL * l.size) * c.field_x : -1;
    case kField2d:
        if (c.across != l.dim_x || c.down != l.dim_y || c.row != (c.shared ? c.count : c.field_y * c.field_x))
            return -1;
        return c.shared ? 1LL * c.field_y * c.field_x : 1LL * c.down * c.field_y * c.across * c.field_x;
    default:
        return -1;
    }
}

// Bytes of a NUL-terminated name in a save file.
constexpr long long name_bytes(const char *s)
{
    long long n = 1;
    while (*s++)
        n++;
    return n;
}

// Whether a module's tables are consistent: layers own consecutive runs of the connection
// table, every connection holds the weights its kind walks, and the record length is the one
// its tables give. Generated modules check this at compile time.
template <std::size_t L, std::size_t C>
constexpr bool tables_agree(const LayerInfo (&layers)[L], const ConnectionInfo (&conns)[C], const char *name,
                            long long record_length)
{
    int next = 0;
    long long len = name_bytes(name) + 4 + 4;
    for (std::size_t i = 0; i < L; i++) {
        const LayerInfo &l = layers[i];
        if (l.first != next || l.count < 1 || l.dim_x * l.dim_y != l.size)
            return false;
        for (int c = l.first; c < l.first + l.count; c++) {
            if (static_cast<std::size_t>(conns[c].layer) != i || expected_weights(conns[c], l) != conns[c].count ||
                conns[c].source_dim_x * conns[c].source_dim_y != conns[c].source_size)
                return false;
        }
        next += l.count;
        len += name_bytes(l.name) + 4 + 4LL * l.size;
        if (l.feedback < 0 || l.feedback > 2 || (l.feedback >= 1 && l.a1_name == nullptr) ||
            (l.feedback == 2 && l.a2_name == nullptr))
            return false;
        if (l.feedback >= 1)
            len += name_bytes(l.a1_name) + 4 + 4LL * l.size;
        if (l.feedback == 2)
            len += name_bytes(l.a2_name) + 4 + 4LL * l.size;
    }
    len += 4;
    for (const ConnectionInfo &c : conns)
        len += name_bytes(layers[c.layer].name) + name_bytes(c.array) + 4 + 4LL * c.count;
    return next == static_cast<int>(C) && len == record_length;
}

// Upper end of the random offset added to sigmoid derivatives, drawn once per layer and step.
constexpr float kDerivOffsetRange = 0.05f;

// Scale of the output deltas: the learning rate times 0.333333, formed in double, stored as float.
inline float output_delta_scale(float learning_rate)
{
    return static_cast<float>(0.333333 * static_cast<bp_wide>(learning_rate));
}

// The error a presentation reports and the threshold compares, the one rule of every host
// (module, network built at run time, batches): from the half sum of squared differences the
// output deltas' kernel returned, that half sum over the output count in double, stored as
// float; for an output layer learned on the cross-entropy (softmax), the cross-entropy of the
// targets t and outputs o instead.
inline float presentation_error(const float *t, const float *o, int outputs, float half_sum, bool cross_entropy)
{
    if (cross_entropy)
        return BPcross_entropy(t, o, outputs);
    return static_cast<float>(static_cast<bp_wide>(half_sum) / outputs);
}

// The presentation's error: the output deltas from the targets, and the presentation's error
// (presentation_error) of an output layer learned on the cross-entropy or not.
template <int outputs>
inline float calc_error(const float *target, const float *out, float *delta, float learning_rate,
                        bool cross_entropy = false)
{
    const float half_sum = bp_inline::output_error<outputs>(target, out, delta, output_delta_scale(learning_rate));
    return presentation_error(target, out, outputs, half_sum, cross_entropy);
}

// Messages of the library's readers go to a module's error text while one of the runtime's
// operations runs: the text is handed to the library, in the calling thread, when the
// operation starts. A generated module's text stays handed over afterwards, as it always has;
// a record with a context (a network built at run time, which may be destroyed, and may work
// in any thread) has the thread's previous buffer handed back when the operation ends, so
// that the library never keeps a pointer into it.
class ErrorText {
public:
    explicit ErrorText(const Module &m) : scoped_(m.context != nullptr)
    {
        if (scoped_)
            saved_ = BPget_error_buffer(&saved_size_);
        BPset_error_buffer(m.state.error, m.state.error_size);
    }
    ~ErrorText()
    {
        if (scoped_)
            BPset_error_buffer(saved_, saved_size_);
    }
    ErrorText(const ErrorText &) = delete;
    ErrorText &operator=(const ErrorText &) = delete;

private:
    bool scoped_;
    char *saved_ = nullptr;
    int saved_size_ = 0;
};

// ---- The runtime's operations, each over one module.

// Seed, zero the state, build the sigmoid table, clear the error text, write the descriptor's
// network section and draw the trainable values; 0. A record with its own random source seeds
// and draws from that one.
int init_network(const Module &m);
// The step counter advanced once more, as the gradient step does (treated as unsigned).
inline void count_step(const Module &m)
{
    *m.state.counter = static_cast<int>(static_cast<unsigned>(*m.state.counter) + 1u);
}
// Whether this learning step applies the gathered gradients: every third step.
inline bool update_due(const Module &m)
{
    return static_cast<unsigned>(*m.state.counter) % 3u == 0;
}
// For each presentation: input_fn(), then one forward pass.
void forward(const Module &m, unsigned iterations, void (*input_fn)(void));
// For each presentation: input_fn(), the forward pass, the traces of a network with feedback
// moved on, the error, and when it exceeds the threshold the gradient step and the periodic
// update.
void learn(const Module &m, unsigned iterations, void (*input_fn)(void));
// One presentation of the learning loop from the registered input and target vectors; returns
// its error, whether or not it exceeded the threshold.
float learn_presentation(const Module &m);
// Zero the delays and traces of a network with feedback, and nothing else.
void clear_delays(const Module &m);

// ---- The optimizer.

// Set the optimizer of a record with one (kind kSgd or kAdam); 0, or -1 with the message in
// the error text for settings out of range or a record without an optimizer asked for more
// than sgd without decay. The moments and the update count are kept.
int set_optimizer(const Module &m, int kind, double beta1, double beta2, double epsilon, double decay);
// Whether the record learns by anything but the momentum passes alone.
bool optimizer_active(const Module &m);
// Whether the record can learn now in batches of `batch` rows (adam needs a rate above 0 and
// an output delta scale above 0, which it divides by); false with the message.
bool optimizer_ready(const Module &m, const char *who, int batch = 1);
// Apply the gathered gradients to every block by the optimizer and clear them: `scale` is the
// output deltas' scale of the update, `rows` the rows it gathered (1 in one-row learning).
void optimizer_update(const Module &m, float scale, int rows);
// The moments m then v of a record (2 x trainable floats), created zeroed when kept apart.
float *optimizer_moments(const Module &m);
// Zero the moments and the update count.
void optimizer_reset(const Module &m);

// ---- Blocks of rows (gen/runtime/bpnet_rows.cpp). Row r of the inputs starts at
// in + r * ld_in, and so on; threads <= 0 means the machine's cores. Each returns 0, or -1
// with the message in the error text (bad arguments; a batch above 1 on a network with
// feedback).

// Forward passes of `rows` rows, each row's outputs the bits of the one-row pass, whatever
// the thread count. A network without feedback leaves network_data as it is (the passes
// run in scratch, over contiguous row ranges in threads when the block is large enough); one
// with feedback takes the rows in order through its one-row pass, so that its delays move on
// as one sequence.
int forward_rows(const Module &m, int rows, const float *in, std::ptrdiff_t ld_in, float *out,
                 std::ptrdiff_t ld_out, int threads);
// Learning over `rows` rows in order, `batch` rows at a time. Batch 1 is learn_presentation
// per row (the row's vectors registered meanwhile); a larger batch passes its rows forward
// with the weights at its start, gathers every learned row's gradients in double and updates
// every block once. errors, when not null, gets each row's error. The registered input and
// target vectors are those of before the call when it returns.
int learn_rows(const Module &m, int rows, const float *in, std::ptrdiff_t ld_in, const float *target,
               std::ptrdiff_t ld_t, int batch, float *errors, int threads);
// The learning loop in batches: `batch` presentations of input_fn's patterns gathered (the
// registered vectors copied after each call), then learned as one batch by learn_rows; batch 1
// is learn(m, iterations, input_fn) exactly.
int learn(const Module &m, unsigned iterations, void (*input_fn)(void), int batch);

// Save files: write atomically (0 or -1), read a header, load a record, load a file (0, -1, -2).
int dump_network(const Module &m, const char *file);
dump_header *read_header(const Module &m, int fd);
void free_header(dump_header *header);
int load_black_box(const Module &m, int fd, const char *bb_name, const char *stored_name, dump_header *header);
int load_network(const Module &m, const char *file);
// The same, printing the error text on standard error on failure.
void network_dump(const Module &m, const char *file);
void network_load(const Module &m, const char *file);
// Initialize and load save_file when it is not null; a failure ends the process.
void initialize(const Module &m, const char *save_file, int verbose);

// ASCII dumps: print (labelled or bare), and load the bare form from standard input (0 or -2).
void ascii_dump(const Module &m, int labelled);
int load_ascii(const Module &m);
// The same on a given stream: the dump written to `out`, the bare form read from `in` (which is
// read to its end).
void ascii_dump(const Module &m, std::FILE *out, int labelled);
int load_ascii(const Module &m, std::FILE *in);

// The descriptor: its network section, and the query of a black box and layer (null when out of range).
void describe_network(const Module &m);
bpnet_descriptor *query_network(const Module &m, int box, int layer);

// Reports: detection statistics and the trace of outputs and targets.
// The statistics, fed one pattern's outputs and targets at a time: per output the extremes
// (wide) and the running sums of the outputs and their squares (float), and the patterns whose
// squared distance from their targets is below the squared threshold.
struct PdPfa {
    std::vector<bp_wide> maxima, minima;
    std::vector<float> sums, squares;
    float threshold_sq = 0.0f;
    int hits = 0;
    int count = 0;
};
PdPfa pdpfa_start(int outputs, float pd_threshold);
void pdpfa_add(PdPfa &s, const float *out, const float *target);
// The report on standard output: extremes, means, variances, Pd and Pfa of black box `name`.
void pdpfa_print(const PdPfa &s, const char *name);
// One pattern's lines of the trace.
void print_trace(const char *name, int iteration, int outputs, const float *out, const float *target);
void forward_pdpfa(const Module &m, unsigned iterations, void (*input_fn)(void), float pd_threshold);
void forward_print(const Module &m, int iterations, void (*input_fn)(void));

}  // namespace bpm

#endif
