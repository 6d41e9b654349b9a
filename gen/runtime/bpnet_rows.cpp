// Blocks of rows over a module record: forward passes of many rows at once, and learning in
// batches. Table-driven over the record's layers and connections like the rest of the runtime:
// full connections and receptive fields take the block kernels (each weight read once for many
// rows), unit functions the one-row library kernels row by row, so that every row's values are
// the bits of the one-row passes.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <vector>

#include "bp/BpSimBlock.h"
#include "bp/BpSimKernelSets.h"
#include "bp/BpSimLearn.h"
#include "gen/runtime/bpnet_module.h"
#include "gen/units.h"

namespace bpm {

namespace {

// Rows a thread passes forward at a time, so that a sub-block's activations stay in cache.
constexpr int kBlockRows = 128;
// Multiply-adds a thread must have before another thread is worth handing a range (a few
// hundred microseconds of work): a block of rows x weights below twice this runs in the caller
// alone. Measured on a 2-core virtual machine, where waking a worker costs far more than on
// bare metal: with 2^17, a batch of 200 rows of a 64-100-10 network learned in 1.6x the time.
constexpr long long kThreadWork = 1LL << 20;
// The most threads a call starts.
constexpr int kMaxThreads = 256;
// Fewer rows than this take the path's one-row kernels for full connections: making a panel
// costs about what a dozen rows of block passes cost.
constexpr int kPanelRows = 8;

// A full connection's one-row pass on kernel set K: d = W x (first) or d + W x.
template <class K>
void row_dot_on(const float *W, const float *x, float *d, int n, int m, bool first)
{
    if (first)
        K::lvdot(W, x, d, n, m);
    else
        K::lvdot_sum(W, x, d, n, m);
}

// The same on a path's kernels. Each kernel carries its path's attribute and is called, not
// inlined: a flattened copy per path would add some hundred kilobytes to every program.
void row_dot(bp_multi::Path path, const float *W, const float *x, float *d, int n, int m, bool first)
{
    switch (path) {
#if BP_MULTI_X86
    case bp_multi::Path::avx512: return row_dot_on<bp_multi::Avx512Kernels>(W, x, d, n, m, first);
    case bp_multi::Path::avx2: return row_dot_on<bp_multi::Avx2Kernels>(W, x, d, n, m, first);
    case bp_multi::Path::sse2: return row_dot_on<bp_multi::Sse2Kernels>(W, x, d, n, m, first);
#endif
    default: return row_dot_on<bp_multi::PortableKernels>(W, x, d, n, m, first);
    }
}

float *at(const Module &m, int i)
{
    return m.state.data + i;
}

// Whether the network has feedback: its rows form one sequence.
int feedback_layer(const Module &m)
{
    for (int l = 0; l < m.layer_count; l++)
        if (m.layers[l].feedback > 0)
            return l;
    return m.temporal >= 0 ? m.layer_count - 1 : -1;
}

// What the block passes need besides the record: each layer's unit kind, each full
// connection's panel (made once per call or batch, read by every thread), the kernel path,
// and the multiply-adds of one row.
struct Plan {
    std::vector<const bpgen::UnitKind *> units;
    std::vector<int> panel_of;  // per connection: its panel, or -1 for a receptive field
    std::vector<bp_block::Panel> panels;
    bool panels_made = false;
    bp_multi::Path path = bp_multi::Path::portable;
    long long work = 0;
};

// The plan of a record (panels not yet made); false, with the message, for a unit code the
// table of unit kinds does not know.
bool make_plan(const Module &m, const char *who, Plan &p)
{
    p.path = m.path >= 0 && m.path < bp_multi::kPathCount ? static_cast<bp_multi::Path>(m.path)
                                                           : bp_multi::active_path();
    for (int l = 0; l < m.layer_count; l++) {
        const std::optional<bpgen::Unit> u = bpgen::unit_of_code(m.layers[l].unit);
        if (!u) {
            BPset_error("\n%s: layer %s has the unknown unit kind %d.\n", who, m.layers[l].qualified,
                        m.layers[l].unit);
            return false;
        }
        p.units.push_back(&bpgen::unit_kind(*u));
    }
    int panels = 0;
    for (int c = 0; c < m.connection_count; c++) {
        const ConnectionInfo &ci = m.connections[c];
        const int size = m.layers[ci.layer].size;
        p.panel_of.push_back(ci.kind == kFull ? panels++ : -1);
        p.work += ci.kind == kFull ? 1LL * size * ci.source_size
                                   : 1LL * size * ci.field_x * (ci.kind == kField2d ? ci.field_y : 1);
    }
    p.panels.resize(static_cast<std::size_t>(panels));
    return true;
}

// The panels of the full connections from the weights as they stand, for a block of `rows`
// rows (none for a few rows).
void make_panels(const Module &m, Plan &p, int rows)
{
    p.panels_made = rows >= kPanelRows;
    if (!p.panels_made)
        return;
    for (int c = 0; c < m.connection_count; c++) {
        const ConnectionInfo &ci = m.connections[c];
        if (p.panel_of[c] >= 0)
            bp_block::make_panel(at(m, ci.weights), ci.source_size, m.layers[ci.layer].size,
                                 p.panels[static_cast<std::size_t>(p.panel_of[c])]);
    }
}

// Per-layer vectors of a range of rows, row-major with the layer's size as leading dimension:
// activations, net inputs (kinds that store them; null otherwise) and, for learning, deltas.
struct Layers {
    std::vector<float> act, net, delta;
    std::vector<std::size_t> at;  // per layer: the offset of its rows in each vector
    std::vector<bool> stores_net;

