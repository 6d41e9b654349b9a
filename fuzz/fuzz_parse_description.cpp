// Fuzz target: the description parser (TOML text in, checked model out) and the generator.
// An accepted description must be a model that every rule of the generator holds for, and
// must generate its module; a refused one must say where and what. A broken invariant aborts
// with its description, so the fuzzer keeps the input. Whether accepted descriptions compile
// is checked on a sample of the corpus by the fuzz stage.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "gen/emit.h"
#include "gen/model.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace {

[[noreturn]] void broken(const std::string &what)
{
    std::fprintf(stderr, "\ninvariant broken: %s\n", what.c_str());
    std::abort();
}

void check_model(const bpgen::Model &m)
{
    if (m.network.empty() || m.network.size() > bpgen::kMaxNameLength || m.network == "network")
        broken("accepted network name " + m.network);
    if (m.inputs < 1 || m.layers.empty())
        broken("accepted a network without inputs or layers");
    for (std::size_t i = 0; i < m.layers.size(); i++) {
        const bpgen::Layer &l = m.layers[i];
        if (l.units < 1 || l.sources.empty())
            broken("accepted layer " + l.name + " without units or sources");
        if (!std::is_sorted(l.sources.begin(), l.sources.end()) ||
            std::adjacent_find(l.sources.begin(), l.sources.end()) != l.sources.end())
            broken("sources of " + l.name + " not in canonical order or repeated");
        if (l.sources.front() < bpgen::kInputsSource || l.sources.back() >= static_cast<int>(i))
            broken("layer " + l.name + " takes a source that is not earlier");
        for (std::size_t j = 0; j < i; j++)
            if (m.layers[j].name == l.name)
                broken("two layers named " + l.name);
        if (l.links.size() != l.sources.size())
            broken("layer " + l.name + " has not one field per source");
        if (static_cast<std::int64_t>(l.dim_x) * l.dim_y != l.units)
            broken("the shape of " + l.name + " does not hold its units");
    }
    if (static_cast<std::int64_t>(m.input_dim_x) * m.input_dim_y != m.inputs)
        broken("the input shape does not hold the inputs");
    // Every connection's weights and fields are what its kernels walk.
    for (const bpgen::Connection &c : bpgen::connections(m)) {
        const bpgen::Layer &l = m.layers[static_cast<std::size_t>(c.layer)];
        const bpgen::Link &k = c.link;
        if (k.kind == bpgen::Kind::full) {
            if (c.count != static_cast<std::int64_t>(l.units) * c.source_size)
                broken("a full connection into " + l.name + " with other than units x source weights");
            continue;
        }
        const int smaller = k.kind == bpgen::Kind::field2d ? std::min(k.field_x, k.field_y) : k.field_x;
        if (k.overlap < 0 || k.overlap >= smaller)
            broken("a field into " + l.name + " whose overlap is not below its size");
        if (static_cast<std::int64_t>(c.across) * c.down != l.units)
            broken("the fields into " + l.name + " are not one per unit");
        const std::int64_t last_x = static_cast<std::int64_t>(c.across - 1) * (k.field_x - k.overlap) + k.field_x;
        const std::int64_t last_y =
            k.kind == bpgen::Kind::field2d ? static_cast<std::int64_t>(c.down - 1) * (k.field_y - k.overlap) + k.field_y : 1;
        const std::int64_t width = k.kind == bpgen::Kind::field2d ? c.source_dim_x : c.source_size;
        const std::int64_t height = k.kind == bpgen::Kind::field2d ? c.source_dim_y : 1;
        if (last_x != width || last_y != height)
            broken("the fields into " + l.name + " do not tile their source");
    }
    const bpgen::Sizes s = bpgen::measure(m);
    if (s.data > INT_MAX / 4 || s.data < 1)
        broken("accepted a state of " + std::to_string(s.data) + " floats");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    bpgen::Error error;
    const auto model = bpgen::parse_description(text, "fuzz.toml", error);
    if (!model) {
        if (error.text.rfind("fuzz.toml:", 0) != 0 || error.text.size() <= 10)
            broken("a refusal without its place: " + error.text);
        return 0;
    }
    check_model(*model);
    // The generator writes a module for every accepted model, and writes the same one twice.
    const std::string source = bpgen::emit_source(*model);
    if (source.empty() || bpgen::emit_header(*model).empty() || source != bpgen::emit_source(*model))
        broken("no module, or a different one, for an accepted description");
    return 0;
}
