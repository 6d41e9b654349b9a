// The optimizer beside the momentum rule: adam and weight decay. Random descriptions learn
// random rows with a drawn optimizer (sgd or adam, decay 0 or not, one row at a time or in
// batches); the network built at run time must give the bits of a reference written here from
// the rule (the passes of a plain network for the forward passes and gradients, the gathering
// of batches in double, and the update, the moments and the stability guard of the
// coefficients written out), and compiled modules and networks whose description reserves the
// moments in their data the run-time network's bits. Learning k rows, saving, loading into a
// fresh network and learning k more is learning 2k; damaged optimizer records are refused with
// nothing changed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bp/BpSim.h"
#include "gen/model.h"
#include "gen/rtnet/bpnet_network.h"
#include "gen/rtnet/rtnet_state.h"
#include "gen/runtime/bpnet_module.h"
#include "support/differential.h"
#include "support/gen_support.h"
#include "support/test_support.h"

namespace {

using bptest::random_values;
using bptest::same_bits;
using bptest::snapshot;

// An optimizer as a test draws it.
struct Setting {
    bool adam = false;
    double beta1 = 0.9, beta2 = 0.999, epsilon = 1e-8, decay = 0.0;
    float rate = 0.2f;
    int batch = 1;
};

Setting draw_setting(std::mt19937_64 &rng, bool feedback)
{
    Setting s;
    s.adam = rng() % 2 == 0;
    s.decay = rng() % 2 == 0 ? 0.0 : std::uniform_real_distribution<double>(1e-4, 0.05)(rng);
    if (rng() % 3 == 0) {
        s.beta1 = std::uniform_real_distribution<double>(0.0, 0.99)(rng);
        s.beta2 = std::uniform_real_distribution<double>(0.5, 0.9999)(rng);
        s.epsilon = rng() % 2 == 0 ? 1e-8 : 1e-3;
    }
    s.rate = s.adam ? std::uniform_real_distribution<float>(0.0005f, 0.05f)(rng)
                    : std::uniform_real_distribution<float>(0.05f, 1.0f)(rng);
    s.batch = feedback || rng() % 3 == 0 ? 1 : 2 + static_cast<int>(rng() % 9);
    return s;
}

std::string setting_text(const Setting &s)
{
    return std::string(s.adam ? "adam" : "sgd") + " beta1 " + std::to_string(s.beta1) + " beta2 " +
           std::to_string(s.beta2) + " epsilon " + std::to_string(s.epsilon) + " decay " + std::to_string(s.decay) +
           " rate " + std::to_string(s.rate) + " batch " + std::to_string(s.batch);
}

void apply(bpnet::Network &net, const Setting &s, int seed)
{
    net.set_learning_rate(s.rate);
    net.set_threshold(0.00005f);
    net.initialize(seed, 0.5f);
    net.set_optimizer(s.adam ? "adam" : "sgd", s.beta1, s.beta2, s.epsilon, s.decay);
}

// ---- The reference: the update written from the rule, over a plain network's state.

struct RefOptimizer {
    Setting s;
    std::int64_t t = 0;
    double power1 = 1.0, power2 = 1.0;
    std::vector<float> m, v;  // in the blocks' order
};

// A trainable block: values, gradients, steps and count; weights take the decay; a
// coefficient block has its filter order and units.
struct RefBlock {
    int value, grad, step, count;
    bool weights;
    int order, units;
};

// Layers from the output back: thresholds, the connections into the layer in table order, the
// coefficients (a1 of every unit, then a2).
std::vector<RefBlock> ref_blocks(const bpm::Module &m)
{
    std::vector<RefBlock> v;
    for (int l = m.layer_count - 1; l >= 0; l--) {
        const bpm::LayerInfo &layer = m.layers[l];
        v.push_back({layer.thr, layer.thr_grad, layer.thr_step, layer.size, false, 0, layer.size});
        for (int c = 0; c < m.connection_count; c++)
            if (m.connections[c].layer == l)
                v.push_back({m.connections[c].weights, m.connections[c].grads, m.connections[c].steps,
                             m.connections[c].count, true, 0, layer.size});
        if (layer.feedback > 0)
            v.push_back({layer.coef, layer.coef_grad, layer.coef_step, layer.feedback * layer.size, false,
                         layer.feedback, layer.size});
    }
    return v;
}

bool unstable(const float *a1, const float *a2)
{
    return a2 == nullptr ? BPunstable_1st(*a1) != 0 : BPunstable_2nd(*a1, *a2) != 0;
}

// A coefficient's (or a pair's) step taken whole when the filter stays stable, else halved
// (rounded to float) up to 30 times, else the old coefficients moved towards 0 by 0.9999.
void guarded_step(float *a1, float *a2, double &t1, double &t2, float *p1, float *p2)
{
    float u1 = static_cast<float>(*a1 + t1), u2 = a2 != nullptr ? static_cast<float>(*a2 + t2) : 0.0f;
    int halvings = 0;
    while (unstable(&u1, a2 != nullptr ? &u2 : nullptr)) {
        t1 = static_cast<float>(t1 * 0.5);
        t2 = static_cast<float>(t2 * 0.5);
        if (++halvings == 30)
            break;
        u1 = static_cast<float>(*a1 + t1);
        u2 = a2 != nullptr ? static_cast<float>(*a2 + t2) : 0.0f;
    }
    if (halvings == 30) {
        u1 = static_cast<float>(0.9999 * *a1);
        u2 = a2 != nullptr ? static_cast<float>(0.9999 * *a2) : 0.0f;
    }
    *a1 = u1;
    *p1 = static_cast<float>(t1);
    if (a2 != nullptr) {
        *a2 = u2;
        *p2 = static_cast<float>(t2);
    }
}

// The update of every block from the gathered gradients, whose output deltas were scaled by
// `scale` over `rows` rows.
void ref_update(bpnet::NetworkState &st, RefOptimizer &o, float scale, int rows)
{
    const std::vector<RefBlock> blocks = ref_blocks(st.module);
    float *d = st.data.data();
    if (o.m.empty()) {
        o.m.assign(static_cast<std::size_t>(st.module.trainable), 0.0f);
        o.v = o.m;
    }
    if (o.s.adam) {
        o.t++;
        o.power1 *= o.s.beta1;
        o.power2 *= o.s.beta2;
    }
    std::size_t k = 0;
    for (const RefBlock &b : blocks) {
        float *g = d + b.grad, *w = d + b.value, *p = d + b.step;
        if (!o.s.adam) {
            if (b.weights)
                for (int i = 0; i < b.count; i++)
                    g[i] = static_cast<float>(g[i] - static_cast<double>(scale) * o.s.decay * w[i]);
            if (b.order == 0)
                BPupdate_weights(st.inertia, g, w, p, b.count);
            else if (b.order == 1)
                BPTupdate_1st(st.inertia, g, w, p, b.units);
            else
                BPTupdate_2nd(st.inertia, g, g + b.units, w, w + b.units, p, p + b.units, b.units);
        } else {
            std::vector<double> step(static_cast<std::size_t>(b.count));
            for (int i = 0; i < b.count; i++, k++) {
                double dd = static_cast<double>(g[i]) / static_cast<double>(scale) / rows;
                if (b.weights)
                    dd = dd - o.s.decay * static_cast<double>(w[i]) / rows;
                o.m[k] = static_cast<float>(o.s.beta1 * o.m[k] + (1.0 - o.s.beta1) * dd);
                o.v[k] = static_cast<float>(o.s.beta2 * o.v[k] + (1.0 - o.s.beta2) * dd * dd);
                step[static_cast<std::size_t>(i)] = static_cast<float>(
                    static_cast<double>(st.learning_rate) * std::sqrt(1.0 - o.power2) / (1.0 - o.power1) *
                    static_cast<double>(o.m[k]) / (std::sqrt(static_cast<double>(o.v[k])) + o.s.epsilon));
            }
            for (int i = 0; i < b.units && b.order > 0; i++) {
                double t2 = b.order == 2 ? step[static_cast<std::size_t>(b.units + i)] : 0.0;
                guarded_step(w + i, b.order == 2 ? w + b.units + i : nullptr, step[static_cast<std::size_t>(i)], t2,
                             p + i, p + b.units + i);
            }
            for (int i = 0; i < b.count && b.order == 0; i++) {
                w[i] = static_cast<float>(w[i] + step[static_cast<std::size_t>(i)]);
                p[i] = static_cast<float>(step[static_cast<std::size_t>(i)]);
            }
        }
        std::fill_n(g, b.count, 0.0f);
    }
}

// One presentation of the one-row rule: forward, traces, error, and when it exceeds the
// threshold the gradient step, the update on every third step.
void ref_presentation(bpnet::NetworkState &st, RefOptimizer &o, const float *x, const float *t)
{
    st.input = const_cast<float *>(x);
    st.target = const_cast<float *>(t);
    bpnet::propagate_forward(st);
    bpnet::advance_traces(st);
    if (!(bpnet::calc_error(st) > st.threshold))
        return;
    bpnet::calc_grad(st);
    if (static_cast<unsigned>(st.counter) % 3u == 0)
        ref_update(st, o, static_cast<float>(0.333333 * static_cast<double>(st.learning_rate)), 1);
}

// One batch of b rows by the batch rule: each row forward with the weights at the batch's start,
// its output deltas scaled by rate / b; for a learned row the one-row gradient step, whose
// products are summed here in double and whose own gradients are put back; then every gradient
// gets its sum once, and one update when a row learned.
void ref_batch(bpnet::NetworkState &st, RefOptimizer &o, int b, const float *x, const float *t, bool cross_entropy)
{
    const bpm::Module &m = st.module;
    const int outputs = m.outputs;
    const bpm::LayerInfo &out = m.layers[m.layer_count - 1];
    const std::vector<float> kept = st.data;
    std::vector<double> sums(st.data.size(), 0.0);
    const float scale = static_cast<float>(static_cast<double>(st.learning_rate) / b);
    bool any = false;
    for (int r = 0; r < b; r++) {
        st.input = const_cast<float *>(x + static_cast<std::ptrdiff_t>(r) * m.inputs);
        const float *tr = t + static_cast<std::ptrdiff_t>(r) * outputs;
        bpnet::propagate_forward(st);
        const float half = BPoutput_error(tr, &st.data[out.act], &st.data[out.delta], scale, outputs);
        if (!(bpm::presentation_error(tr, &st.data[out.act], outputs, half, cross_entropy) > st.threshold))
            continue;
        any = true;
        bpnet::calc_grad(st);
        bptest::gather_row_gradients(st, kept, sums);
    }
    bptest::add_gathered_gradients(st, sums);
    if (any)
        ref_update(st, o, scale, b);
}

void ref_learn_rows(bpnet::Network &net, RefOptimizer &o, int rows, const float *x, const float *t)
{
    bpnet::NetworkState &st = net.state();
    const int in = st.module.inputs, out = st.module.outputs;
    for (int r = 0; r < rows; r += o.s.batch) {
        const int b = std::min(o.s.batch, rows - r);
        if (o.s.batch == 1)
            ref_presentation(st, o, x + static_cast<std::ptrdiff_t>(r) * in, t + static_cast<std::ptrdiff_t>(r) * out);
        else
            ref_batch(st, o, b, x + static_cast<std::ptrdiff_t>(r) * in, t + static_cast<std::ptrdiff_t>(r) * out,
                      net.cross_entropy_outputs());
    }
}

// The moments m then v of a run-time network.
std::vector<float> moments_of(bpnet::Network &net)
{
    const float *mv = bpm::optimizer_moments(net.state().module);
    return std::vector<float>(mv, mv + 2 * static_cast<std::size_t>(net.trainable()));
}

// Every trainable value, gradient and step, and the coefficients' (what the update changes).
std::vector<float> learned_state(bpnet::Network &net)
{
    std::vector<float> v;
    const float *d = net.data();
    for (const RefBlock &b : ref_blocks(net.state().module)) {
        v.insert(v.end(), d + b.value, d + b.value + b.count);
        v.insert(v.end(), d + b.grad, d + b.grad + b.count);
        v.insert(v.end(), d + b.step, d + b.step + b.count);
    }
    return v;
}

}  // namespace

