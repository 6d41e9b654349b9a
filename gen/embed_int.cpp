// The integer form of the embedded network (bpnet-gen --embed --integer 16|8): weights,
// thresholds and activations fixed point, sums in integers whose width the generator proves
// sufficient, the unit functions from integer tables. The generated C names no floating-point
// type, so that a processor without a floating-point unit runs it without any floating-point
// helper of its compiler.
//
// Scales. An integer q of a value with f fraction bits stands for q / 2^f. Inputs: f from
// --in-frac-bits, from the largest |input| of --inputs, or f = bits - 1 (inputs in [-1, 1]).
// Weights: per connection, the largest f at which its largest |weight| still fits the value
// type. Activations: per layer, the unit kind's range for the table kinds and softmax
// (logistic and tanh in [-1, 1]: bits - 1; centred in [-0.5, 0.5]: bits), the largest
// |activation| the module gave on the calibration inputs for linear, quadratic and relu;
// beyond it they saturate. Net inputs: per layer, the finest scale of its connections'
// products, coarsened only where the proven bound would not fit a 32-bit word.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "bpnet_version.h"
#include "gen/embed.h"
#include "gen/emit.h"

namespace bpgen {

namespace {

// 2^e as a double, e of either sign.
double power2(int e)
{
    return std::ldexp(1.0, e);
}

// x at f fraction bits, rounded to nearest (halves away from zero).
std::int64_t quantize(double x, int f)
{
    return static_cast<std::int64_t>(std::llround(std::ldexp(x, f)));
}

std::int64_t saturate(std::int64_t q, const IntegerPlan &p)
{
    return std::clamp(q, p.qmin, p.qmax);
}

// The fraction bits of a unit kind's activations whose range the kind fixes; -1000 for the
// kinds scaled from the calibration.
int kind_frac(Unit u, int bits)
{
    switch (u) {
    case Unit::logistic:
    case Unit::tanh:
    case Unit::softmax: return bits - 1;
    case Unit::centred: return bits;
    default: return EmbedOptions::kNoFracBits;
    }
}

// A sum of products is kept below this, its products shifted as they are added where needed.
constexpr std::int64_t kIntegerPreLimit = std::int64_t{1} << 30;

// The fraction bits of the net inputs of the table kinds are at most this, so that 8 at them
// (the table's saturation point) fits a 32-bit word.
constexpr int kTableNetFrac = 27;

// The bound of one layer's net input plus threshold at net_frac f; sets the shifts of the
// connections into it.
std::int64_t net_bound_at(const std::vector<Connection> &conns, IntegerPlan &p, int li, int f)
{
    std::int64_t bound = 0;
    for (std::size_t k = 0; k < conns.size(); k++) {
        if (conns[k].layer != li)
            continue;
        IntegerConnection &c = p.connections[k];
        const int src_frac = conns[k].source == kInputsSource ? p.in_frac
                                                              : p.layers[static_cast<std::size_t>(conns[k].source)].act_frac;
        c.shift = src_frac + c.weight_frac - f;
        // One part: |sum| >> (shift - pre), plus one for the rounding.
        bound += c.parts * ((c.acc_bound >> std::min(c.shift - c.pre, 62)) + 1);
    }
    std::int64_t largest_threshold = 0;
    for (const std::int64_t t : p.layers[static_cast<std::size_t>(li)].thresholds)
        largest_threshold = std::max(largest_threshold, t < 0 ? -t : t);
    return bound + largest_threshold;
}

}  // namespace

int default_in_frac(int bits)
{
    return bits - 1;
}

int frac_bits_for(double largest, int bits)
{
    const double qmax = power2(bits - 1) - 1.0;
    if (!(largest > 0.0))
        return bits - 1;
    int f = 30;
    while (f > -30 && std::round(std::ldexp(largest, f)) > qmax)
        f--;
    return f;
}

bool integer_supported(const Model &m, std::string &error)
{
    for (const Layer &l : m.layers)
        if (l.feedback > 0) {
            error = "the integer forms take no layer with feedback, and " + l.name + " has feedback of order " +
                    std::to_string(l.feedback);
            return false;
        }
    return true;
}

double integer_tolerance(int bits)
{
    return bits == 16 ? 1.0 / 32 : 1.0 / 4;
}

bool integer_plan(const Model &m, const EmbedValues &v, int bits, int in_frac, IntegerPlan &p, std::string &error)
{
    if (!integer_supported(m, error))
        return false;
    const std::vector<Connection> conns = connections(m);
    p = IntegerPlan{};
    p.bits = bits;
    p.qmax = (std::int64_t{1} << (bits - 1)) - 1;
    p.qmin = -p.qmax - 1;
    p.in_frac = in_frac;
    p.layers.assign(m.layers.size(), {});
    p.connections.assign(conns.size(), {});
    p.tables.assign(kUnitKindCount, {});

    // Step 1: the tables of the table kinds, at their kinds' scales: the module's own values.
    for (const UnitKind &kind : kUnitKinds) {
        if (!kind.table)
            continue;
        const int f = kind_frac(kind.unit, bits);
        const double bias = std::strtod(kind.table_bias, nullptr), scale = std::strtod(kind.table_scale, nullptr);
        std::vector<std::int64_t> &t = p.tables[static_cast<std::size_t>(kind.unit)];
        for (const float s : v.sigmoid)
            t.push_back(saturate(quantize(static_cast<float>(bias + scale * static_cast<double>(s)), f), p));
        for (const float s : v.saturation[static_cast<std::size_t>(kind.unit)])
            t.push_back(saturate(quantize(s, f), p));
    }

    // Step 2: per layer in forward order, the activations' scale, the weights' scales, the net
    // inputs' scale and the bounds.
    for (std::size_t li = 0; li < m.layers.size(); li++) {
        const Layer &l = m.layers[li];
        IntegerLayer &L = p.layers[li];
        const UnitKind &kind = unit_kind(l.unit);
        L.act_frac = kind_frac(l.unit, bits);
        if (L.act_frac == EmbedOptions::kNoFracBits)
            L.act_frac = frac_bits_for(li < v.largest_activation.size() ? v.largest_activation[li] : 0.0, bits);
        L.act_max = p.qmax + 1;
        if (kind.table) {
            L.act_max = 0;
            for (const std::int64_t q : p.tables[static_cast<std::size_t>(l.unit)])
                L.act_max = std::max(L.act_max, q < 0 ? -q : q);
        } else if (l.unit == Unit::relu || l.unit == Unit::softmax || l.unit == Unit::quadratic) {
            L.act_max = p.qmax;  // never negative
        }

        // The connections into the layer: their weights' scales, and the finest scale of their
        // products.
        int finest = kTableNetFrac + 40;
        bool any = false;
        for (std::size_t k = 0; k < conns.size(); k++) {
            if (conns[k].layer != static_cast<int>(li))
                continue;
            any = true;
            IntegerConnection &c = p.connections[k];
            double largest = 0.0;
            for (const float w : v.weights[k])
                largest = std::max(largest, std::fabs(static_cast<double>(w)));
            c.weight_frac = frac_bits_for(largest, bits);
            if (std::round(std::ldexp(largest, c.weight_frac)) > static_cast<double>(p.qmax)) {
                error = "a weight of " + conns[k].array + " (" + std::to_string(largest) + ") is too large for the " +
                        std::to_string(bits) + "-bit form";
                return false;
            }
            c.weights.clear();
            c.largest_weight = 0;
            for (const float w : v.weights[k]) {
                c.weights.push_back(saturate(quantize(w, c.weight_frac), p));
                c.largest_weight = std::max(c.largest_weight, c.weights.back() < 0 ? -c.weights.back() : c.weights.back());
            }
            const Link &f = conns[k].link;
            c.fan_in = f.kind == Kind::full ? conns[k].source_size : f.field_x;
            c.parts = f.kind == Kind::field2d ? f.field_y : 1;
            const std::int64_t src_max =
                conns[k].source == kInputsSource ? p.qmax + 1 : p.layers[static_cast<std::size_t>(conns[k].source)].act_max;
            c.sum_bound = c.largest_weight * src_max * c.fan_in;
            // Products shifted as they are added, by the fewest bits that keep the sum within
            // 2^30 (each floor loses less than one, so fan_in more): 32-bit sums, the net
            // inputs at most that much coarser.
            c.pre = 0;
            c.acc_bound = c.sum_bound;
            while (c.acc_bound >= kIntegerPreLimit && c.pre < 30) {
                c.pre++;
                c.acc_bound = (c.sum_bound >> c.pre) + c.fan_in;
            }
            const int src_frac = conns[k].source == kInputsSource
                                     ? p.in_frac
                                     : p.layers[static_cast<std::size_t>(conns[k].source)].act_frac;
            finest = std::min(finest, src_frac + c.weight_frac - c.pre);
        }
        if (!any)
            finest = L.act_frac;
        if (kind.table || l.unit == Unit::softmax)
            finest = std::min(finest, kTableNetFrac);
        finest = std::min(finest, 30);

        // The net inputs' scale: the finest, coarser while the bound does not fit a word.
        for (int f = finest;; f--) {
            L.net_frac = f;
            L.thresholds.clear();
            bool fits = true;
            for (const float t : v.thresholds[li]) {
                const double q = std::ldexp(static_cast<double>(t), f);
                fits = fits && std::fabs(q) < power2(31);
                L.thresholds.push_back(fits ? quantize(t, f) : 0);
            }
            if (fits) {
                L.net_bound = net_bound_at(conns, p, static_cast<int>(li), f);
                if (L.net_bound <= kIntegerNetLimit)
                    break;
            }
            if (f <= -40) {
                error = "the net inputs of " + l.name + " do not fit 32 bits at any scale";
                return false;
            }
        }
        for (std::size_t k = 0; k < conns.size(); k++)
            if (conns[k].layer == static_cast<int>(li) &&
                p.connections[k].acc_bound + (std::int64_t{1} << std::min(p.connections[k].shift - p.connections[k].pre, 40)) >
                    kIntegerSumLimit)
                p.wide = true;
    }
    for (std::size_t k = 0; k < conns.size(); k++)
        if (p.connections[k].shift > 62) {
            error = "the scales of " + conns[k].array + " and of the net inputs it feeds are too far apart";
            return false;
        }
    p.out_frac = p.layers.back().act_frac;
    return true;
}

std::int64_t integer_work(const Model &m)
{
    std::int64_t w = m.inputs;
    for (const Layer &l : m.layers)
        w += l.units;
    return w;
}

std::int64_t integer_const_bytes(const Model &m, const IntegerPlan &p)
{
    std::int64_t bytes = 0;
    for (const IntegerConnection &c : p.connections)
        bytes += static_cast<std::int64_t>(c.weights.size()) * (p.bits / 8);
    for (const IntegerLayer &l : p.layers)
        bytes += 4 * static_cast<std::int64_t>(l.thresholds.size());
    for (const UnitKind &kind : kUnitKinds) {
        bool used = false;
        for (const Layer &l : m.layers)
            used = used || l.unit == kind.unit;
        if (used && kind.table)
            bytes += 1024 * (p.bits / 8);
        if (used && kind.unit == Unit::softmax)
            bytes += 257 * 4;
    }
    return bytes;
}

namespace {

// The elements of a C array initializer, eight to a line.
template <typename F>
void put_values(std::ostringstream &o, std::size_t n, const F &element, const char *indent)
{
    for (std::size_t i = 0; i < n; i++) {
        o << (i % 8 == 0 ? indent : " ") << element(i) << (i + 1 < n ? "," : "");
        if (i % 8 == 7 || i + 1 == n)
            o << "\n";
    }
}

// An integer as a C constant of its type: the smallest negative 32-bit one as an expression.
std::string int_literal(std::int64_t q)
{
    if (q == INT32_MIN)
        return "(-2147483647 - 1)";
    return std::to_string(q);
}

std::string value_type(const IntegerPlan &p)
{
    return p.bits == 16 ? "int16_t" : "int8_t";
}

std::string banner(const Model &m, const char *what)
{
    return "/* Generated by bpnet-gen " BPNET_VERSION " from " + m.description_file +
           ". Do not edit: change the description and generate again.\n * " + what + " */\n";
}

bool uses_unit(const Model &m, Unit u)
{
    for (const Layer &l : m.layers)
        if (l.unit == u)
            return true;
    return false;
}

bool uses_kind(const Model &m, Kind kind)
{
    for (const Layer &l : m.layers)
        for (const Link &k : l.links)
            if (k.kind == kind)
                return true;
    return false;
}

// The helpers of the integer forward pass, each only where the network uses it. Right shifts
// of negative values are arithmetic on every compiler this targets (GCC and Clang define it).
const char *const kShiftHelper = R"(
/* A sum at `sh` more fraction bits than the net inputs, rounded to them (halves up). */
static embed_acc embed_shift(embed_acc s, int sh)
{
    return sh > 0 ? (embed_acc)((s + ((embed_acc)1 << (sh - 1))) >> sh) : s;
}
)";

const char *const kRescaleHelper = R"(
/* A value at `sh` more fraction bits than the activations (fewer: sh < 0), rounded and
 * saturated to the value type. */
static embed_word embed_rescale(int64_t v, int sh)
{
    if (sh > 62)
        return 0;
    if (sh > 0)
        v = (v + ((int64_t)1 << (sh - 1))) >> sh;
    else if (sh < 0) {
        if (v > EMBED_MAX || v < EMBED_MIN)
            return v > 0 ? EMBED_MAX : EMBED_MIN;
        v = v * ((int64_t)1 << (-sh < 31 ? -sh : 31));
    }
    return v > EMBED_MAX ? EMBED_MAX : v < EMBED_MIN ? EMBED_MIN : (embed_word)v;
}
)";

