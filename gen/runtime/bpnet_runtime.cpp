// The module runtime: the table-driven parts of every network module, over the module record
// that its generated code defines. Every module behaves like the module of nn; only the
// tables differ.
#include "gen/runtime/bpnet_module.h"

#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/vl_exit.h"
#include "platform/vl_file.h"
#include "platform/vl_mem.h"

static_assert(std::endian::native == std::endian::little,
              "save files are little-endian and are copied byte for byte");

namespace bpm {

namespace {

constexpr int kCompilerId = 100;
constexpr int kCompilerVersion = 7;
constexpr int kCompilerRevision = 0;
constexpr int kReservedBytes = 256;
constexpr int kHeaderFixed = 12 + kReservedBytes + 4;  // up to and including the record count

float *at(const Module &m, int i)
{
    return m.state.data + i;
}

const LayerInfo &output_layer(const Module &m)
{
    return m.layers[m.layer_count - 1];
}

// The source vector of a connection: the caller's inputs or a layer's activations.
const char *source_name(const Module &m, const ConnectionInfo &c)
{
    return c.source == kInputs ? "$INPUTS" : m.layers[c.source].qualified;
}

// Descriptor numbers count the layers from the output back.
int descriptor_number(const Module &m, int forward_index)
{
    return m.layer_count - 1 - forward_index;
}

// Visit every trainable block in the order of initialization, the ASCII dump and its load:
// layers from the output back, each layer's thresholds, then its connections by source, then
// (with `coefficients`) its feedback coefficients.
template <typename Visit>
void for_each_trainable(const Module &m, Visit visit, bool coefficients = true)
{
    for (int l = m.layer_count - 1; l >= 0; l--) {
        const LayerInfo &layer = m.layers[l];
        visit(layer.thr, layer.size);
        for (int c = layer.first; c < layer.first + layer.count; c++)
            visit(m.connections[c].weights, m.connections[c].count);
        if (coefficients && layer.feedback > 0)
            visit(layer.coef, coefficient_count(layer));
    }
}

// Feedback arrays of the save file, after the layer records.
int feedback_arrays(const Module &m)
{
    int n = 0;
    for (int l = 0; l < m.layer_count; l++)
        n += m.layers[l].feedback;
    return n;
}

// Whether every filter of `values` (laid out as network_data) is stable; when one is not,
// the message names its layer and unit.
bool filters_stable(const Module &m, const float *values)
{
    for (int l = 0; l < m.layer_count; l++) {
        const LayerInfo &layer = m.layers[l];
        const float *a1 = values + layer.coef;
        for (int i = 0; i < layer.size && layer.feedback > 0; i++) {
            // The library's tests, which let a value that is not a number pass, as the
            // guarded updates do: a module can always load what it saved.
            const bool unstable =
                layer.feedback == 1 ? BPunstable_1st(a1[i]) != 0 : BPunstable_2nd(a1[i], a1[layer.size + i]) != 0;
            if (unstable) {
                BPset_error("\nUnstable feedback coefficients for unit %d of %s\n", i, layer.qualified);
                return false;
            }
        }
    }
    return true;
}

// The passes of a record, each given its context.
void run_forward(const Module &m)
{
    m.passes.propagate_forward(m.context);
}

float run_calc_error(const Module &m)
{
    return m.passes.calc_error(m.context);
}

void run_calc_grad(const Module &m)
{
    m.passes.calc_grad(m.context);
}

void run_update_weights(const Module &m, float inertia)
{
    m.passes.update_weights(m.context, inertia);
}

// The step that moves a network's traces on after a forward pass of the learning loop.
void run_advance_traces(const Module &m)
{
    if (m.passes.advance_traces != nullptr)
        m.passes.advance_traces(m.context);
}

}  // namespace

// ---- State, initialization, forward pass and learning loop.

int init_network(const Module &m)
{
    // First seed the generator, so that the same seed and range give the same network: the
    // record's own, or the process's.
    if (m.random != nullptr)
        BPrandom_init(m.random, *m.state.init_seed);
    else
        BPfrandom_init(*m.state.init_seed);
    std::memset(m.state.data, 0, sizeof(float) * static_cast<std::size_t>(m.data_size));
    optimizer_reset(m);
    BPinit_sigmoid_table();
    m.state.error[0] = '\0';
    const ErrorText error_text(m);
    describe_network(m);

    // Then draw the thresholds and weights: layers from the output back, each layer's
    // thresholds, then its incoming weights by source.
    const float range = *m.state.init_range;
    const float width = static_cast<float>(2.0 * range);
    const auto draw = [&m](float w) { return m.random != nullptr ? BPrandom_float(m.random, w) : BPfrandom(w); };
    // Feedback coefficients start at 0 and draw nothing.
    for_each_trainable(
        m,
        [&](int start, int count) {
            for (int i = 0; i < count; i++)
                m.state.data[start + i] = static_cast<float>(static_cast<bp_wide>(draw(width)) - range);
        },
        false);
    return 0;
}

void forward(const Module &m, unsigned iterations, void (*input_fn)(void))
{
    for (unsigned i = 0; i < iterations; i++) {
        input_fn();
        run_forward(m);
    }
}

float learn_presentation(const Module &m)
{
    // An optimizer that cannot learn now leaves the presentation unlearned, its message in the
    // error text.
    const bool ready = optimizer_ready(m, "learn");
    run_forward(m);
    // The traces follow every presentation, learned or not.
    run_advance_traces(m);
    const float error = run_calc_error(m);
    if (ready && error > *m.state.threshold) {
        run_calc_grad(m);
        // sgd without decay is the module's own update pass; any other optimizer the runtime's
        // update on the same steps.
        if (!optimizer_active(m))
            run_update_weights(m, *m.state.inertia);
        else if (update_due(m))
            optimizer_update(m, output_delta_scale(*m.state.learning_rate), 1);
    }
    return error;
}

void learn(const Module &m, unsigned iterations, void (*input_fn)(void))
{
    if (iterations > 0 && !optimizer_ready(m, "network_learn"))
        return;
    for (unsigned i = 0; i < iterations; i++) {
        input_fn();
        learn_presentation(m);
    }
}

void clear_delays(const Module &m)
{
    if (m.temporal >= 0)
        std::memset(at(m, m.temporal), 0, sizeof(float) * static_cast<std::size_t>(m.data_size - m.temporal));
}

// ---- The optimizer.

namespace {

// One trainable block as the optimizer walks it: values, gradients, steps, count; whether
// weight decay applies (weights only), and the feedback order of a coefficient block (0: none).
struct Trainable {
    int value;
    int grad;
    int step;
    int count;
    bool weights;
    int feedback;
    int size;  // a coefficient block's units
};

// body(block) over every trainable block in for_each_trainable's order.
template <typename Body>
void for_each_block(const Module &m, Body body)
{
    for (int l = m.layer_count - 1; l >= 0; l--) {
        const LayerInfo &layer = m.layers[l];
        body(Trainable{layer.thr, layer.thr_grad, layer.thr_step, layer.size, false, 0, layer.size});
        for (int c = layer.first; c < layer.first + layer.count; c++) {
            const ConnectionInfo &ci = m.connections[c];
            body(Trainable{ci.weights, ci.grads, ci.steps, ci.count, true, 0, layer.size});
        }
        if (layer.feedback > 0)
            body(Trainable{layer.coef, layer.coef_grad, layer.coef_step, coefficient_count(layer), false,
                           layer.feedback, layer.size});
    }
}

// The momentum update of one block, as the passes make it: thresholds and weights by the
// library's update, coefficients by the stability-guarded updates.
void momentum_block(const Module &m, const Trainable &b, float inertia)
{
    if (b.feedback == 1)
        BPTupdate_1st(inertia, at(m, b.grad), at(m, b.value), at(m, b.step), b.size);
    else if (b.feedback == 2)
        BPTupdate_2nd(inertia, at(m, b.grad), at(m, b.grad + b.size), at(m, b.value), at(m, b.value + b.size),
                      at(m, b.step), at(m, b.step + b.size), b.size);
    else
        bp_inline::update_weights(inertia, at(m, b.grad), at(m, b.value), at(m, b.step), b.count);
}

}  // namespace

int set_optimizer(const Module &m, int kind, double beta1, double beta2, double epsilon, double decay)
{
    const ErrorText error_text(m);
    if (kind != kSgd && kind != kAdam) {
        BPset_error("\nUnknown optimizer %d (expected 0, sgd, or 1, adam).\n", kind);
        return -1;
    }
    // Written so that a value that is not a number fails every test.
    if (!(beta1 >= 0.0 && beta1 < 1.0) || !(beta2 >= 0.0 && beta2 < 1.0)) {
        BPset_error("\nThe optimizer's beta1 and beta2 must lie in [0, 1).\n");
        return -1;
    }
    if (!(epsilon > 0.0 && epsilon <= 1e300)) {
        BPset_error("\nThe optimizer's epsilon must be above 0 and finite.\n");
        return -1;
    }
    if (!(decay >= 0.0 && decay <= 1e300)) {
        BPset_error("\nThe weight decay must be 0 or more and finite.\n");
        return -1;
    }
    if (m.optimizer == nullptr) {
        if (kind == kSgd && decay == 0.0)
            return 0;
        BPset_error("\n%s has no optimizer state: it learns by sgd without decay only.\n", m.name);
        return -1;
    }
    Optimizer &o = *m.optimizer;
    o.kind = kind;
    o.beta1 = beta1;
    o.beta2 = beta2;
    o.epsilon = epsilon;
    o.decay = decay;
    // Powers of the betas as the updates made so far carry them. Once neither product changes
    // a power any more (0, or the smallest subnormal that rounds back to itself), no later one
    // will: the loop stops there, so a large count costs no more than that.
    o.beta1_t = 1.0;
    o.beta2_t = 1.0;
    for (std::int64_t i = 0; i < o.t; i++) {
        const double p1 = o.beta1_t * o.beta1, p2 = o.beta2_t * o.beta2;
        if (p1 == o.beta1_t && p2 == o.beta2_t)
            break;
        o.beta1_t = p1;
        o.beta2_t = p2;
    }
    return 0;
}

bool optimizer_active(const Module &m)
{
    return m.optimizer != nullptr && (m.optimizer->kind != kSgd || m.optimizer->decay != 0.0);
}

bool optimizer_ready(const Module &m, const char *who, int batch)
{
    if (m.optimizer == nullptr || m.optimizer->kind != kAdam)
        return true;
    // Adam divides the gathered gradients by the output deltas' scale.
    const float rate = *m.state.learning_rate;
    const float scale = batch > 1 ? static_cast<float>(static_cast<bp_wide>(rate) / batch) : output_delta_scale(rate);
    if (!(rate > 0.0f) || !(scale > 0.0f)) {
        const ErrorText error_text(m);
        BPset_error("\n%s: adam needs a learning rate above 0 whose output delta scale is above 0 (the rate is "
                    "%g).\n",
                    who, static_cast<double>(rate));
        return false;
    }
    return true;
}

float *optimizer_moments(const Module &m)
{
    if (m.moments >= 0)
        return at(m, m.moments);
    std::vector<float> &own = m.optimizer->own;
    if (own.empty())
        own.assign(2 * static_cast<std::size_t>(m.trainable), 0.0f);
    return own.data();
}

void optimizer_reset(const Module &m)
{
    if (m.optimizer == nullptr)
        return;
    Optimizer &o = *m.optimizer;
    if (m.moments >= 0)
        std::memset(at(m, m.moments), 0, sizeof(float) * 2 * static_cast<std::size_t>(m.trainable));
    else
        o.own.clear();
    o.t = 0;
    o.beta1_t = 1.0;
    o.beta2_t = 1.0;
}

namespace {

// Adam's moments and steps of one block: d = g/s/b (less decay w/b on weights),
// m = b1 m + (1 - b1) d, v = b2 v + (1 - b2) d^2 (both stored), step = rate_t m/(sqrt v + eps)
// rounded to float. Every operation is rounded once, whatever the vector width, so the
// compiler may take the values several at a time (the square root sets no errno here).
template <bool kDecay>
void adam_block(const float *__restrict g, const float *__restrict w, float *__restrict mb, float *__restrict vb,
                bp_wide *__restrict steps, int n, const Optimizer &o, bp_wide s, bp_wide b, bp_wide rate_t)
{
    const bp_wide beta1 = o.beta1, beta2 = o.beta2, decay = o.decay, eps = o.epsilon;
    const bp_wide keep1 = 1.0 - beta1, keep2 = 1.0 - beta2;
    for (int i = 0; i < n; i++) {
        bp_wide d = static_cast<bp_wide>(g[i]) / s / b;
        if constexpr (kDecay)
            d = d - decay * static_cast<bp_wide>(w[i]) / b;
        const float mi = static_cast<float>(beta1 * mb[i] + keep1 * d);
        const float vi = static_cast<float>(beta2 * vb[i] + keep2 * d * d);
        mb[i] = mi;
        vb[i] = vi;
        steps[i] = static_cast<float>(rate_t * static_cast<bp_wide>(mi) / (__builtin_sqrt(static_cast<bp_wide>(vi)) + eps));
    }
}

}  // namespace

void optimizer_update(const Module &m, float scale, int rows)
{
    Optimizer &o = *m.optimizer;
    const float inertia = *m.state.inertia;
    if (o.kind == kSgd) {
        // Weight decay joins the weights' gradients (scaled as they are), then the momentum update.
        for_each_block(m, [&](const Trainable &b) {
            if (b.weights) {
                float *g = at(m, b.grad);
                const float *w = at(m, b.value);
                for (int i = 0; i < b.count; i++)
                    g[i] = static_cast<float>(g[i] - static_cast<bp_wide>(scale) * o.decay * w[i]);
            }
            momentum_block(m, b, inertia);
            std::fill_n(at(m, b.grad), b.count, 0.0f);
        });
        return;
    }

    // Adam: the true gradient d of every value from the gathered one, its moments, and the
    // step with the bias corrections (the powers of the betas carried by multiplication).
    o.t++;
    o.beta1_t *= o.beta1;
    o.beta2_t *= o.beta2;
    const bp_wide s = scale, b = rows;
    const bp_wide rate_t = static_cast<bp_wide>(*m.state.learning_rate) * std::sqrt(1.0 - o.beta2_t) / (1.0 - o.beta1_t);
    float *mv = optimizer_moments(m);
    float *mm = mv, *vv = mv + m.trainable;
    int next = 0;
    // One allocation an update, not a buffer kept in thread-local storage: modules carry this
    // runtime, and thread-local storage of a module that is unloaded outlives it.
    std::vector<double> steps;
    for_each_block(m, [&](const Trainable &blk) {
        float *g = at(m, blk.grad), *w = at(m, blk.value), *p = at(m, blk.step);
        float *mb = mm + next, *vb = vv + next;
        steps.assign(static_cast<std::size_t>(blk.count), 0.0);
        if (blk.weights)
            adam_block<true>(g, w, mb, vb, steps.data(), blk.count, o, s, b, rate_t);
        else
            adam_block<false>(g, w, mb, vb, steps.data(), blk.count, o, s, b, rate_t);
        if (blk.feedback == 1) {
            for (int i = 0; i < blk.count; i++)
                p[i] = BPTguard_1st(w + i, steps[static_cast<std::size_t>(i)]);
        } else if (blk.feedback == 2) {
            for (int i = 0; i < blk.size; i++) {
                double t1 = steps[static_cast<std::size_t>(i)], t2 = steps[static_cast<std::size_t>(blk.size + i)];
                BPTguard_2nd(w + i, w + blk.size + i, &t1, &t2);
                p[i] = static_cast<float>(t1);
                p[blk.size + i] = static_cast<float>(t2);
            }
        } else {
            for (int i = 0; i < blk.count; i++) {
                w[i] = static_cast<float>(w[i] + steps[static_cast<std::size_t>(i)]);
                p[i] = static_cast<float>(steps[static_cast<std::size_t>(i)]);
            }
        }
        std::fill_n(g, blk.count, 0.0f);
        next += blk.count;
    });
}

// ---- Binary save files.

namespace {

void put_bytes(std::vector<unsigned char> &img, const void *src, std::size_t n)
{
    // Grown and copied into, not inserted: GCC 12 warns falsely about a range insert here.
    const std::size_t at = img.size();
    img.resize(at + n);
    if (n > 0)
        std::memcpy(img.data() + at, src, n);
}

void put_int(std::vector<unsigned char> &img, std::int32_t v)
{
    put_bytes(img, &v, 4);
}

void put_name(std::vector<unsigned char> &img, const char *name)
{
    put_bytes(img, name, std::strlen(name) + 1);
}

// The optimizer's record of a black box: named "NAME:adam", the update count as two int32
// (low half, then high half), the number of arrays, then per trainable block (in
// for_each_trainable's order) its first moments and its second moments, each as a name
// ("H1:m", "H12:v", the coefficients' "H1:a:m"), a count and the floats.
std::string adam_record_name(const Module &m)
{
    return std::string(m.name) + ":adam";
}

// The name of a trainable block in the optimizer's record.
template <typename Body>
void for_each_named_block(const Module &m, Body body)
{
    for (int l = m.layer_count - 1; l >= 0; l--) {
        const LayerInfo &layer = m.layers[l];
        body(std::string(layer.name), layer.size);
        for (int c = layer.first; c < layer.first + layer.count; c++)
            body(std::string(m.connections[c].array), m.connections[c].count);
        if (layer.feedback > 0)
            body(std::string(layer.name) + ":a", coefficient_count(layer));
    }
}

// Whether the optimizer has state worth saving: adam has made updates.
bool has_adam_state(const Module &m)
{
    return m.optimizer != nullptr && m.optimizer->t > 0;
}

std::vector<unsigned char> build_adam_record(const Module &m)
{
    std::vector<unsigned char> rec;
    put_name(rec, adam_record_name(m).c_str());
    const std::uint64_t t = static_cast<std::uint64_t>(m.optimizer->t);
    put_int(rec, static_cast<std::int32_t>(static_cast<std::uint32_t>(t & 0xffffffffu)));
    put_int(rec, static_cast<std::int32_t>(static_cast<std::uint32_t>(t >> 32)));
    int arrays = 0;
    for_each_named_block(m, [&](const std::string &, int) { arrays += 2; });
    put_int(rec, arrays);
    const float *mv = optimizer_moments(m);
    int next = 0;
    for_each_named_block(m, [&](const std::string &name, int count) {
        for (int k = 0; k < 2; k++) {
            put_name(rec, (name + (k == 0 ? ":m" : ":v")).c_str());
            put_int(rec, count);
            put_bytes(rec, mv + k * m.trainable + next, 4 * static_cast<std::size_t>(count));
        }
        next += count;
    });
    return rec;
}

// The whole file: header, then the record of this black box, then its optimizer's record when
// adam has state.
std::vector<unsigned char> build_image(const Module &m)
{
    std::vector<unsigned char> img;
    const std::vector<unsigned char> adam = has_adam_state(m) ? build_adam_record(m) : std::vector<unsigned char>();
    img.reserve(static_cast<std::size_t>(kHeaderFixed) + 8 + static_cast<std::size_t>(m.record_length) + adam.size());
    put_int(img, kCompilerId);
    put_int(img, kCompilerVersion);
    put_int(img, kCompilerRevision);
    img.resize(img.size() + kReservedBytes, 0);
    put_int(img, adam.empty() ? 1 : 2);
    put_int(img, m.record_length);
    if (!adam.empty())
        put_int(img, static_cast<std::int32_t>(adam.size()));
    put_name(img, m.name);
    put_int(img, *m.state.counter);
    put_int(img, m.layer_count + feedback_arrays(m));
    for (int i = 0; i < m.layer_count; i++) {
        const LayerInfo &l = m.layers[i];
        put_name(img, l.name);
        put_int(img, l.size);
        put_bytes(img, at(m, l.thr), 4 * static_cast<std::size_t>(l.size));
    }
    // Feedback arrays, named like records of their own: "H1:a1", "H1:a2".
    for (int i = 0; i < m.layer_count; i++) {
        const LayerInfo &l = m.layers[i];
        for (int k = 0; k < l.feedback; k++) {
            put_name(img, k == 0 ? l.a1_name : l.a2_name);
            put_int(img, l.size);
            put_bytes(img, at(m, l.coef + k * l.size), 4 * static_cast<std::size_t>(l.size));
        }
    }
    put_int(img, m.connection_count);
    for (int i = 0; i < m.connection_count; i++) {
        const ConnectionInfo &c = m.connections[i];
        put_name(img, m.layers[c.layer].name);
        put_name(img, c.array);
        put_int(img, c.count);
        put_bytes(img, at(m, c.weights), 4 * static_cast<std::size_t>(c.count));
    }
    put_bytes(img, adam.data(), adam.size());
    return img;
}

// Write all n bytes, retrying partial writes; false on any failure.
bool write_all(int fd, const unsigned char *p, std::size_t n)
{
    while (n > 0) {
        const ssize_t put = write(fd, p, n);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        p += put;
        n -= static_cast<std::size_t>(put);
    }
    return true;
}

// Create a fresh temporary file beside the target, mode 0644 before the umask.
int create_temporary(const char *file, std::string &temp)
{
    // One serial for the process, taken atomically: networks may save in several threads.
    static std::atomic<unsigned> serial{0};
    for (int attempt = 0; attempt < 100; attempt++) {
        temp = std::string(file) + ".tmp." + std::to_string(getpid()) + "." + std::to_string(serial.fetch_add(1));
        const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

bool read_int(int fd, std::int32_t &v)
{
    return BPread_exact(fd, &v, 4) == 0;
}

int damaged(const char *what)
{
    BPset_error("\nDump file is truncated or damaged: %s.\n", what);
    return -2;
}

}  // namespace

int dump_network(const Module &m, const char *file)
{
    const ErrorText error_text(m);
    const std::vector<unsigned char> img = build_image(m);

    // Write a complete new file beside the old one and rename it over the target only
    // when every byte is on disk, so that a failed save never destroys the last good network.
    std::string temp;
    const int fd = create_temporary(file, temp);
    if (fd < 0) {
        BPset_error("\nUnable to open %s.\n", file);
        return -1;
    }
    bool ok = write_all(fd, img.data(), img.size());
    ok = (fsync(fd) == 0) && ok;
    ok = (close(fd) == 0) && ok;
    ok = ok && rename(temp.c_str(), file) == 0;
    if (!ok) {
        unlink(temp.c_str());
        BPset_error("\nUnable to write %s.\n", file);
        return -1;
    }
    return 0;
}

dump_header *read_header(const Module &m, int fd)
{
    const ErrorText error_text(m);
    std::int32_t id = 0, version = 0, revision = 0, count = 0;

    // Records are found by seeking, and the record table is bounded by the file's size:
    // only a regular file can be read that way.
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        BPset_error("\nDump file is not a regular file.\n");
        return nullptr;
    }
    if (!read_int(fd, id) || !read_int(fd, version) || !read_int(fd, revision)) {
        damaged("header");
        return nullptr;
    }
    if (id != kCompilerId)
        BPset_error("\nWarning: This dump file is from another compiler.\n");
    if (version != kCompilerVersion)
        BPset_error("\nWarning: Dump file created with another version (v.%d) of compiler.\n", version);
    if (revision != kCompilerRevision)
        BPset_error("\nWarning: Dump file created with another version of compiler.\n");

    unsigned char reserved[kReservedBytes];
    if (BPread_exact(fd, reserved, kReservedBytes) != 0 || !read_int(fd, count)) {
        damaged("header");
        return nullptr;
    }
    const std::int64_t records_start = kHeaderFixed + 4 * static_cast<std::int64_t>(count);
    if (count < 0 || records_start > INT_MAX || records_start > st.st_size) {
        BPset_error("\nDump file is truncated or damaged: bad record count %d.\n", count);
        return nullptr;
    }
    int *positions = static_cast<int *>(vl_alloc_mem(count * 4));
    std::int64_t p = records_start;
    for (int i = 0; i < count; i++) {
        std::int32_t length = 0;
        const bool out_of_range = p > INT_MAX || p >= st.st_size;
        if (out_of_range || !read_int(fd, length)) {
            vl_free_mem(positions);
            damaged(out_of_range ? "record position out of range" : "record table");
            return nullptr;
        }
        positions[i] = static_cast<int>(p);
        p += length;
        if (p < records_start)
            p = INT64_MAX;  // a negative length pointing back into the header is as bad as past the end
    }
    dump_header *header = static_cast<dump_header *>(vl_alloc_mem(sizeof(dump_header)));
    header->count = count;
    header->positions = positions;
    return header;
}

void free_header(dump_header *header)
{
    if (header != nullptr) {
        vl_free_mem(header->positions);
        vl_free_mem(header);
    }
}

int load_black_box(const Module &m, int fd, const char *bb_name, const char *stored_name, dump_header *header)
{
    const ErrorText error_text(m);
    if (header == nullptr)
        return damaged("header");
    char name[BP_NAME_SIZE];
    char array[BP_NAME_SIZE];

    // First find the stored record by its name.
    bool found = false;
    for (int i = 0; i < header->count && !found; i++) {
        if (lseek(fd, header->positions[i], SEEK_SET) < 0 || BPread_string(fd, name) != 0)
            return damaged("record name");
        found = std::strcmp(name, stored_name) == 0;
    }
    if (!found) {
        BPset_error("\nUnable to find %s as %s.\n", bb_name, stored_name);
        return -2;
    }
    if (std::strcmp(bb_name, m.name) != 0) {
        BPset_error("\nUnknown black box %s.\n", bb_name);
        return -2;
    }

    // Then read the record into a staging copy: a load that fails changes nothing.
    std::vector<float> stage(m.state.data, m.state.data + m.data_size);
    std::int32_t counter = 0, layers = 0, connections = 0, count = 0;
    if (!read_int(fd, counter) || !read_int(fd, layers))
        return damaged((std::string("record of ") + m.name).c_str());
    if (layers != m.layer_count + feedback_arrays(m)) {
        BPset_error("\nError in reading %s\n", m.name);
        return -2;
    }
    for (int l = 0; l < layers; l++) {
        if (BPread_string(fd, name) != 0 || !read_int(fd, count))
            return damaged("layer record");
        int unmatched = 1;
        for (int k = 0; k < m.layer_count; k++) {
            const LayerInfo &r = m.layers[k];
            int result = BPread_thresholds(fd, name, r.name, count, r.size, stage.data() + r.thr, &unmatched);
            for (int a = 0; a < r.feedback && result == 0; a++)
                result = BPread_feedback_weights(fd, name, a == 0 ? r.a1_name : r.a2_name, count, r.size,
                                                 stage.data() + r.coef + a * r.size, &unmatched);
            if (result != 0)
                return result;
        }
        if (unmatched) {
            BPset_error("\nUnknown layer name in file: %s\n", name);
            return -2;
        }
    }
    if (!read_int(fd, connections))
        return damaged("connection count");
    for (std::int32_t c = 0; c < connections; c++) {
        if (BPread_string(fd, name) != 0 || BPread_string(fd, array) != 0 || !read_int(fd, count))
            return damaged("connection record");
        int unmatched = 1;
        for (int k = 0; k < m.connection_count; k++) {
            const ConnectionInfo &r = m.connections[k];
            const int result = BPread_weights(fd, name, m.layers[r.layer].name, array, r.array, count, r.count,
                                              stage.data() + r.weights, &unmatched);
            if (result != 0)
                return result;
        }
        if (unmatched) {
            BPset_error("\nUnknown connection array in file\n");
            return -2;
        }
    }

    // A filter that the file makes unstable would make every later value grow without bound.
    if (!filters_stable(m, stage.data()))
        return -2;

    // The whole record has loaded: commit the thresholds, the weights, the coefficients and the counter.
    for_each_trainable(m, [&](int start, int n) {
        std::memcpy(at(m, start), stage.data() + start, sizeof(float) * static_cast<std::size_t>(n));
    });
    *m.state.counter = counter;
    return 0;
}

namespace {

// The optimizer's state read from a file: found (or not) and, when found, the update count and
// the moments m then v.
struct AdamStage {
    bool found = false;
    std::int64_t t = 0;
    std::vector<float> moments;
};

// Read the optimizer's record of this black box, when the file has one, into `stage`; 0, or -2
// with the message when the record is damaged or does not fit the network.
int read_adam_record(const Module &m, int fd, const dump_header *header, AdamStage &stage)
{
    const std::string wanted = adam_record_name(m);
    char name[BP_NAME_SIZE];
    for (int i = 0; i < header->count && !stage.found; i++) {
        if (lseek(fd, header->positions[i], SEEK_SET) < 0 || BPread_string(fd, name) != 0)
            return damaged("record name");
        stage.found = wanted == name;
    }
    if (!stage.found)
        return 0;
    std::int32_t low = 0, high = 0, arrays = 0, count = 0;
    if (!read_int(fd, low) || !read_int(fd, high) || !read_int(fd, arrays))
        return damaged("optimizer record");
    const std::uint64_t t = static_cast<std::uint64_t>(static_cast<std::uint32_t>(low)) |
                            static_cast<std::uint64_t>(static_cast<std::uint32_t>(high)) << 32;
    if (t > static_cast<std::uint64_t>(INT64_MAX))
        return damaged("optimizer update count");
    stage.t = static_cast<std::int64_t>(t);
    int expected = 0;
    for_each_named_block(m, [&](const std::string &, int) { expected += 2; });
    if (arrays != expected) {
        BPset_error("\nThe optimizer record of %s has %d arrays (expected %d).\n", m.name, arrays, expected);
        return -2;
    }
    stage.moments.assign(2 * static_cast<std::size_t>(m.trainable), 0.0f);
    int next = 0, result = 0;
    for_each_named_block(m, [&](const std::string &block, int n) {
        for (int k = 0; k < 2 && result == 0; k++) {
            const std::string array = block + (k == 0 ? ":m" : ":v");
            if (BPread_string(fd, name) != 0 || !read_int(fd, count)) {
                result = damaged("optimizer array");
                return;
            }
            if (array != name || count != n) {
                BPset_error("\nThe optimizer record of %s holds %.40s of %d values where %s of %d belongs.\n",
                            m.name, name, count, array.c_str(), n);
                result = -2;
                return;
            }
            float *dest = stage.moments.data() + k * m.trainable + next;
            if (BPread_exact(fd, dest, 4 * n) != 0)
                result = damaged("optimizer array values");
        }
        next += n;
    });
    return result;
}

}  // namespace

int load_network(const Module &m, const char *file)
{
    // Open, read the header, load this black box's record and its optimizer's, and close: every
    // path closes the descriptor and releases the header. The optimizer's record is read first
    // and committed only when the black box has loaded, so a failure changes nothing.
    const ErrorText error_text(m);
    const int fd = open(file, O_RDONLY);
    if (fd < 0) {
        BPset_error("\nUnable to open %s.\n", file);
        return -1;
    }
    dump_header *header = read_header(m, fd);
    AdamStage adam;
    int result = header == nullptr ? -2 : m.optimizer != nullptr ? read_adam_record(m, fd, header, adam) : 0;
    if (result == 0)
        result = load_black_box(m, fd, m.name, m.name, header);
    free_header(header);
    close(fd);
    if (result == 0 && m.optimizer != nullptr) {
        // A file without the record starts the moments afresh.
        optimizer_reset(m);
        if (adam.found) {
            std::memcpy(optimizer_moments(m), adam.moments.data(), sizeof(float) * adam.moments.size());
            Optimizer &o = *m.optimizer;
            o.t = adam.t;
            set_optimizer(m, o.kind, o.beta1, o.beta2, o.epsilon, o.decay);
        }
    }
    return result;
}

void network_dump(const Module &m, const char *file)
{
    if (dump_network(m, file) != 0)
        std::fprintf(stderr, "%s", m.state.error);
}

void network_load(const Module &m, const char *file)
{
    if (load_network(m, file) != 0)
        std::fprintf(stderr, "%s", m.state.error);
}

void initialize(const Module &m, const char *save_file, int verbose)
{
    if (m.entries.init_network != nullptr)
        m.entries.init_network();
    else
        init_network(m);
    if (save_file != nullptr) {
        if (verbose)
            std::printf("\nLoading Saved Network: %s", save_file);
        if (load_network(m, save_file) != 0) {
            std::fprintf(stderr, "%s", m.state.error);
            vl_exit(1);
        }
    }
    if (verbose) {
        std::printf("\n\nBackpropagation Learning");
        std::printf("\n\nBlack Boxes:\n");
        std::printf("\n%s (Saved at Backprop Iteration %d)", m.name, *m.state.counter);
    }
}

// ---- ASCII dumps.

namespace {

// The "C" locale, made once; null if it cannot be made.
locale_t c_locale()
{
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return c;
}

// Switch this thread to the "C" locale; returns the locale to restore (null: nothing switched).
locale_t enter_c_locale()
{
    const locale_t c = c_locale();
    if (c == static_cast<locale_t>(nullptr))
        return static_cast<locale_t>(nullptr);
    return uselocale(c);
}

void leave_c_locale(locale_t saved)
{
    if (saved != static_cast<locale_t>(nullptr))
        uselocale(saved);
}

// One unit's label: column x of its layer, row y.
void print_label(std::FILE *out, int i, int dim_x)
{
    std::fprintf(out, "\nNode[%d,%d]:", i % dim_x, i / dim_x);
}

void print_thresholds(std::FILE *out, const Module &m, const LayerInfo &l, int labelled)
{
    for (int i = 0; i < l.size; i++) {
        const double v = m.state.data[l.thr + i];
        if (labelled) {
            print_label(out, i, l.dim_x);
            std::fprintf(out, "\n   Bias=%.12f", v);
        } else {
            std::fprintf(out, "\n%.12f", v);
        }
    }
}

// A weight block: labelled, each unit's row after its label on one line (a shared row or
// kernel once, labelled as unit 0); bare, one weight a line in storage order. Every weight is
// followed by a blank.
void print_weights(std::FILE *out, const Module &m, const ConnectionInfo &c, const LayerInfo &l, int labelled)
{
    const float *w = at(m, c.weights);
    if (!labelled) {
        for (int i = 0; i < c.count; i++)
            std::fprintf(out, "\n%.12f ", static_cast<double>(w[i]));
        return;
    }
    if (c.kind == kField2d && !c.shared) {
        // Unit (u, r) has its field row j at ((r*KH + j)*U + u)*KW: its KH x KW weights are
        // gathered field row by field row.
        for (int i = 0; i < l.size; i++) {
            const int r = i / c.across, u = i % c.across;
            print_label(out, i, l.dim_x);
            std::fprintf(out, "\n");
            for (int j = 0; j < c.field_y; j++)
                for (int k = 0; k < c.field_x; k++)
                    std::fprintf(out, "%.12f ", static_cast<double>(w[((r * c.field_y + j) * c.across + u) * c.field_x + k]));
        }
        return;
    }
    const int rows = c.count / c.row;
    for (int r = 0; r < rows; r++) {
        print_label(out, r, rows == l.size ? l.dim_x : 1);
        std::fprintf(out, "\n");
        for (int j = 0; j < c.row; j++)
            std::fprintf(out, "%.12f ", static_cast<double>(w[r * c.row + j]));
    }
}

// A layer's feedback coefficients: labelled, each unit's a1 (and a2) after its label on one
// line; bare, a1 of every unit, then a2, one a line. Every value is followed by a blank.
void print_coefficients(std::FILE *out, const Module &m, const LayerInfo &l, int labelled)
{
    const float *a = at(m, l.coef);
    if (!labelled) {
        for (int i = 0; i < coefficient_count(l); i++)
            std::fprintf(out, "\n%.12f ", static_cast<double>(a[i]));
        return;
    }
    std::fprintf(out, "\nFeedback %s:", l.feedback == 1 ? "a1" : "a1 a2");
    for (int i = 0; i < l.size; i++) {
        print_label(out, i, l.dim_x);
        std::fprintf(out, "\n");
        for (int k = 0; k < l.feedback; k++)
            std::fprintf(out, "%.12f ", static_cast<double>(a[k * l.size + i]));
    }
}

void drain_input(std::FILE *in)
{
    char c;
    while (vl_fread(&c, 1, 1, in) == 1) {
    }
}

// Read the bare form into a staging copy; 0, or -2 with the message in the error text.
int read_dump(const Module &m, std::FILE *in, int &count, std::vector<float> &values)
{
    char c = '\0';
    for (;;) {
        if (vl_fread(&c, 1, 1, in) != 1) {
            BPset_error("\nNo ASCII dump in the input: it ends before the first \"#\".\n");
            return -2;
        }
        if (c == '#')
            break;
    }
    // The count is read wide, so that a number out of the counter's range is refused
    // instead of being cut to some other count.
    long long wide_count = 0;
    if (std::fscanf(in, "\n%lld", &wide_count) != 1) {
        BPset_error("\nThe ASCII dump has no readable iteration count.\n");
        return -2;
    }
    if (wide_count < INT_MIN || wide_count > INT_MAX) {
        BPset_error("\nThe iteration count of the ASCII dump is out of range.\n");
        return -2;
    }
    count = static_cast<int>(wide_count);
    for (int i = 0; i < m.trainable; i++) {
        const int got = std::fscanf(in, "%f", &values[static_cast<std::size_t>(i)]);
        if (got == EOF) {
            BPset_error("\nThe ASCII dump ends after %d of its %d values.\n", i, m.trainable);
            return -2;
        }
        if (got != 1) {
            BPset_error("\nValue %d of %d in the ASCII dump cannot be read.\n", i + 1, m.trainable);
            return -2;
        }
    }
    return 0;
}

}  // namespace

void ascii_dump(const Module &m, int labelled)
{
    ascii_dump(m, stdout, labelled);
}

void ascii_dump(const Module &m, std::FILE *out, int labelled)
{
    const locale_t saved = enter_c_locale();
    if (labelled)
        std::fprintf(out, "\n\nBlackBox: %s\nIterations: %d", m.name, *m.state.counter);
    else
        std::fprintf(out, "\n\n#\n%d", *m.state.counter);

    // Layers from the output back; each layer's thresholds, then its connections by source.
    for (int l = m.layer_count - 1; l >= 0; l--) {
        const LayerInfo &layer = m.layers[l];
        if (labelled)
            std::fprintf(out, "\nLayer: %s", layer.qualified);
        print_thresholds(out, m, layer, labelled);
        for (int c = layer.first; c < layer.first + layer.count; c++) {
            if (labelled)
                std::fprintf(out, "\nConnection from %s:", source_name(m, m.connections[c]));
            print_weights(out, m, m.connections[c], layer, labelled);
        }
        if (layer.feedback > 0)
            print_coefficients(out, m, layer, labelled);
    }
    if (!labelled)
        std::fprintf(out, "\n\n#");
    std::fprintf(out, "\n");
    leave_c_locale(saved);
}

int load_ascii(const Module &m)
{
    return load_ascii(m, stdin);
}

int load_ascii(const Module &m, std::FILE *in)
{
    // Read everything into a staging copy; the network changes only when the whole dump has
    // been read, so a cut or damaged dump leaves it as it was.
    const ErrorText error_text(m);
    int count = 0;
    std::vector<float> values(static_cast<std::size_t>(m.trainable));
    const locale_t saved = enter_c_locale();
    const int result = read_dump(m, in, count, values);
    leave_c_locale(saved);
    drain_input(in);
    if (result != 0)
        return result;
    if (m.temporal >= 0) {
        // The coefficients must leave every filter stable, checked in a staged copy of the state.
        std::vector<float> stage(m.state.data, m.state.data + m.data_size);
        const float *from = values.data();
        for_each_trainable(m, [&](int start, int n) {
            std::memcpy(stage.data() + start, from, static_cast<std::size_t>(n) * sizeof(float));
            from += n;
        });
        if (!filters_stable(m, stage.data()))
            return -2;
    }

    *m.state.counter = count;
    const float *next = values.data();
    for_each_trainable(m, [&](int start, int n) {
        std::memcpy(at(m, start), next, static_cast<std::size_t>(n) * sizeof(float));
        next += n;
    });
    return 0;
}

// ---- Descriptor and query.

void describe_network(const Module &m)
{
    bpnet_descriptor &d = *m.state.descriptor;
    const Entries &e = m.entries;
    d.description_file = m.description_file;
    d.network_name = m.name;
    d.field2 = 0;
    d.field3 = 1;
    d.unit_count = m.units;
    d.parameter_count = m.trainable;
    d.set_learning_rate_proc = e.set_learning_rate;
    d.set_inertia_proc = e.set_inertia;
    d.get_learning_rate_proc = e.get_learning_rate;
    d.get_inertia_proc = e.get_inertia;
    d.set_random_init_seed_proc = e.set_random_init_seed;
    d.set_random_init_range_proc = e.set_random_init_range;
    d.init_network_proc = e.init_network;
    d.network_forward_proc = e.network_forward;
    d.network_learn_proc = e.network_learn;
    d.dump_network_proc = e.dump_network;
    d.load_network_proc = e.load_network;
    d.error_string_proc = e.error_string;
    d.connections = m.state.records;
}

bpnet_descriptor *query_network(const Module &m, int box, int layer)
{
    // The module holds a single black box, index 0.
    if (box != 0)
        return nullptr;
    bpnet_descriptor &d = *m.state.descriptor;
    const Entries &e = m.entries;
    d.box_number = 0;
    d.box_name = m.name;
    d.field22 = 1;
    d.field23 = 1;
    d.layer_count = m.layer_count;
    d.input_size = m.inputs;
    d.input_dim_x = m.input_dim_x;
    d.input_dim_y = m.input_dim_y;
    d.field28 = 0;
    d.field29 = 0;
    d.field30 = 0;
    d.field31 = 0;
    d.propagate_forward_proc = e.propagate_forward;
    d.calc_grad_proc = e.calc_grad;
    d.update_weights_proc = e.update_weights;
    d.get_backprop_counter_proc = e.get_backprop_counter;
    d.set_backprop_counter_proc = e.set_backprop_counter;
    d.set_target_output_proc = e.set_target_output;
    d.get_target_output_proc = e.get_target_output;
    d.get_output_proc = e.get_output;
    d.set_input_proc = e.set_input;
    d.get_input_proc = e.get_input;
    if (layer < 0 || layer >= m.layer_count)
        return nullptr;

    // Layer 0 is the output layer; the numbers count back towards the inputs.
    const LayerInfo &l = m.layers[descriptor_number(m, layer)];
    d.layer_number = layer;
    d.field43 = 0;
    d.layer_name = l.qualified;
    d.layer_size = l.size;
    d.layer_dim_x = l.dim_x;
    d.layer_dim_y = l.dim_y;
    d.field48 = 0;
    d.field49 = 0;
    // Field 51: the layer's unit kind (0, logistic, for every layer of nn).
    d.field51 = l.unit;
    d.layer_activations = at(m, l.act);
    d.layer_thresholds = at(m, l.thr);
    d.layer_threshold_steps = at(m, l.thr_step);
    d.layer_deltas = at(m, l.delta);
    d.layer_connection_count = l.count;
    d.field58 = layer;
    if (m.temporal >= 0) {
        // A network with feedback: field 50 holds the layer's order, and the record after its
        // connections describes its coefficients as a connection from the layer itself (a1 of
        // every unit, then a2, and their steps).
        d.field50 = l.feedback;
        if (l.feedback > 0) {
            bpnet_connection_record &r = m.state.records[l.count];
            r = bpnet_connection_record{};
            r.field1 = 1;
            r.weight_count = coefficient_count(l);
            r.source_number = layer;
            r.source_name = l.qualified;
            r.source_size = l.size;
            r.source_dim_x = l.dim_x;
            r.source_dim_y = l.dim_y;
            r.weights = at(m, l.coef);
            r.weight_steps = at(m, l.coef_step);
            r.field13 = l.size;
            r.field14 = 1;
            r.field15 = l.size;
        }
    }
    // The records go into the module's own table, never through the `connections` field,
    // which a host may have changed.
    for (int slot = 0; slot < l.count; slot++) {
        const ConnectionInfo &c = m.connections[l.first + slot];
        bpnet_connection_record &r = m.state.records[slot];
        r.field0 = 0;
        r.field1 = 1;
        r.field2 = 0;
        r.weight_count = c.count;
        r.field4 = 0;
        r.source_number = c.source == kInputs ? -1 : descriptor_number(m, c.source);
        r.source_name = source_name(m, c);
        r.source_size = c.source_size;
        r.source_dim_x = c.source_dim_x;
        r.source_dim_y = c.source_dim_y;
        r.field10 = 0;
        r.weights = at(m, c.weights);
        r.weight_steps = at(m, c.steps);
        r.field13 = c.source_size;
        r.field14 = 1;
        r.field15 = c.source_size;
        r.field16 = 0;
        r.field17 = 0;
        r.field18 = 0;
    }
    return &d;
}

// ---- Detection statistics and trace output.

namespace {

// The registered target vector, read afresh for every pattern; null, with a message on
// standard error, when there is none or no input vector to run from.
const float *pattern_target(const Module &m, const char *who)
{
    if (*m.state.input == nullptr) {
        std::fprintf(stderr, "%s: no input vector registered (%s_set_input)\n", who, m.name);
        return nullptr;
    }
    if (*m.state.target == nullptr) {
        std::fprintf(stderr, "%s: no target vector registered (%s_set_target_output)\n", who, m.name);
        return nullptr;
    }
    return *m.state.target;
}

}  // namespace

PdPfa pdpfa_start(int outputs, float pd_threshold)
{
    PdPfa s;
    s.maxima.assign(static_cast<std::size_t>(outputs), -static_cast<bp_wide>(FLT_MAX));
    s.minima.assign(static_cast<std::size_t>(outputs), static_cast<bp_wide>(FLT_MAX));
    s.sums.assign(static_cast<std::size_t>(outputs), 0.0f);
    s.squares.assign(static_cast<std::size_t>(outputs), 0.0f);
    s.threshold_sq = static_cast<float>(static_cast<bp_wide>(pd_threshold) * pd_threshold);
    return s;
}

void pdpfa_add(PdPfa &s, const float *out, const float *target)
{
    bp_wide e = 0.0;  // squared distance between outputs and targets
    for (std::size_t j = 0; j < s.sums.size(); j++) {
        const float o = out[j];
        s.sums[j] = static_cast<float>(s.sums[j] + static_cast<bp_wide>(o));
        s.squares[j] = static_cast<float>(s.squares[j] + static_cast<bp_wide>(o) * o);
        if (o < s.minima[j])
            s.minima[j] = o;
        if (o > s.maxima[j])
            s.maxima[j] = o;
        const bp_wide diff = static_cast<bp_wide>(o) - target[j];
        e += diff * diff;
    }
    if (e < s.threshold_sq)
        s.hits++;
    s.count++;
}

void pdpfa_print(const PdPfa &s, const char *name)
{
    // Extremes, means (stored as float), population variances, Pd and Pfa; the counts are
    // printed and divided as signed ints.
    const std::size_t outputs = s.sums.size();
    const int count = s.count;
    const float n = static_cast<float>(count);
    std::printf("\n\n%s:", name);
    std::printf("\nMaxima: ");
    for (std::size_t j = 0; j < outputs; j++)
        std::printf("%f ", s.maxima[j]);
    std::printf("\nMinima: ");
    for (std::size_t j = 0; j < outputs; j++)
        std::printf("%f ", s.minima[j]);
    std::printf("\nMeans: ");
    std::vector<float> means(outputs);
    for (std::size_t j = 0; j < outputs; j++) {
        means[j] = static_cast<float>(static_cast<bp_wide>(s.sums[j]) / n);
        std::printf("%f ", static_cast<double>(means[j]));
    }
    std::printf("\nVariances: ");
    for (std::size_t j = 0; j < outputs; j++) {
        const bp_wide mean = means[j];
        std::printf("%f ", static_cast<bp_wide>(s.squares[j]) / n - mean * mean);
    }
    std::printf("\n\nPd = %d/%d = %f", s.hits, count, static_cast<bp_wide>(s.hits) / n);
    std::printf("\nPfa = %d/%d = %f", count - s.hits, count, static_cast<bp_wide>(count - s.hits) / n);
}

void print_trace(const char *name, int iteration, int outputs, const float *out, const float *target)
{
    std::printf("\nIteration: %d", iteration);
    std::printf("\nblack box %s:", name);
    std::printf("\n\tOutputs:");
    for (int j = 0; j < outputs; j++)
        std::printf(" %f", static_cast<double>(out[j]));
    std::printf("\n\tTargets:");
    for (int j = 0; j < outputs; j++)
        std::printf(" %f", static_cast<double>(target[j]));
}

void forward_pdpfa(const Module &m, unsigned iterations, void (*input_fn)(void), float pd_threshold)
{
    if (iterations == 0)
        return;
    // The counts are printed and divided as signed ints.
    if (iterations > static_cast<unsigned>(INT_MAX)) {
        std::fprintf(stderr, "network_forward_pdpfa: pattern count %u is too large (at most %d)\n", iterations,
                     INT_MAX);
        return;
    }
    if (input_fn == nullptr) {
        std::fprintf(stderr, "network_forward_pdpfa: no pattern function\n");
        return;
    }
    PdPfa stats = pdpfa_start(m.outputs, pd_threshold);
    const float *out = at(m, output_layer(m).act);
    for (unsigned i = 0; i < iterations; i++) {
        input_fn();
        const float *target = pattern_target(m, "network_forward_pdpfa");
        if (target == nullptr)
            return;
        run_forward(m);
        pdpfa_add(stats, out, target);
    }
    pdpfa_print(stats, m.name);
}

void forward_print(const Module &m, int iterations, void (*input_fn)(void))
{
    if (iterations > 0 && input_fn == nullptr) {
        std::fprintf(stderr, "network_forward_print: no pattern function\n");
        return;
    }
    const float *out = at(m, output_layer(m).act);
    for (int i = 0; i < iterations; i++) {
        input_fn();
        const float *target = pattern_target(m, "network_forward_print");
        if (target == nullptr)
            return;
        run_forward(m);
        print_trace(m.name, i, m.outputs, out, target);
    }
}

}  // namespace bpm
