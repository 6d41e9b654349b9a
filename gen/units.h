// The table of unit kinds: per kind its name in descriptions, its descriptor code (field 51),
// the library kernels of its forward step and of its derivative (pointers, for the network
// built at run time and the embedded form's run) with the names the emitter writes for them,
// whether its net inputs are stored, and how the embedded form computes it. The description
// model, the emitter, the run-time network, the embedded form, the tools and the Python
// extension all read this table: adding a unit kind is one enumerator and one row here, plus
// its kernels in bp/. C++ only.
#ifndef GEN_UNITS_H
#define GEN_UNITS_H

#include <cstddef>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "bp/BpSim.h"

namespace bpgen {

// The unit kinds, in the order of the table's rows.
enum class Unit { logistic, centred, tanh, linear, quadratic, relu, softmax };

// How the emitter writes the call of a kernel in a generated module.
enum class Call {
    none,         // no call: the derivative is 1, the deltas stay as they are
    library,      // NAME(vectors..., size[, r]): the library kernel, the size an argument
    inline_copy,  // NAME<size>(vectors...[, r]): its inline copy, the size a template argument
    kernel_set,   // K::template NAME<size>(vectors..., r): a member of the module path's kernel set
};

// One unit kind. The forward kernel adds the thresholds t to the net inputs in a and applies
// the unit function in place; a kind whose derivative needs the net inputs also stores them in
// z. The derivative kernel multiplies the deltas e by the unit function's derivative, from the
// activations a (plus the offset r drawn for the layer, where the row says so) or from the
// stored net inputs z.
struct UnitKind {
    Unit unit;
    const char *name;  // as a description writes it: unit = "NAME"
    int code;          // the descriptor's field 51 and the module tables' unit code
    void (*forward)(float *a, const float *t, int n);                // kinds without stored net inputs
    void (*forward_net)(float *a, float *z, const float *t, int n);  // kinds with them
    const char *forward_name;  // the kernel the emitter calls
    Call forward_call;
    void (*deriv)(const float *a, float *e, int n, float r);  // from the activations
    void (*deriv_net)(const float *z, float *e, int n);       // from the stored net inputs
    const char *deriv_name;                                   // the kernel the emitter calls
    Call deriv_call;
    bool deriv_offset;  // the derivative from the activations adds the offset r
    bool stores_net;  // its net inputs have their own vector in network_data
    // Only the output layer may have the kind, and a presentation's error is then the
    // cross-entropy of its targets (cross_entropy_error), its output deltas t - o scaled as
    // every kind's, which the kind's derivative step (none) leaves as they are.
    bool output_only;
    // The embedded form: a table kind is bias + scale * logistic table entry, saturating at
    // |v| >= 8 to what the forward kernel gives there (bias and scale as C literals without
    // suffix). embed_units names the helper function that computes the kind, which is also
    // the name of its section in gen/embed/embed_helpers.c: table_units for every table kind.
    bool table;
    const char *table_bias;
    const char *table_scale;
    const char *embed_units;
};

// The rows, one per enumerator of Unit, in its order.
inline constexpr UnitKind kUnitKinds[] = {
    {Unit::logistic, "logistic", 0, BPsig1, nullptr, "bp_inline::sig1", Call::inline_copy, BPderiv_sig1, nullptr,
     "deriv_sig1", Call::kernel_set, true, false, false, true, "0.5", "1.0", "table_units"},
    {Unit::centred, "centred", 1, BPsig2, nullptr, "BPsig2", Call::library, BPderiv_sig2, nullptr, "BPderiv_sig2",
     Call::library, true, false, false, true, "0.0", "1.0", "table_units"},
    {Unit::tanh, "tanh", 2, BPsig3, nullptr, "BPsig3", Call::library, BPderiv_sig3, nullptr, "BPderiv_sig3",
     Call::library, true, false, false, true, "0.0", "2.0", "table_units"},
    {Unit::linear, "linear", 3, BPlinear, nullptr, "BPlinear", Call::library, nullptr, nullptr, nullptr, Call::none,
     false, false, false, false, nullptr, nullptr, "linear_units"},
    {Unit::quadratic, "quadratic", 4, nullptr, BPquadratic, "BPquadratic", Call::library, nullptr, BPderiv_quadratic,
     "BPderiv_quadratic", Call::library, false, true, false, false, nullptr, nullptr, "quadratic_units"},
    {Unit::relu, "relu", 5, BPrelu, nullptr, "BPrelu", Call::library, BPderiv_relu, nullptr, "BPderiv_relu",
     Call::library, false, false, false, false, nullptr, nullptr, "relu_units"},
    {Unit::softmax, "softmax", 6, BPsoftmax, nullptr, "BPsoftmax", Call::library, nullptr, nullptr, nullptr,
     Call::none, false, false, true, false, nullptr, nullptr, "softmax_units"},
};
// The number of unit kinds.
inline constexpr std::size_t kUnitKindCount = std::size(kUnitKinds);

// The row of a unit kind.
constexpr const UnitKind &unit_kind(Unit u)
{
    return kUnitKinds[static_cast<std::size_t>(u)];
}

// The name of a unit kind as a description writes it.
constexpr const char *unit_name(Unit u)
{
    return unit_kind(u).name;
}

// The unit kind a description names, if any.
constexpr std::optional<Unit> unit_named(std::string_view name)
{
    for (const UnitKind &k : kUnitKinds)
        if (name == k.name)
            return k.unit;
    return std::nullopt;
}

// The unit kind of a descriptor code, if any.
constexpr std::optional<Unit> unit_of_code(int code)
{
    for (const UnitKind &k : kUnitKinds)
        if (code == k.code)
            return k.unit;
    return std::nullopt;
}

// The names of the kinds that pass `test`, in table order, as a list in words ("a, b or c"
// with `last` = "or").
template <typename Test>
std::string unit_names(Test test, const char *last)
{
    std::string s;
    std::size_t count = 0, done = 0;
    for (const UnitKind &k : kUnitKinds)
        count += test(k) ? 1 : 0;
    for (const UnitKind &k : kUnitKinds) {
        if (!test(k))
            continue;
        if (done > 0)
            s += done + 1 == count ? std::string(" ") + last + " " : std::string(", ");
        s += k.name;
        done++;
    }
    return s;
}

// Every kind's name, as a list in words ("logistic, ... or softmax").
inline std::string all_unit_names()
{
    return unit_names([](const UnitKind &) { return true; }, "or");
}

// The forward step of a layer of kind u: thresholds t added to the net inputs a, the unit
// function applied; z receives the net inputs where the kind stores them.
inline void unit_forward(const UnitKind &u, float *a, float *z, const float *t, int n)
{
    if (u.forward_net != nullptr)
        u.forward_net(a, z, t, n);
    else
        u.forward(a, t, n);
}

// The derivative step of a layer of kind u: the deltas e times the derivative, from the
// activations a with the offset r or from the stored net inputs z; unchanged for a derivative
// of 1.
inline void unit_derivative(const UnitKind &u, const float *a, const float *z, float *e, int n, float r)
{
    if (u.deriv != nullptr)
        u.deriv(a, e, n, r);
    else if (u.deriv_net != nullptr)
        u.deriv_net(z, e, n);
}

// Checks on the table, at compile time: rows in the enumerators' order, names and codes unique.
constexpr bool unit_names_consistent()
{
    for (std::size_t i = 0; i < kUnitKindCount; i++) {
        const UnitKind &k = kUnitKinds[i];
        if (static_cast<std::size_t>(k.unit) != i || k.name == nullptr || k.forward_name == nullptr)
            return false;
        for (std::size_t j = 0; j < i; j++)
            if (std::string_view(kUnitKinds[j].name) == k.name || kUnitKinds[j].code == k.code)
                return false;
    }
    return true;
}
static_assert(unit_names_consistent());

// Each row has exactly the kernel pointers its shape calls for. Checked by the units test at run
// time: a function's address is no constant expression under every build's flags (the
// sanitizers' instrumentation, for one).
inline bool unit_table_consistent()
{
    for (std::size_t i = 0; i < kUnitKindCount; i++) {
        const UnitKind &k = kUnitKinds[i];
        // One forward kernel, with the net inputs exactly when the kind stores them.
        if ((k.forward == nullptr) == (k.forward_net == nullptr) || k.stores_net != (k.forward_net != nullptr))
            return false;
        // At most one derivative kernel, none exactly when the emitter writes no call; the
        // derivative from the net inputs only where they are stored, and as a library call.
        const bool has_deriv = k.deriv != nullptr || k.deriv_net != nullptr;
        if ((k.deriv != nullptr && k.deriv_net != nullptr) || has_deriv != (k.deriv_call != Call::none) ||
            has_deriv != (k.deriv_name != nullptr))
            return false;
        if (k.deriv_net != nullptr && (!k.stores_net || k.deriv_call != Call::library))
            return false;
        // A kind learned on the cross-entropy has no derivative step: its deltas are t - o.
        if (k.output_only && has_deriv)
            return false;
        // Only a derivative from the activations takes the offset.
        if (k.deriv_offset && k.deriv == nullptr)
            return false;
        // The forward step is a library call or, without net inputs, an inline copy.
        if (k.forward_call != Call::library && (k.forward_call != Call::inline_copy || k.stores_net))
            return false;
        // A table kind reads only the net inputs, has its literals and the table's helper; every
        // kind has a helper, and only table kinds the table's.
        if (k.table && (k.stores_net || k.table_bias == nullptr || k.table_scale == nullptr))
            return false;
        if (k.embed_units == nullptr || k.table != (std::string_view(k.embed_units) == "table_units"))
            return false;
    }
    return true;
}
// The descriptor's codes as the module runtime documents them, and 0 for the default kind:
// the tables of a generated module leave the code out where it is 0.
static_assert(unit_kind(Unit::logistic).code == 0 && unit_kind(Unit::centred).code == 1 &&
              unit_kind(Unit::tanh).code == 2 && unit_kind(Unit::linear).code == 3 &&
              unit_kind(Unit::quadratic).code == 4 && unit_kind(Unit::relu).code == 5 &&
              unit_kind(Unit::softmax).code == 6);

}  // namespace bpgen

#endif