const char *const kRowsHelper = R"(
/* Rows of dot products: unit i sets its net input d[i] (add = 0) or adds to it the sum of
 * W[i*wstep + k] * x[i*xstep + k] over k = 0..n-1, each product shifted right by pre bits, the
 * sum by sh - pre more to the net inputs' scale. */
static void dot_rows(const embed_weight *W, const embed_word *x, embed_word *d, int n, int m, int wstep,
                     int xstep, int pre, int sh, int add)
{
    int i, k;
    for (i = 0; i < m; i++, W += wstep, x += xstep) {
        embed_acc s = 0;
        for (k = 0; k < n; k++)
            s += ((embed_acc)W[k] * x[k]) >> pre;
        d[i] = (add ? d[i] : 0) + (embed_word)embed_shift(s, sh - pre);
    }
}
)";

const char *const kFieldsHelper = R"(
/* Two-dimensional fields: U x R units, each reading a KW x KH field of the source grid (rows S
 * apart; neighbouring fields share ov columns, and B/S rows). Each kernel row's sum (its
 * products shifted right by pre bits) is shifted to the net inputs' scale and added to the unit's net input; the first row of the first
 * connection (add = 0) sets it. The weights of unit (u, r), row
 * j, are at W + r*rstep + j*jstep + u*ustep. */