TEST(Optimizer, DrawnOptimizersAgreeWithTheReferenceAndTheModulesBitForBit)
{
    const int count = bptest::scaled(40);
    const int compiled = bptest::scaled(4);
    const std::string work = bptest::make_temp_dir();
    std::vector<std::string> names, texts;
    for (int i = 0; i < count; i++) {
        std::mt19937_64 rng(7100 + static_cast<std::uint64_t>(i));
        texts.push_back(bptest::random_description(rng, 4, 24, i % 3 == 2));
        names.push_back("opt" + std::to_string(i));
    }
    // Every other compiled module reserves the moments in its network_data.
    std::vector<std::string> module_texts = texts;
    for (std::size_t k = 1; k < module_texts.size(); k += 2)
        module_texts[k] = "optimizer = \"adam\"\n" + module_texts[k];
    const bptest::Built built = bptest::write_and_build(work, names, module_texts, static_cast<std::size_t>(compiled));
    int adam = 0, decay = 0, batches = 0, feedback = 0, adam_updates = 0;
    for (int i = 0; i < count; i++) {
        const std::size_t k = static_cast<std::size_t>(i);
        const std::uint64_t seed = 7100 + static_cast<std::uint64_t>(i);
        std::mt19937_64 rng(seed * 5);
        std::unique_ptr<bpnet::Network> net = bpnet::Network::from_text(texts[k]);
        const Setting s = draw_setting(rng, net->feedback() > 0);
        SCOPED_TRACE("seed " + std::to_string(seed) + ", " + setting_text(s) + "\n" + texts[k]);
        adam += s.adam;
        decay += s.decay != 0.0;
        batches += s.batch > 1;
        feedback += net->feedback() > 0;

        std::unique_ptr<bpnet::Network> ref = bpnet::Network::from_text(texts[k]);
        apply(*net, s, static_cast<int>(seed));
        ref->set_learning_rate(s.rate);
        ref->set_threshold(0.00005f);
        ref->initialize(static_cast<int>(seed), 0.5f);
        RefOptimizer o;
        o.s = s;

        // Rows in three calls, so that the state carries from call to call.
        const int in = net->inputs(), out = net->outputs();
        const int rows = 40 + static_cast<int>(rng() % 80);
        const std::vector<float> x = random_values(rng, static_cast<std::size_t>(3 * rows) * in, -1.5f, 1.5f);
        const std::vector<float> t = random_values(rng, static_cast<std::size_t>(3 * rows) * out, 0.0f, 1.0f);
        for (int call = 0; call < 3; call++) {
            const float *xc = x.data() + static_cast<std::ptrdiff_t>(call) * rows * in;
            const float *tc = t.data() + static_cast<std::ptrdiff_t>(call) * rows * out;
            net->learn_rows(rows, xc, tc, s.batch);
            ref_learn_rows(*ref, o, rows, xc, tc);
        }
        ASSERT_TRUE(same_bits(learned_state(*net), learned_state(*ref)));
        EXPECT_EQ(net->counter(), ref->counter());
        if (s.adam) {
            EXPECT_EQ(net->state().optimizer.t, o.t);
            std::vector<float> mv = o.m;
            mv.insert(mv.end(), o.v.begin(), o.v.end());
            if (mv.empty())
                mv.assign(2 * static_cast<std::size_t>(net->trainable()), 0.0f);
            EXPECT_TRUE(same_bits(moments_of(*net), mv));
            // (A single softmax output is always 1 and never learns.)
            adam_updates += o.t > 0;
        }

        // The description reserving the moments in the network's data learns the same bits and
        // keeps the same moments there.
        std::unique_ptr<bpnet::Network> roomy = bpnet::Network::from_text("optimizer = \"adam\"\n" + texts[k]);
        EXPECT_EQ(roomy->data_size(), net->data_size() + 2 * net->trainable());
        apply(*roomy, s, static_cast<int>(seed));
        for (int call = 0; call < 3; call++)
            roomy->learn_rows(rows, x.data() + static_cast<std::ptrdiff_t>(call) * rows * in,
                              t.data() + static_cast<std::ptrdiff_t>(call) * rows * out, s.batch);
        EXPECT_TRUE(same_bits(learned_state(*roomy), learned_state(*net)));
        EXPECT_TRUE(same_bits(moments_of(*roomy), moments_of(*net)));
        ASSERT_GE(roomy->state().module.moments, 0);
        EXPECT_EQ(bpm::optimizer_moments(roomy->state().module), roomy->data() + roomy->state().module.moments);
        const std::string a = work + "/a.save", b = work + "/b.save";
        net->save(a);
        roomy->save(b);
        EXPECT_EQ(bptest::read_file(a), bptest::read_file(b));

        // A compiled module: the run-time network's bits and save file.
        if (k < built.modules.size()) {
            ASSERT_EQ(built.status[k], 0) << bptest::read_file(built.modules[k] + ".log");
            std::unique_ptr<bpnet::Network> mod = bpnet::Network::open_module(built.modules[k]);
            apply(*mod, s, static_cast<int>(seed));
            for (int call = 0; call < 3; call++)
                mod->learn_rows(rows, x.data() + static_cast<std::ptrdiff_t>(call) * rows * in,
                                t.data() + static_cast<std::ptrdiff_t>(call) * rows * out, s.batch);
            EXPECT_TRUE(same_bits(snapshot(*mod), snapshot(k % 2 == 1 ? *roomy : *net)));
            mod->save(b);
            EXPECT_EQ(bptest::read_file(a), bptest::read_file(b));
        }
    }
    // The sample must draw every branch of the rule.
    EXPECT_GT(adam_updates, adam / 2);
    EXPECT_LT(adam, count);
    EXPECT_GT(decay, 0);
    EXPECT_GT(batches, 0);
    EXPECT_GT(feedback, 0);
    if (!::testing::Test::HasFailure())
        bptest::remove_tree(work);
}