    Layers(const Module &m, const Plan &p, int capacity, bool deltas)
    {
        std::size_t total = 0;
        bool any_net = false;
        for (int l = 0; l < m.layer_count; l++) {
            at.push_back(total);
            stores_net.push_back(p.units[static_cast<std::size_t>(l)]->stores_net);
            any_net = any_net || stores_net.back();
            total += static_cast<std::size_t>(capacity) * static_cast<std::size_t>(m.layers[l].size);
        }
        act.assign(total, 0.0f);
        net.assign(any_net ? total : 0, 0.0f);
        if (deltas)
            delta.assign(total, 0.0f);
    }
    float *a(int l, int row, int size) { return act.data() + at[static_cast<std::size_t>(l)] + 1LL * row * size; }
    float *z(int l, int row, int size)
    {
        return stores_net[static_cast<std::size_t>(l)] ? net.data() + at[static_cast<std::size_t>(l)] + 1LL * row * size
                                                       : nullptr;
    }
    float *e(int l, int row, int size) { return delta.data() + at[static_cast<std::size_t>(l)] + 1LL * row * size; }
};

// The source rows of a connection from row `row` on: the inputs (`in`, that row's), or the
// activations of a layer in `rows`.
struct Source {
    const float *x;
    std::ptrdiff_t ld;
};
Source source_of(const Module &m, Layers &rows, const ConnectionInfo &c, int row, const float *in,
                 std::ptrdiff_t ld_in)
{
    if (c.source == kInputs)
        return {in, ld_in};
    const int size = m.layers[c.source].size;
    return {rows.a(c.source, row, size), size};
}

// The forward pass of rows [first, first + count) of `rows`, whose inputs start at `in` (row
// `first`'s): each layer's connections in source order (the first overwrites, the rest add;
// the 2-D fields clear the activations first, since they only add), then its unit function,
// the one-row pass's steps row by row.
void forward_block(const Module &m, const Plan &p, Layers &rows, int first, int count, const float *in,
                   std::ptrdiff_t ld_in)
{
    for (int l = 0; l < m.layer_count; l++) {
        const LayerInfo &layer = m.layers[l];
        const int n = layer.size;
        float *act = rows.a(l, first, n);
        for (int c = layer.first; c < layer.first + layer.count; c++) {
            const ConnectionInfo &ci = m.connections[c];
            const bool overwrite = c == layer.first;
            const Source s = source_of(m, rows, ci, first, in, ld_in);
            const float *w = at(m, ci.weights);
            if (ci.kind == kFull && p.panels_made) {
                bp_block::dot_on(p.path, p.panels[static_cast<std::size_t>(p.panel_of[c])], s.x, s.ld, act, n, count,
                                 overwrite);
                continue;
            }
            if (ci.kind == kFull) {
                for (int r = 0; r < count; r++)
                    row_dot(p.path, w, s.x + r * s.ld, act + 1LL * r * n, ci.source_size, n, overwrite);
                continue;
            }
            if (ci.kind == kField1d) {
                bp_block::field1d_dot_on(p.path, w, ci.overlap, ci.field_x, n, ci.shared, s.x, s.ld, act, n, count,
                                         overwrite);
                continue;
            }
            if (overwrite)
                std::fill_n(act, 1LL * count * n, 0.0f);
            bp_block::field2d_dot_on(p.path, ci.across, ci.down, ci.field_x, ci.field_y, w, ci.overlap,
                                     ci.across * ci.field_x, ci.source_dim_x, ci.overlap * ci.source_dim_x, ci.shared,
                                     s.x, s.ld, act, n, count);
        }
        const bpgen::UnitKind &kind = *p.units[static_cast<std::size_t>(l)];
        for (int r = 0; r < count; r++)
            bpgen::unit_forward(kind, act + 1LL * r * n, rows.z(l, first + r, n), at(m, layer.thr), n);
    }
}

// The machine's cores, asked once: the system reads a file to answer.
long long machine_cores()
{
    static const long long cores = std::max(1u, std::thread::hardware_concurrency());
    return cores;
}

// The threads worth starting for `rows` rows of `work` multiply-adds each, at most `requested`
// (<= 0: the machine's cores).
int thread_count(int requested, int rows, long long work)
{
    const long long worth = std::min({static_cast<long long>(rows), static_cast<long long>(kMaxThreads),
                                      static_cast<long long>(rows) * std::max(work, 1LL) / kThreadWork});
    if (worth <= 1)
        return 1;
    return static_cast<int>(std::min(worth, requested > 0 ? requested : machine_cores()));
}

// The process's workers: threads started once and kept, each waiting for one job at a time.
// Starting a thread costs tens of microseconds, a batch's pass little more; a worker takes a
// job in a few. Callers in several threads at once each take idle workers (or start new ones);
// the workers are never joined, so that no call waits for a static destructor at exit.
class Workers {
public:
    using Job = void (*)(void *, int);