static void dot_fields(const embed_weight *W, const embed_word *x, embed_word *d, int U, int R, int KW, int KH,
                       int ov, long rstep, long jstep, long ustep, long S, long B, int pre, int sh, int add)
{
    int r, j, u, k;
    for (r = 0; r < R; r++)
        for (j = 0; j < KH; j++) {
            const embed_weight *wrow = W + r * rstep + j * jstep;
            const embed_word *xrow = x + r * (KH * S - B) + j * S;
            for (u = 0; u < U; u++) {
                const embed_weight *wk = wrow + u * ustep;
                const embed_word *xk = xrow + (long)u * (KW - ov);
                embed_acc p = 0;
                for (k = 0; k < KW; k++)
                    p += ((embed_acc)wk[k] * xk[k]) >> pre;
                embed_word *const t = d + (long)r * U + u;
                *t = (add || j > 0 ? *t : 0) + (embed_word)embed_shift(p, sh - pre);
            }
        }
}
)";

const char *const kTableHelper = R"(
/* Table units: the thresholds added; a net input v (s + 6 fraction bits) below 8 in size (below
 * limit) reads entry 511 + trunc(64v + 1/2) of the kind's table, as the library does; at and
 * beyond 8 the saturated values table[1024] (high) and table[1025] (low). */