TEST(Optimizer, SavingAndLoadingContinuesLearningBitForBit)
{
    // Learn k rows, save, load into a fresh network and learn k more: the bits of 2k at once.
    const std::string work = bptest::make_temp_dir();
    for (int i = 0; i < bptest::scaled(12); i++) {
        const std::uint64_t seed = 8200 + static_cast<std::uint64_t>(i);
        std::mt19937_64 rng(seed);
        const std::string text = bptest::random_description(rng, 4, 20, false);
        std::unique_ptr<bpnet::Network> whole = bpnet::Network::from_text(text);
        Setting s = draw_setting(rng, false);
        s.adam = i % 4 != 3;  // mostly adam, whose state the file must carry
        SCOPED_TRACE("seed " + std::to_string(seed) + ", " + setting_text(s) + "\n" + text);
        // Save files hold the values, not the momentum steps nor gradients gathered for a later
        // update: sgd continues only without inertia, and every row learns (threshold below
        // every error) so that the halves end on an update.
        const auto settle = [&](bpnet::Network &n) {
            n.set_threshold(-1.0f);
            if (!s.adam)
                n.set_inertia(0.0f);
        };
        apply(*whole, s, static_cast<int>(seed));
        settle(*whole);
        const int in = whole->inputs(), out = whole->outputs();
        // A whole number of batches (of updates, one row at a time), so that the halves end
        // where one ends.
        const int k = s.batch * 3 * (1 + static_cast<int>(rng() % 5));
        const std::vector<float> x = random_values(rng, static_cast<std::size_t>(2 * k) * in, -1.5f, 1.5f);
        const std::vector<float> t = random_values(rng, static_cast<std::size_t>(2 * k) * out, 0.0f, 1.0f);
        whole->learn_rows(2 * k, x.data(), t.data(), s.batch);

        std::unique_ptr<bpnet::Network> first = bpnet::Network::from_text(text);
        apply(*first, s, static_cast<int>(seed));
        settle(*first);
        first->learn_rows(k, x.data(), t.data(), s.batch);
        ASSERT_EQ(first->counter() % (s.batch == 1 ? 3 : 1), 0);
        const std::string file = work + "/half.save";
        first->save(file);
        // The save file of sgd has no optimizer record: the file nn writes stays as it was.
        EXPECT_EQ(bptest::read_file(file).find(":adam") != std::string::npos, s.adam);

        std::unique_ptr<bpnet::Network> second = bpnet::Network::from_text(text);
        apply(*second, s, static_cast<int>(seed) + 1);  // other weights, overwritten by the load
        settle(*second);
        second->load(file);
        // The derivative offsets' random stream is the process's, not the file's: the fresh
        // network goes on with the stream where the first one stopped.
        second->state().random = first->state().random;
        second->learn_rows(k, x.data() + static_cast<std::ptrdiff_t>(k) * in,
                           t.data() + static_cast<std::ptrdiff_t>(k) * out, s.batch);
        EXPECT_TRUE(same_bits(learned_state(*second), learned_state(*whole)));
        EXPECT_EQ(second->counter(), whole->counter());
        if (s.adam) {
            EXPECT_EQ(second->state().optimizer.t, whole->state().optimizer.t);
            EXPECT_TRUE(same_bits(moments_of(*second), moments_of(*whole)));
        }
        // A file without the record gives fresh moments.
        std::unique_ptr<bpnet::Network> plain = bpnet::Network::from_text(text);
        plain->save(file);
        second->load(file);
        EXPECT_EQ(second->state().optimizer.t, 0);
        for (const float v : moments_of(*second))
            EXPECT_EQ(v, 0.0f);
    }
    bptest::remove_tree(work);
}