    // A worker given job(arg, index), or false when none can be had (the caller runs it).
    bool start(Job job, void *arg, int index, std::atomic<int> &pending)
    {
        Worker *w = nullptr;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!idle_.empty()) {
                w = idle_.back();
                idle_.pop_back();
            }
        }
        if (w == nullptr) {
            try {
                w = new Worker;
                std::thread(&Workers::serve, this, w).detach();
            } catch (...) {
                delete w;
                return false;
            }
        }
        {
            const std::lock_guard<std::mutex> lock(w->mutex);
            w->job = job;
            w->arg = arg;
            w->index = index;
            w->pending = &pending;
        }
        w->wake.notify_one();
        return true;
    }

private:
    struct Worker {
        std::mutex mutex;
        std::condition_variable wake;
        Job job = nullptr;
        void *arg = nullptr;
        int index = 0;
        std::atomic<int> *pending = nullptr;
    };

    // A worker's life: wait for a job, run it, count it done, and go back to the idle list.
    void serve(Worker *w)
    {
        for (;;) {
            std::unique_lock<std::mutex> lock(w->mutex);
            w->wake.wait(lock, [w] { return w->job != nullptr; });
            const Job job = w->job;
            std::atomic<int> *pending = w->pending;
            job(w->arg, w->index);
            w->job = nullptr;
            lock.unlock();
            {
                const std::lock_guard<std::mutex> idle_lock(mutex_);
                idle_.push_back(w);
            }
            // Last: once the count falls, the caller's frame (and the job's argument) may go.
            if (pending->fetch_sub(1, std::memory_order_acq_rel) == 1)
                pending->notify_all();
        }
    }

    std::mutex mutex_;
    std::vector<Worker *> idle_;
};

// The pool, made on first use and never destroyed: workers may still be waiting when the
// process ends. A child made by fork has none of its parent's threads (the parent's workers
// would never answer, and a lock may have been held at the fork): it starts a pool of its own.
std::atomic<Workers *> the_workers{nullptr};