static void table_units(embed_word *a, const int32_t *t, int n, const embed_value *table, int s,
                        embed_word limit)
{
    int i;
    for (i = 0; i < n; i++) {
        const embed_word v = a[i] + t[i];
        embed_word at;
        if (v >= limit || v <= -limit) {
            a[i] = v > 0 ? table[1024] : table[1025];
            continue;
        }
        if (s > 0) {
            const embed_word y = v + ((embed_word)1 << (s - 1));
            at = y >= 0 ? y >> s : -((-y) >> s);
        } else {
            const embed_word y = v * ((embed_word)1 << -s);
            at = y >= 0 ? y : y + 1;
        }
        a[i] = table[at + 511];
    }
}
)";

const char *const kLinearHelper = R"(
/* Linear units: the thresholds added, rescaled by sh bits and saturated. */
static void linear_units(embed_word *a, const int32_t *t, int n, int sh)
{
    int i;
    for (i = 0; i < n; i++)
        a[i] = embed_rescale((int64_t)a[i] + t[i], sh);
}
)";

const char *const kReluHelper = R"(
/* Rectified linear units: the thresholds added, 0 at and below 0, rescaled by sh bits and
 * saturated. */
static void relu_units(embed_word *a, const int32_t *t, int n, int sh)
{
    int i;
    for (i = 0; i < n; i++) {
        const int64_t v = (int64_t)a[i] + t[i];
        a[i] = v <= 0 ? 0 : embed_rescale(v, sh);
    }
}
)";

const char *const kQuadraticHelper = R"(
/* Quadratic units: the thresholds added, then the square (twice the fraction bits, 64 bits),
 * rescaled by sh bits and saturated. */
static void quadratic_units(embed_word *a, const int32_t *t, int n, int sh)
{
    int i;
    for (i = 0; i < n; i++) {
        const int64_t v = (int64_t)a[i] + t[i];
        a[i] = embed_rescale(v * v, sh);
    }
}
)";

const char *const kSoftmaxHelper = R"(
/* 2^(-j/256) for j = 0..256, at 30 fraction bits. */
static const uint32_t embed_exp2[257] = {
EXP2_TABLE};

/* e^-x for x >= 0 at `f` fraction bits, at 30 fraction bits: x log2(e) at 28 fraction bits
 * (x first at 12), its whole part a shift, its fraction from the table between neighbouring
 * entries; 0 from x = 40 on. */
static uint32_t embed_exp_neg(int64_t x, int f)
{
    int64_t y;
    uint32_t hi, lo;
    int k, j, r;
    if (f > 12)
        x = (x + ((int64_t)1 << (f - 13))) >> (f - 12);
    else if (f < 12) {
        if (x > (((int64_t)40 << 12) >> (12 - f)))
            return 0;
        x = x * ((int64_t)1 << (12 - f));
    }
    if (x >= (int64_t)40 << 12)
        return 0;
    y = x * 94548; /* log2(e) at 16 fraction bits */
    k = (int)(y >> 28);
    j = (int)((y >> 20) & 255);
    r = (int)((y >> 12) & 255);
    hi = embed_exp2[j];
    lo = embed_exp2[j + 1];
    hi = hi - (((hi - lo) * (uint32_t)r) >> 8);
    return k >= 31 ? 0 : hi >> k;
}

/* Softmax units: the thresholds added, then e^(v - largest v) of each unit from the table
 * above, divided by their sum, at f fraction bits of the net inputs and fa of the outputs
 * (rounded, saturated at the value type's largest). */