TEST(Optimizer, DamagedOptimizerRecordsAreRefusedWithNothingChanged)
{
    const std::string work = bptest::make_temp_dir();
    std::mt19937_64 rng(77);
    const std::string text = bptest::random_description(rng, 3, 12, true);
    Setting s;
    s.adam = true;
    s.rate = 0.01f;
    std::unique_ptr<bpnet::Network> source = bpnet::Network::from_text(text);
    apply(*source, s, 5);
    const int in = source->inputs(), out = source->outputs();
    const std::vector<float> x = random_values(rng, static_cast<std::size_t>(30) * in, -1.0f, 1.0f);
    const std::vector<float> t = random_values(rng, static_cast<std::size_t>(30) * out, 0.0f, 1.0f);
    source->learn_rows(30, x.data(), t.data(), 1);
    const std::string file = work + "/good.save";
    source->save(file);
    const std::string good = bptest::read_file(file);
    const std::size_t record = good.find(source->name() + ":adam");
    ASSERT_NE(record, std::string::npos);

    // The network that loads: learned elsewhere, with moments of its own.
    std::unique_ptr<bpnet::Network> target = bpnet::Network::from_text(text);
    apply(*target, s, 9);
    target->learn_rows(12, x.data(), t.data(), 1);
    const std::vector<float> data = snapshot(*target), moments = moments_of(*target);
    const std::int64_t updates = target->state().optimizer.t;
    const int counter = target->counter();

    int refused = 0, loaded = 0;
    const std::string damaged = work + "/damaged.save";
    for (int trial = 0; trial < bptest::scaled(400); trial++) {
        std::string bytes = good;
        const std::size_t at = record + rng() % (good.size() - record);
        switch (trial % 4) {
        case 0: bytes.resize(at); break;                                                    // cut
        case 1: bytes[at] = static_cast<char>(bytes[at] ^ (1 << (rng() % 8))); break;       // one bit
        case 2: bytes[at] = static_cast<char>(rng()); break;                                // one byte
        default: bytes.insert(at, 1 + rng() % 5, static_cast<char>(rng())); break;          // bytes more
        }
        bptest::write_file(damaged, bytes);
        bool ok = true;
        try {
            target->load(damaged);
        } catch (const bpnet::Error &) {
            ok = false;
        }
        if (ok) {
            // Only values changed: a whole record was read. Back to the network as it was.
            loaded++;
            target->load(file);
            EXPECT_EQ(target->state().optimizer.t, source->state().optimizer.t);
            apply(*target, s, 9);
            target->set_counter(0);
            target->learn_rows(12, x.data(), t.data(), 1);
            ASSERT_TRUE(same_bits(snapshot(*target), data)) << "trial " << trial;
            continue;
        }
        refused++;
        ASSERT_TRUE(same_bits(snapshot(*target), data)) << "trial " << trial;
        ASSERT_TRUE(same_bits(moments_of(*target), moments)) << "trial " << trial;
        ASSERT_EQ(target->state().optimizer.t, updates);
        ASSERT_EQ(target->counter(), counter);
    }
    EXPECT_GT(refused, 0);
    EXPECT_GT(loaded, 0);
    bptest::remove_tree(work);
}