void forget_workers_in_child()
{
    the_workers.store(nullptr, std::memory_order_relaxed);
}

Workers &workers()
{
    static const bool registered = (pthread_atfork(nullptr, nullptr, forget_workers_in_child), true);
    (void)registered;
    Workers *w = the_workers.load(std::memory_order_acquire);
    if (w == nullptr) {
        Workers *const made = new Workers;
        if (the_workers.compare_exchange_strong(w, made, std::memory_order_acq_rel))
            w = made;
        else
            delete made;
    }
    return *w;
}

// body(thread, begin, end) over `threads` contiguous ranges of [0, rows), the first in the
// caller, the others in the process's workers; a range no worker can take runs in the caller.
template <typename Body>
void in_threads(int rows, int threads, Body body)
{
    const int base = rows / threads, extra = rows % threads;
    struct Call {
        Body *body;
        int base, extra;
        void run(int t) const { (*body)(t, t * base + std::min(t, extra), (t + 1) * base + std::min(t + 1, extra)); }
    } call{&body, base, extra};
    const auto job = [](void *arg, int t) { static_cast<const Call *>(arg)->run(t); };
    std::atomic<int> pending{0};
    for (int t = 1; t < threads; t++) {
        pending.fetch_add(1, std::memory_order_relaxed);
        if (!workers().start(job, &call, t, pending)) {
            pending.fetch_sub(1, std::memory_order_relaxed);
            call.run(t);
        }
    }
    call.run(0);
    for (int left = pending.load(std::memory_order_acquire); left != 0; left = pending.load(std::memory_order_acquire))
        pending.wait(left, std::memory_order_acquire);
}

// The argument checks every block call shares; false, with the message.
bool rows_ok(const Module &m, const char *who, int rows, const float *in, std::ptrdiff_t ld_in, const void *out,
             std::ptrdiff_t ld_out, int out_size, const char *out_what)
{
    if (rows < 0) {
        BPset_error("\n%s: %d rows (expected 0 or more).\n", who, rows);
        return false;
    }
    if (rows > 0 && (in == nullptr || out == nullptr)) {
        BPset_error("\n%s: no %s rows given.\n", who, in == nullptr ? "input" : out_what);
        return false;
    }
    if (ld_in < m.inputs || ld_out < out_size) {
        BPset_error("\n%s: rows of %td and %td floats are shorter than the network's %d inputs and %d %s.\n", who,
                    ld_in, ld_out, m.inputs, out_size, out_what);
        return false;
    }
    return true;
}

// The registered input and target vectors, put back when a call ends.
class KeepVectors {
public:
    explicit KeepVectors(const Module &m) : m_(m), input_(*m.state.input), target_(*m.state.target) {}
    ~KeepVectors()
    {
        *m_.state.input = input_;
        *m_.state.target = target_;
    }
    KeepVectors(const KeepVectors &) = delete;
    KeepVectors &operator=(const KeepVectors &) = delete;

private:
    const Module &m_;
    float *input_;
    float *target_;
};