static void softmax_units(embed_word *a, const int32_t *t, int n, int f, int fa)
{
    int64_t sum = 0;
    embed_word m;
    int i;
    for (i = 0; i < n; i++)
        a[i] += t[i];
    if (n <= 0)
        return;
    m = a[0];
    for (i = 1; i < n; i++)
        if (a[i] > m)
            m = a[i];
    for (i = 0; i < n; i++) {
        a[i] = (embed_word)embed_exp_neg((int64_t)m - a[i], f);
        sum += a[i];
    }
    for (i = 0; i < n; i++) {
        const int64_t q = ((int64_t)a[i] * ((int64_t)1 << fa) + sum / 2) / sum;
        a[i] = q > EMBED_MAX ? EMBED_MAX : (embed_word)q;
    }
}
)";

// The 2^(-j/256) table at 30 fraction bits.
std::string exp2_table()
{
    std::ostringstream o;
    put_values(o, 257, [](std::size_t j) { return std::to_string(std::llround(std::ldexp(std::exp2(-static_cast<double>(j) / 256.0), 30))) + "u"; }, "    ");
    return o.str();
}

// Where each layer's activations (and, for the output layer, its net inputs) live in the
// working storage: the inputs first, then the layers in forward order.
std::vector<std::int64_t> int_offsets(const Model &m)
{
    std::vector<std::int64_t> at;
    std::int64_t next = m.inputs;
    for (const Layer &l : m.layers) {
        at.push_back(next);
        next += l.units;
    }
    return at;
}

}  // namespace

std::string integer_header(const Model &m, const IntegerPlan &p)
{
    const std::string n = m.network, u = upper_name(m.network);
    std::ostringstream o;
    o << banner(m, ("The network " + n + " as freestanding C in " + std::to_string(p.bits) +
                    "-bit integers: forward pass only, values baked in.").c_str());
    o << "#ifndef " << u << "_EMBED_H\n#define " << u << "_EMBED_H\n";
    o << "#include <stdint.h>\n";
    o << "#ifdef __cplusplus\nextern \"C\" {\n#endif\n\n";
    o << "/* Values of the input and output vectors. */\n";
    o << "#define " << u << "_EMBED_INPUTS " << m.inputs << "\n";
    o << "#define " << u << "_EMBED_OUTPUTS " << m.layers.back().units << "\n";
    o << "/* Words of working storage that the caller owns and passes to every call. */\n";
    o << "#define " << u << "_EMBED_WORK " << integer_work(m) << "\n";
    o << "/* The width of the integer form: every value is an integer q standing for q / 2^bits\n"
         " * with the fraction bits below; an input beyond the type's range is the caller's to\n"
         " * saturate to it, the outputs saturate. */\n";
    o << "#define " << u << "_EMBED_INTEGER " << p.bits << "\n";
    o << "#define " << u << "_EMBED_IN_FRAC_BITS " << p.in_frac << "\n";
    o << "#define " << u << "_EMBED_OUT_FRAC_BITS " << p.out_frac << "\n\n";
    o << "/* An input or output value, and a word of working storage. */\n";
    o << "typedef " << value_type(p) << " " << n << "_embed_value;\n";
    o << "typedef int32_t " << n << "_embed_word;\n\n";
    o << "/* Zero the working storage: before the first forward pass. */\n";
    o << "void " << n << "_embed_clear(" << n << "_embed_word *work);\n";
    o << "/* One forward pass: in[" << u << "_EMBED_INPUTS] to out[" << u
      << "_EMBED_OUTPUTS]. Reentrant: all state is in work;\n * out must not overlap in or work. */\n";
    o << "void " << n << "_embed_forward(" << n << "_embed_word *work, const " << n << "_embed_value *in, " << n
      << "_embed_value *out);\n\n";
    o << "#ifdef __cplusplus\n}\n#endif\n#endif\n";
    return o.str();
}