TEST(Optimizer, AdamRefusesARateItCannotDivideBy)
{
    std::mt19937_64 rng(3);
    const std::string text = bptest::random_description(rng, 3, 8, false);
    std::unique_ptr<bpnet::Network> net = bpnet::Network::from_text(text);
    Setting s;
    s.adam = true;
    apply(*net, s, 1);
    net->set_learning_rate(0.0f);
    const std::vector<float> before = snapshot(*net);
    std::vector<float> x(static_cast<std::size_t>(4) * net->inputs(), 0.5f), t(static_cast<std::size_t>(4) * net->outputs(), 0.5f);
    for (const int batch : {1, 2}) {
        try {
            net->learn_rows(4, x.data(), t.data(), batch);
            ADD_FAILURE() << "adam learned with a rate of 0";
        } catch (const bpnet::Error &e) {
            EXPECT_NE(std::string(e.what()).find("learning rate above 0"), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(net->learn(x.data(), t.data()), bpnet::Error);
    EXPECT_TRUE(same_bits(snapshot(*net), before));
    // Settings out of range are refused.
    EXPECT_THROW(net->set_optimizer("adam", 1.0), bpnet::Error);
    EXPECT_THROW(net->set_optimizer("adam", 0.9, -0.1), bpnet::Error);
    EXPECT_THROW(net->set_optimizer("adam", 0.9, 0.999, 0.0), bpnet::Error);
    EXPECT_THROW(net->set_optimizer("sgd", 0.9, 0.999, 1e-8, -1.0), bpnet::Error);
    EXPECT_THROW(net->set_optimizer("rmsprop"), bpnet::Error);
}

#ifdef BPNET_TEST_MODULES
TEST(Optimizer, AModuleWithoutTheEntryLearnsBySgdWithoutDecayOnly)
{
    // The stand-in module (made like a module of an older generator) aborts when any entry
    // point but its query and start-up is called: the refusal calls nothing of it.
    std::unique_ptr<bpnet::Network> old = bpnet::Network::open_module(std::string(BPNET_TEST_MODULES) + "/fake_module.so");
    EXPECT_NO_THROW(old->set_optimizer("sgd"));
    for (const auto &[kind, decay] : {std::pair<std::string, double>{"adam", 0.0}, {"sgd", 0.01}}) {
        try {
            old->set_optimizer(kind, 0.9, 0.999, 1e-8, decay);
            ADD_FAILURE() << kind << " with decay " << decay << " was taken by a module without the entry";
        } catch (const bpnet::Error &e) {
            EXPECT_NE(std::string(e.what()).find("learns by sgd without decay only"), std::string::npos) << e.what();
        }
    }
}
#endif