// One batch of `b` rows, learned by the batch rule: the rows forward with the weights at the
// batch's start, each row's error and output deltas (scaled by rate / b), then over the rows
// that exceed the threshold, in row order, the step counted and the derivative offsets drawn
// as that many one-row steps draw them, the deltas passed back with the one-row roundings, the
// gradients summed over those rows in double and added once, and one update of every block.
void learn_batch(const Module &m, Plan &p, Layers &rows, std::vector<float> &inputs, int b, const float *in,
                 std::ptrdiff_t ld_in, const float *target, std::ptrdiff_t ld_t, float *errors, int threads)
{
    const int last = m.layer_count - 1;
    const int outputs = m.outputs;

    // Forward, in threads over contiguous row ranges.
    make_panels(m, p, b);
    in_threads(b, thread_count(threads, b, p.work), [&](int, int begin, int end) {
        for (int r = begin; r < end; r += kBlockRows)
            forward_block(m, p, rows, r, std::min(kBlockRows, end - r), in + r * ld_in, ld_in);
    });

    // Errors and output deltas, row by row; the learned rows move to the front in order.
    const float scale = static_cast<float>(static_cast<bp_wide>(*m.state.learning_rate) / b);
    int learned = 0;
    for (int r = 0; r < b; r++) {
        const float half_sum = BPoutput_error(target + r * ld_t, rows.a(last, r, outputs), rows.e(last, r, outputs),
                                              scale, outputs);
        const float error = bpm::presentation_error(target + r * ld_t, rows.a(last, r, outputs), outputs, half_sum,
                                                    p.units[static_cast<std::size_t>(last)]->output_only);
        if (errors != nullptr)
            errors[r] = error;
        if (!(error > *m.state.threshold))
            continue;
        if (learned != r) {
            for (int l = 0; l <= last; l++) {
                const int n = m.layers[l].size;
                std::memcpy(rows.a(l, learned, n), rows.a(l, r, n), sizeof(float) * n);
                if (rows.z(l, r, n) != nullptr)
                    std::memcpy(rows.z(l, learned, n), rows.z(l, r, n), sizeof(float) * n);
            }
            std::memcpy(rows.e(last, learned, outputs), rows.e(last, r, outputs), sizeof(float) * outputs);
        }
        std::memcpy(inputs.data() + 1LL * learned * m.inputs, in + r * ld_in, sizeof(float) * m.inputs);
        learned++;
    }
    if (learned == 0)
        return;

    // The step counter and the derivative offsets: per learned row, per layer from the output back.
    std::vector<float> offsets(static_cast<std::size_t>(learned) * m.layer_count);
    for (int r = 0; r < learned; r++) {
        count_step(m);
        for (int l = last; l >= 0; l--)
            offsets[static_cast<std::size_t>(r) * m.layer_count + l] =
                m.random != nullptr ? BPrandom_float(m.random, kDerivOffsetRange) : BPfrandom(kDerivOffsetRange);
    }

    // The hidden deltas gather the error passed back.
    for (int l = 0; l < last; l++)
        std::fill_n(rows.e(l, 0, m.layers[l].size), static_cast<std::size_t>(learned) * m.layers[l].size, 0.0f);

    // Layers from the output back: derivative, thresholds, connections in source order; the
    // full connections in threads when the learned rows are many enough.
    const int t = thread_count(threads, learned, p.work);
    std::vector<bp_wide> sums;
    const auto add_sums = [&](float *g, int n) {
        for (int i = 0; i < n; i++)
            g[i] = static_cast<float>(g[i] + sums[static_cast<std::size_t>(i)]);
    };
    for (int l = last; l >= 0; l--) {
        const LayerInfo &layer = m.layers[l];
        const int n = layer.size;
        float *e = rows.e(l, 0, n);
        for (int r = 0; r < learned; r++)
            bpgen::unit_derivative(*p.units[static_cast<std::size_t>(l)], rows.a(l, r, n), rows.z(l, r, n),
                                   e + 1LL * r * n, n, offsets[static_cast<std::size_t>(r) * m.layer_count + l]);
        sums.assign(static_cast<std::size_t>(n), 0.0);
        for (int r = 0; r < learned; r++)
            bp_learn::accum_biases<bp_wide>(sums.data(), e + 1LL * r * n, n);
        add_sums(at(m, layer.thr_grad), n);

        for (int c = layer.first; c < layer.first + layer.count; c++) {
            const ConnectionInfo &ci = m.connections[c];
            const Source s = source_of(m, rows, ci, 0, inputs.data(), m.inputs);
            float *h = ci.source == kInputs ? nullptr : rows.e(ci.source, 0, ci.source_size);
            const float *w = at(m, ci.weights);
            float *g = at(m, ci.grads);
            if (ci.kind == kFull) {
                // Gradients split over the units, deltas passed back split over the rows: each
                // value is formed by one thread as the whole call forms it.
                const int ns = ci.source_size;
                in_threads(n, std::min(t, n), [&](int, int u0, int u1) {
                    bp_block::grad_on(p.path, e + u0, n, s.x, s.ld, g + 1LL * u0 * ns, ns, u1 - u0, learned);
                });
                if (h != nullptr)
                    in_threads(learned, t, [&](int, int r0, int r1) {
                        bp_block::back_on(p.path, e + 1LL * r0 * n, n, w, ns, n, h + 1LL * r0 * ns, ns, r1 - r0);
                    });
                continue;
            }
            sums.assign(static_cast<std::size_t>(ci.count), 0.0);
            for (int r = 0; r < learned; r++) {
                const float *er = e + 1LL * r * n, *x = s.x + r * s.ld;
                float *hr = h != nullptr ? h + 1LL * r * ci.source_size : nullptr;
                if (ci.kind == kField1d && hr == nullptr)
                    (ci.shared ? bp_learn::accum_weights_from_input_share<bp_wide>
                               : bp_learn::accum_weights_from_input<bp_wide>)(er, x, sums.data(), n, ci.field_x,
                                                                              ci.overlap);
                else if (ci.kind == kField1d)
                    (ci.shared ? bp_learn::accum_weights_from_hidden_share<bp_wide>
                               : bp_learn::accum_weights_from_hidden<bp_wide>)(er, x, hr, w, sums.data(), n,
                                                                               ci.field_x, ci.overlap);
                else
                    bp_learn::accum2d<bp_wide>(ci.across, ci.down, ci.field_x, ci.field_y, w, sums.data(), x, hr, er,
                                               ci.overlap, ci.across * ci.field_x, ci.source_dim_x,
                                               ci.overlap * ci.source_dim_x, ci.shared);
            }
            add_sums(g, ci.count);
        }
    }

    // One update of every block, layers from the output back, as the one-row update; another
    // optimizer than sgd without decay takes the runtime's update.
    if (optimizer_active(m)) {
        optimizer_update(m, scale, b);
        return;
    }
    const float inertia = *m.state.inertia;
    const auto update = [&](int value, int grad, int step, int n) {
        bp_inline::update_weights(inertia, at(m, grad), at(m, value), at(m, step), n);
        std::fill_n(at(m, grad), n, 0.0f);
    };
    for (int l = last; l >= 0; l--) {
        const LayerInfo &layer = m.layers[l];
        update(layer.thr, layer.thr_grad, layer.thr_step, layer.size);
        for (int c = layer.first; c < layer.first + layer.count; c++)
            update(m.connections[c].weights, m.connections[c].grads, m.connections[c].steps, m.connections[c].count);
    }
}

}  // namespace