std::string integer_source(const Model &m, const IntegerPlan &p)
{
    const std::string n = m.network, u = upper_name(m.network);
    const std::vector<Connection> conns = connections(m);
    const std::vector<std::int64_t> at = int_offsets(m);
    const std::string vt = value_type(p);
    std::ostringstream o;
    o << banner(m, (std::to_string(p.bits) + "-bit integer forward pass: fixed-point values, sums proven not to "
                                               "overflow (see the manual page).")
                       .c_str());
    o << "#include \"" << n << "_embed.h\"\n\n";
    o << "typedef " << n << "_embed_word embed_word;\n";
    o << "typedef " << n << "_embed_value embed_value;\n";
    o << "typedef " << vt << " embed_weight;\n";
    o << "/* The sums of the dot products: " << (p.wide ? "64" : "32")
      << " bits hold every one of this network's (largest |weight| x largest |activation| x fan-in, each\n"
         " * connection's products shifted as its comment says). */\n";
    o << "typedef " << (p.wide ? "int64_t" : "int32_t") << " embed_acc;\n";
    o << "#define EMBED_MAX " << p.qmax << "\n#define EMBED_MIN (" << p.qmin + 1 << " - 1)\n\n";

    // The tables of the table kinds the network has.
    for (const UnitKind &kind : kUnitKinds) {
        if (!kind.table || !uses_unit(m, kind.unit))
            continue;
        const std::vector<std::int64_t> &t = p.tables[static_cast<std::size_t>(kind.unit)];
        o << "/* " << kind.name << " units at " << kind_frac(kind.unit, p.bits)
          << " fraction bits: entry i for the net inputs v with 511 + trunc(64v + 1/2) = i, then the values at 8 and\n"
             " * -8. */\n";
        o << "static const " << vt << " table_" << kind.name << "[1026] = {\n";
        put_values(o, t.size(), [&t](std::size_t i) { return int_literal(t[i]); }, "    ");
        o << "};\n\n";
    }
    for (std::size_t li = 0; li < m.layers.size(); li++) {
        const Layer &l = m.layers[li];
        const IntegerLayer &L = p.layers[li];
        o << "/* Thresholds of " << l.name << ": " << l.units << " " << unit_name(l.unit) << " units, at " << L.net_frac
          << " fraction bits; activations at " << L.act_frac << ". */\n";
        o << "static const int32_t t" << li << "[" << l.units << "] = {\n";
        put_values(o, L.thresholds.size(), [&L](std::size_t i) { return int_literal(L.thresholds[i]); }, "    ");
        o << "};\n";
    }
    for (std::size_t k = 0; k < conns.size(); k++) {
        const IntegerConnection &c = p.connections[k];
        o << "/* Weights of " << m.layers[static_cast<std::size_t>(conns[k].layer)].name << " <- "
          << (conns[k].source == kInputsSource ? "$INPUTS" : m.layers[static_cast<std::size_t>(conns[k].source)].name)
          << " at " << c.weight_frac << " fraction bits; |sum of products| <= " << c.sum_bound << " ("
          << c.largest_weight << " x "
          << (conns[k].source == kInputsSource ? p.qmax + 1 : p.layers[static_cast<std::size_t>(conns[k].source)].act_max)
          << " x " << c.fan_in << "), each product shifted by " << c.pre << ": |sum| <= " << c.acc_bound << ". */\n";
        o << "static const embed_weight w" << conns[k].number << "[" << c.weights.size() << "] = {\n";
        put_values(o, c.weights.size(), [&c](std::size_t i) { return int_literal(c.weights[i]); }, "    ");
        o << "};\n";
    }

    // The helpers the network uses.
    const bool rescale = uses_unit(m, Unit::linear) || uses_unit(m, Unit::relu) || uses_unit(m, Unit::quadratic);
    if (!conns.empty())
        o << kShiftHelper;
    if (rescale)
        o << kRescaleHelper;
    if (uses_kind(m, Kind::full) || uses_kind(m, Kind::field1d))
        o << kRowsHelper;
    if (uses_kind(m, Kind::field2d))
        o << kFieldsHelper;
    if (uses_unit(m, Unit::logistic) || uses_unit(m, Unit::centred) || uses_unit(m, Unit::tanh))
        o << kTableHelper;
    if (uses_unit(m, Unit::linear))
        o << kLinearHelper;
    if (uses_unit(m, Unit::relu))
        o << kReluHelper;
    if (uses_unit(m, Unit::quadratic))
        o << kQuadraticHelper;
    if (uses_unit(m, Unit::softmax)) {
        std::string text = kSoftmaxHelper;
        text.replace(text.find("EXP2_TABLE"), 10, exp2_table());
        o << text;
    }

    o << "\nvoid " << n << "_embed_clear(embed_word *work)\n{\n";
    o << "    /* Stored through volatile, so that no compiler makes the loop a call to memset. */\n";
    o << "    volatile embed_word *w = work;\n    int i;\n";
    o << "    for (i = 0; i < " << u << "_EMBED_WORK; i++)\n        w[i] = 0;\n}\n";

    o << "\nvoid " << n << "_embed_forward(embed_word *work, const embed_value *in, embed_value *out)\n{\n";
    o << "    embed_word *const x = work; /* the inputs */\n";
    for (std::size_t li = 0; li < m.layers.size(); li++)
        o << "    embed_word *const a" << li << " = work + " << at[li] << "; /* " << m.layers[li].name << " */\n";
    o << "    int i;\n";
    o << "    for (i = 0; i < " << u << "_EMBED_INPUTS; i++)\n        x[i] = in[i];\n";
    for (std::size_t li = 0; li < m.layers.size(); li++) {
        const Layer &l = m.layers[li];
        const IntegerLayer &L = p.layers[li];
        o << "\n    /* " << l.name << ": net inputs at " << L.net_frac << " fraction bits, |net + threshold| <= "
          << L.net_bound << ". */\n";
        bool first = true;
        for (std::size_t k = 0; k < conns.size(); k++) {
            if (conns[k].layer != static_cast<int>(li))
                continue;
            const Connection &c = conns[k];
            const IntegerConnection &C = p.connections[k];
            std::ostringstream ws;
            ws << "w" << c.number << ", ";
            if (c.source == kInputsSource)
                ws << "x";
            else
                ws << "a" << c.source;
            ws << ", a" << li;
            const std::string w = ws.str();
            const Link &f = c.link;
            const int add = first ? 0 : 1;  // the first connection sets the net inputs
            first = false;
            o << "    ";
            if (f.kind == Kind::full) {
                o << "dot_rows(" << w << ", " << c.source_size << ", " << l.units << ", " << c.source_size << ", 0, "
                  << C.pre << ", " << C.shift << ", " << add << ");\n";
            } else if (f.kind == Kind::field1d) {
                o << "dot_rows(" << w << ", " << f.field_x << ", " << l.units << ", " << (f.shared ? 0 : f.field_x)
                  << ", " << f.field_x - f.overlap << ", " << C.pre << ", " << C.shift << ", " << add << ");\n";
            } else {
                const std::int64_t rstep = f.shared ? 0 : static_cast<std::int64_t>(f.field_y) * c.ws;
                const std::int64_t jstep = f.shared ? f.field_x : c.ws;
                const std::int64_t ustep = f.shared ? 0 : f.field_x;
                o << "dot_fields(" << w << ", " << c.across << ", " << c.down << ", " << f.field_x << ", "
                  << f.field_y << ", " << f.overlap << ", " << rstep << ", " << jstep << ", " << ustep << ", " << c.s
                  << ", " << c.b << ", " << C.pre << ", " << C.shift << ", " << add << ");\n";
            }
        }
        const std::string call = "(a" + std::to_string(li) + ", t" + std::to_string(li) + ", " + std::to_string(l.units);
        switch (l.unit) {
        case Unit::logistic:
        case Unit::centred:
        case Unit::tanh:
            // Below -3 fraction bits only a net input of 0 is under 8, and any shift of it is 0.
            o << "    table_units" << call << ", table_" << unit_name(l.unit) << ", " << std::max(L.net_frac - 6, -9)
              << ", " << (L.net_frac >= -3 ? std::int64_t{8} << L.net_frac : 1) << ");\n";
            break;
        case Unit::linear: o << "    linear_units" << call << ", " << L.net_frac - L.act_frac << ");\n"; break;
        case Unit::relu: o << "    relu_units" << call << ", " << L.net_frac - L.act_frac << ");\n"; break;
        case Unit::quadratic:
            o << "    quadratic_units" << call << ", " << 2 * L.net_frac - L.act_frac << ");\n";
            break;
        case Unit::softmax:
            o << "    softmax_units" << call << ", " << L.net_frac << ", " << L.act_frac << ");\n";
            break;
        }
    }
    const std::size_t last = m.layers.size() - 1;
    o << "\n    /* The outputs, within the value type's range. */\n";
    o << "    for (i = 0; i < " << u << "_EMBED_OUTPUTS; i++)\n        out[i] = (embed_value)a" << last << "[i];\n";
    o << "}\n";
    return o.str();
}

std::string integer_test(const Model &m, const IntegerPlan &p, const EmbedValues &v)
{
    const std::string n = m.network, u = upper_name(m.network);
    const std::size_t inputs = static_cast<std::size_t>(m.inputs);
    const std::size_t outputs = static_cast<std::size_t>(m.layers.back().units);
    const std::size_t tests = inputs ? v.test_inputs.size() / inputs : 0;
    // The expected outputs as 64-bit integers at `exp_frac` fraction bits.
    double largest = 1.0;
    for (const float y : v.test_outputs)
        largest = std::max(largest, std::fabs(static_cast<double>(y)));
    int exp_frac = 32;
    while (exp_frac > 0 && std::ldexp(largest, exp_frac) >= power2(60))
        exp_frac--;
    const std::int64_t tolerance = quantize(integer_tolerance(p.bits) * largest, exp_frac);
    std::ostringstream o;
    o << banner(m, "Test: the integer forward pass against the network module's outputs, within a tolerance.");
    o << "#include <stdint.h>\n#include <stdio.h>\n\n";
    o << "#include \"" << n << "_embed.h\"\n\n";
    o << "#define TESTS " << tests << "\n";
    o << "/* The expected outputs' fraction bits, and the largest deviation that passes at them: "
      << integer_tolerance(p.bits) << " x max(1, largest |output|). */\n";
    o << "#define EXPECTED_FRAC_BITS " << exp_frac << "\n";
    o << "#ifndef " << u << "_EMBED_TOLERANCE\n#define " << u << "_EMBED_TOLERANCE " << tolerance << "\n#endif\n\n";
    o << "/* The test inputs, at " << u << "_EMBED_IN_FRAC_BITS. */\n";
    o << "static const " << n << "_embed_value inputs[TESTS][" << u << "_EMBED_INPUTS] = {\n";
    for (std::size_t t = 0; t < tests; t++) {
        o << "    {\n";
        put_values(o, inputs, [&](std::size_t i) { return int_literal(quantize(v.test_inputs[t * inputs + i], p.in_frac)); },
                   "        ");
        o << "    }" << (t + 1 < tests ? "," : "") << "\n";
    }
    o << "};\n\n";
    o << "/* The network module's outputs for them, at EXPECTED_FRAC_BITS. */\n";
    o << "static const int64_t expected[TESTS][" << u << "_EMBED_OUTPUTS] = {\n";
    for (std::size_t t = 0; t < tests; t++) {
        o << "    {\n";
        put_values(o, outputs,
                   [&](std::size_t i) { return std::to_string(quantize(v.test_outputs[t * outputs + i], exp_frac)) + "LL"; },
                   "        ");
        o << "    }" << (t + 1 < tests ? "," : "") << "\n";
    }
    o << "};\n\n";
    o << R"(/* An output at EXPECTED_FRAC_BITS. */
static int64_t widened(int32_t q)
{
    const int s = EXPECTED_FRAC_BITS - OUT_FRAC_BITS;
    return s >= 0 ? (int64_t)q * ((int64_t)1 << (s >= 0 ? s : 0)) : (int64_t)q / ((int64_t)1 << (s < 0 ? -s : 0));
}

/* A number as text: v / 2^EXPECTED_FRAC_BITS with six decimals, or v itself when whole. */
static void put_number(int64_t v, int fraction)
{
    char text[48];
    int at = 47, digits = 0;
    int64_t whole, part = 0;
    const int negative = v < 0;
    if (negative)
        v = -v;
    whole = fraction ? v >> EXPECTED_FRAC_BITS : v;
    if (fraction) {
        const int64_t low = v & (((int64_t)1 << EXPECTED_FRAC_BITS) - 1);
        part = EXPECTED_FRAC_BITS > 30 ? ((low >> (EXPECTED_FRAC_BITS - 30)) * 1000000) >> 30
                                       : (low * 1000000) >> EXPECTED_FRAC_BITS;
    }
    text[at] = '\0';
    if (fraction)
        for (digits = 0; digits < 6; digits++, part /= 10)
            text[--at] = (char)('0' + part % 10);
    if (fraction)
        text[--at] = '.';
    do {
        text[--at] = (char)('0' + whole % 10);
        whole /= 10;
    } while (whole > 0);
    if (negative)
        text[--at] = '-';
    fputs(text + at, stdout);
}

/* The index of the largest of n values (the first of equals). */
static int largest_of(const int64_t *v, int n)
{
    int j, best = 0;
    for (j = 1; j < n; j++)
        if (v[j] > v[best])
            best = j;
    return best;
}

int main(void)
{
    static NAME_embed_word work[UNAME_EMBED_WORK];
    NAME_embed_value out[UNAME_EMBED_OUTPUTS];
    int64_t got[UNAME_EMBED_OUTPUTS];
    int64_t largest = 0;
    int t, j, agree = 0, worst_test = 0, worst_output = 0;
    NAME_embed_clear(work);
    for (t = 0; t < TESTS; t++) {
        NAME_embed_forward(work, inputs[t], out);
        for (j = 0; j < UNAME_EMBED_OUTPUTS; j++) {
            const int64_t d0 = widened(out[j]) - expected[t][j];
            const int64_t d = d0 < 0 ? -d0 : d0;
            got[j] = widened(out[j]);
            if (d > largest) {
                largest = d;
                worst_test = t;
                worst_output = j;
            }
        }
        agree += largest_of(got, UNAME_EMBED_OUTPUTS) == largest_of(expected[t], UNAME_EMBED_OUTPUTS);
    }
    fputs("NAME_embed: ", stdout);
    put_number(TESTS, 0);
    fputs(" tests of ", stdout);
    put_number(UNAME_EMBED_OUTPUTS, 0);
    fputs(" outputs in BITS-bit integers: largest deviation from the module ", stdout);
    put_number(largest, 1);
    fputs(" (test ", stdout);
    put_number(worst_test, 0);
    fputs(", output ", stdout);
    put_number(worst_output, 0);
    fputs("), tolerance ", stdout);
    put_number(UNAME_EMBED_TOLERANCE, 1);
    fputs("; the largest output agrees on ", stdout);
    put_number(agree, 0);
    fputs(" of ", stdout);
    put_number(TESTS, 0);
    fputs(largest <= UNAME_EMBED_TOLERANCE ? " tests\n" : " tests: FAILED, beyond the tolerance\n", stdout);
    return largest <= UNAME_EMBED_TOLERANCE ? 0 : 1;
}
)";
    std::string text = o.str();
    const auto replace_all = [&text](const std::string &from, const std::string &to) {
        for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
            text.replace(at, from.size(), to);
    };
    replace_all("UNAME_", u + "_");
    replace_all("NAME_embed", n + "_embed");
    replace_all("BITS-bit", std::to_string(p.bits) + "-bit");
    replace_all("- OUT_FRAC_BITS", "- " + u + "_EMBED_OUT_FRAC_BITS");
    return text;
}

}  // namespace bpgen