int forward_rows(const Module &m, int rows, const float *in, std::ptrdiff_t ld_in, float *out, std::ptrdiff_t ld_out,
                 int threads)
{
    const ErrorText error_text(m);
    if (!rows_ok(m, "forward_rows", rows, in, ld_in, out, ld_out, m.outputs, "output"))
        return -1;
    if (rows == 0)
        return 0;
    const float *result = at(m, m.layers[m.layer_count - 1].act);
    if (feedback_layer(m) >= 0) {
        // One sequence: the one-row pass per row, in order.
        const KeepVectors keep(m);
        for (int r = 0; r < rows; r++) {
            // The passes read the inputs and never write them.
            *m.state.input = const_cast<float *>(in + r * ld_in);
            m.passes.propagate_forward(m.context);
            std::memcpy(out + r * ld_out, result, sizeof(float) * static_cast<std::size_t>(m.outputs));
        }
        return 0;
    }

    Plan p;
    if (!make_plan(m, "forward_rows", p))
        return -1;
    make_panels(m, p, rows);
    const int t = thread_count(threads, rows, p.work);
    // Each thread's scratch, made before any thread starts.
    std::vector<Layers> scratch;
    scratch.reserve(static_cast<std::size_t>(t));
    for (int i = 0; i < t; i++)
        scratch.emplace_back(m, p, std::min(kBlockRows, rows), false);
    const int last = m.layer_count - 1;
    in_threads(rows, t, [&](int thread, int begin, int end) {
        Layers &s = scratch[static_cast<std::size_t>(thread)];
        for (int r = begin; r < end; r += kBlockRows) {
            const int count = std::min(kBlockRows, end - r);
            forward_block(m, p, s, 0, count, in + r * ld_in, ld_in);
            for (int k = 0; k < count; k++)
                std::memcpy(out + (r + k) * ld_out, s.a(last, k, m.outputs),
                            sizeof(float) * static_cast<std::size_t>(m.outputs));
        }
    });
    return 0;
}

int learn_rows(const Module &m, int rows, const float *in, std::ptrdiff_t ld_in, const float *target,
               std::ptrdiff_t ld_t, int batch, float *errors, int threads)
{
    const ErrorText error_text(m);
    if (!rows_ok(m, "learn_rows", rows, in, ld_in, target, ld_t, m.outputs, "target"))
        return -1;
    if (batch < 1) {
        BPset_error("\nlearn_rows: batch size %d (expected 1 or more).\n", batch);
        return -1;
    }
    const int fed_back = feedback_layer(m);
    if (batch > 1 && fed_back >= 0) {
        BPset_error("\nLearning in batches needs a network without feedback; %s has feedback in layer %s.\n", m.name,
                    m.layers[fed_back].name);
        return -1;
    }
    if (rows == 0)
        return 0;
    if (!optimizer_ready(m, "learn_rows", batch))
        return -1;
    if (batch == 1) {
        // The learning loop's presentations, the row's vectors registered for each.
        const KeepVectors keep(m);
        for (int r = 0; r < rows; r++) {
            *m.state.input = const_cast<float *>(in + r * ld_in);
            *m.state.target = const_cast<float *>(target + r * ld_t);
            const float error = learn_presentation(m);
            if (errors != nullptr)
                errors[r] = error;
        }
        return 0;
    }

    Plan p;
    if (!make_plan(m, "learn_rows", p))
        return -1;
    const int capacity = std::min(batch, rows);
    Layers scratch(m, p, capacity, true);
    std::vector<float> inputs(static_cast<std::size_t>(capacity) * m.inputs);
    for (int r = 0; r < rows; r += batch) {
        const int b = std::min(batch, rows - r);
        learn_batch(m, p, scratch, inputs, b, in + r * ld_in, ld_in, target + r * ld_t, ld_t,
                    errors != nullptr ? errors + r : nullptr, threads);
    }
    return 0;
}

int learn(const Module &m, unsigned iterations, void (*input_fn)(void), int batch)
{
    if (batch == 1) {
        if (iterations > 0 && !optimizer_ready(m, "network_learn_batch"))
            return -1;
        learn(m, iterations, input_fn);
        return 0;
    }
    const ErrorText error_text(m);
    if (batch < 1) {
        BPset_error("\nnetwork_learn_batch: batch size %d (expected 1 or more).\n", batch);
        return -1;
    }
    const int fed_back = feedback_layer(m);
    if (fed_back >= 0) {
        BPset_error("\nLearning in batches needs a network without feedback; %s has feedback in layer %s.\n", m.name,
                    m.layers[fed_back].name);
        return -1;
    }
    if (iterations == 0)
        return 0;
    if (input_fn == nullptr) {
        BPset_error("\nnetwork_learn_batch: no pattern function.\n");
        return -1;
    }
    if (!optimizer_ready(m, "network_learn_batch", batch))
        return -1;
    // Gather each batch's presentations, then learn them as one batch.
    const int capacity = static_cast<int>(std::min<unsigned>(static_cast<unsigned>(batch), iterations));
    std::vector<float> xs(static_cast<std::size_t>(capacity) * m.inputs);
    std::vector<float> ts(static_cast<std::size_t>(capacity) * m.outputs);
    for (unsigned done = 0; done < iterations;) {
        const int b = static_cast<int>(std::min<unsigned>(static_cast<unsigned>(batch), iterations - done));
        for (int r = 0; r < b; r++) {
            input_fn();
            if (*m.state.input == nullptr || *m.state.target == nullptr) {
                BPset_error("\nnetwork_learn_batch: no %s vector registered.\n",
                            *m.state.input == nullptr ? "input" : "target");
                return -1;
            }
            std::memcpy(xs.data() + 1LL * r * m.inputs, *m.state.input, sizeof(float) * m.inputs);
            std::memcpy(ts.data() + 1LL * r * m.outputs, *m.state.target, sizeof(float) * m.outputs);
        }
        // A short last batch is still a batch (batch 1 would be the one-row rule).
        if (learn_rows(m, b, xs.data(), m.inputs, ts.data(), m.outputs, batch, nullptr, 0) != 0)
            return -1;
        done += static_cast<unsigned>(b);
    }
    return 0;
}

}  // namespace bpm
