// Reading and checking a network description. The TOML text is parsed by toml++; this file
// only walks the parsed tables, so every error can name the line and column it concerns.
#include "gen/model.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <toml++/toml.h>

#include "gen/toml_guard.h"

namespace bpgen {

namespace {

// The whole description is refused at the first error; the error travels as an exception
// inside this file only.
struct Refusal {
    std::string text;
};

// The file name that messages start with, set by the parse that runs in this thread: networks
// may be built from descriptions in several threads at once.
thread_local std::string g_path;

[[noreturn]] void refuse(const toml::source_region &where, const std::string &what)
{
    std::ostringstream s;
    s << g_path << ':' << where.begin.line << ':' << where.begin.column << ": " << what;
    throw Refusal{s.str()};
}

bool valid_name(std::string_view s)
{
    if (s.empty() || s.size() > kMaxNameLength)
        return false;
    const auto alpha = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (!alpha(s[0]))
        return false;
    return std::all_of(s.begin(), s.end(), [&](char c) { return alpha(c) || digit(c) || c == '_'; });
}

const char *type_name(const toml::node &n)
{
    switch (n.type()) {
    case toml::node_type::table: return "a table";
    case toml::node_type::array: return "an array";
    case toml::node_type::string: return "a string";
    case toml::node_type::integer: return "an integer";
    case toml::node_type::floating_point: return "a floating-point number";
    case toml::node_type::boolean: return "a boolean";
    case toml::node_type::date: return "a date";
    case toml::node_type::time: return "a time";
    case toml::node_type::date_time: return "a date-time";
    default: return "nothing";
    }
}

// Every key of `table` must be one of `allowed`.
void check_keys(const toml::table &table, std::initializer_list<std::string_view> allowed, const char *where)
{
    for (const auto &[key, value] : table) {
        if (std::find(allowed.begin(), allowed.end(), key.str()) == allowed.end())
            refuse(key.source(), "unknown key \"" + std::string(key.str()) + "\" in " + where);
    }
}

const toml::node &required(const toml::table &table, std::string_view key, const std::string &where)
{
    const toml::node *n = table.get(key);
    if (n == nullptr)
        refuse(table.source(), where + " has no \"" + std::string(key) + "\"");
    return *n;
}

std::string get_string(const toml::node &n, std::string_view key)
{
    if (!n.is_string())
        refuse(n.source(), "\"" + std::string(key) + "\" must be a string, not " + type_name(n));
    return std::string(n.as_string()->get());
}

// A size: an integer from 1 to INT_MAX.
int get_size(const toml::node &n, std::string_view key)
{
    if (!n.is_integer())
        refuse(n.source(), "\"" + std::string(key) + "\" must be an integer, not " + type_name(n));
    const std::int64_t v = n.as_integer()->get();
    if (v < 1 || v > INT_MAX)
        refuse(n.source(), "\"" + std::string(key) + "\" must be at least 1 and at most " + std::to_string(INT_MAX) +
                               ", not " + std::to_string(v));
    return static_cast<int>(v);
}

std::string get_name(const toml::node &n, std::string_view key)
{
    const std::string s = get_string(n, key);
    if (!valid_name(s))
        refuse(n.source(), "\"" + std::string(key) + "\" must be a letter followed by letters, digits or '_', at most " +
                               std::to_string(kMaxNameLength) + " characters, not \"" + s + "\"");
    return s;
}

// "1 value", "3 values".
std::string values_text(std::size_t n)
{
    return std::to_string(n) + (n == 1 ? " value" : " values");
}

// A shape [X, Y]: two sizes, X units per row and Y rows, whose product is a size too.
std::pair<int, int> get_shape(const toml::node &n, std::string_view key)
{
    const std::string k(key);
    const toml::array *a = n.as_array();
    if (a == nullptr)
        refuse(n.source(), "\"" + k + "\" must be [X, Y] (X units per row, Y rows), not " + type_name(n));
    if (a->size() != 2)
        refuse(n.source(), "\"" + k + "\" must be [X, Y] (X units per row, Y rows), not " + values_text(a->size()));
    const int x = get_size((*a)[0], key);
    const int y = get_size((*a)[1], key);
    const std::int64_t units = static_cast<std::int64_t>(x) * y;
    if (units > INT_MAX)
        refuse(n.source(), "\"" + k + "\" [" + std::to_string(x) + ", " + std::to_string(y) + "] holds " +
                               std::to_string(units) + " units, more than " + std::to_string(INT_MAX));
    return {x, y};
}

// How messages name a source.
std::string source_label(const Model &m, int source)
{
    return source == kInputsSource ? std::string("$INPUTS")
                                   : "layer \"" + m.layers[static_cast<std::size_t>(source)].name + "\"";
}

std::string pair_text(int x, int y)
{
    std::ostringstream s;
    s << '[' << x << ", " << y << ']';
    return s.str();
}

// The field of a source table: "field" (n, or [KW, KH]), "overlap" and "shared".
Link get_link(const toml::table &st)
{
    Link link;
    const toml::node *field = st.get("field");
    const toml::node *overlap = st.get("overlap");
    const toml::node *shared = st.get("shared");
    if (field == nullptr) {
        // A table with only a source is a full connection; overlap and sharing need a field.
        for (const auto &[key, value] : st) {
            for (const char *needs_field : {"overlap", "shared"})
                if (key.str() == needs_field)
                    refuse(key.source(), std::string(1, '"') + needs_field +
                                             "\" needs a \"field\": a source without a field is fully connected");
        }
        return link;
    }
    if (const toml::array *a = field->as_array()) {
        link.kind = Kind::field2d;
        if (a->size() != 2)
            refuse(field->source(),
                   "a two-dimensional \"field\" must be [KW, KH] (width, height), not " + values_text(a->size()));
        link.field_x = get_size((*a)[0], "field");
        link.field_y = get_size((*a)[1], "field");
    } else if (field->is_integer()) {
        link.kind = Kind::field1d;
        link.field_x = get_size(*field, "field");
    } else {
        refuse(field->source(), std::string("\"field\" must be a size n or [KW, KH], not ") + type_name(*field));
    }
    if (overlap != nullptr) {
        if (!overlap->is_integer())
            refuse(overlap->source(), std::string("\"overlap\" must be an integer, not ") + type_name(*overlap));
        const std::int64_t v = overlap->as_integer()->get();
        if (link.kind == Kind::field2d && (v < 0 || v >= std::min(link.field_x, link.field_y)))
            refuse(overlap->source(), "overlap " + std::to_string(v) +
                                          " must be at least 0 and less than the field's width and height " +
                                          pair_text(link.field_x, link.field_y));
        if (link.kind == Kind::field1d && (v < 0 || v >= link.field_x))
            refuse(overlap->source(), "overlap " + std::to_string(v) + " must be at least 0 and less than the field " +
                                          std::to_string(link.field_x));
        link.overlap = static_cast<int>(v);
    }
    if (shared != nullptr) {
        if (!shared->is_boolean())
            refuse(shared->source(), std::string("\"shared\" must be true or false, not ") + type_name(*shared));
        link.shared = shared->as_boolean()->get();
    }
    return link;
}

// The fields of `link` must tile the source exactly as the kernels walk it and make exactly the
// layer's units: a one-dimensional field (n, overlap ov) over the flat source of s values gives
// (s - n)/(n - ov) + 1 units; a two-dimensional one (KW x KH, overlap ov) over the X x Y source
// grid gives U = (X - KW)/(KW - ov) + 1 units per row and R = (Y - KH)/(KH - ov) + 1 rows, and
// the layer's shape must be [U, R].
void check_geometry(const toml::table &st, const Link &link, const Model &m, int source, const Layer &layer)
{
    const std::string label = source_label(m, source);
    const Layer *src = source == kInputsSource ? nullptr : &m.layers[static_cast<std::size_t>(source)];
    const int size = src ? src->units : m.inputs;
    const int sx = src ? src->dim_x : m.input_dim_x;
    const int sy = src ? src->dim_y : m.input_dim_y;
    const toml::node &field = *st.get("field");
    const int ov = link.overlap;
    const std::string ovt = std::to_string(ov);
    if (link.kind == Kind::field1d) {
        const int n = link.field_x;
        const std::string nt = std::to_string(n), st_size = std::to_string(size);
        if (n > size)
            refuse(field.source(), "field " + nt + " is longer than the " + st_size + " values of " + label);
        if ((size - n) % (n - ov) != 0)
            refuse(st.source(), "fields of " + nt + " overlapping by " + ovt + " do not tile the " + st_size +
                                    " values of " + label + ": " + st_size + " - " + nt + " = " +
                                    std::to_string(size - n) + " is not a multiple of " + nt + " - " + ovt + " = " +
                                    std::to_string(n - ov));
        const int units = (size - n) / (n - ov) + 1;
        if (units != layer.units)
            refuse(st.source(), "fields of " + nt + " overlapping by " + ovt + " over the " + st_size + " values of " +
                                    label + " make " + std::to_string(units) + " units, but layer \"" + layer.name +
                                    "\" has " + std::to_string(layer.units));
        return;
    }
    const int kw = link.field_x, kh = link.field_y;
    const std::string grid = std::to_string(sx) + " x " + std::to_string(sy) + " grid of " + label;
    if (kw > sx)
        refuse(field.source(), "field " + pair_text(kw, kh) + " is wider than the " + grid);
    if (kh > sy)
        refuse(field.source(), "field " + pair_text(kw, kh) + " is taller than the " + grid);
    const auto untiled = [&](const char *what, int extent, int k) {
        refuse(st.source(), "fields " + pair_text(kw, kh) + " overlapping by " + ovt + " do not tile the " + what +
                                " of the " + grid + ": " + std::to_string(extent) + " - " + std::to_string(k) + " = " +
                                std::to_string(extent - k) + " is not a multiple of " + std::to_string(k) + " - " +
                                ovt + " = " + std::to_string(k - ov));
    };
    if ((sx - kw) % (kw - ov) != 0)
        untiled("width", sx, kw);
    if ((sy - kh) % (kh - ov) != 0)
        untiled("height", sy, kh);
    const int across = (sx - kw) / (kw - ov) + 1;
    const int down = (sy - kh) / (kh - ov) + 1;
    if (across != layer.dim_x || down != layer.dim_y)
        refuse(st.source(), "fields " + pair_text(kw, kh) + " overlapping by " + ovt + " over the " + grid +
                                " make a grid of " + std::to_string(across) + " x " + std::to_string(down) +
                                " units, but layer \"" + layer.name + "\" has shape " +
                                pair_text(layer.dim_x, layer.dim_y));
}

// The key `name` of `table`, which the caller knows is there.
const toml::key &key_of(const toml::table &table, std::string_view name)
{
    for (const auto &[key, value] : table)
        if (key.str() == name)
            return key;
    refuse(table.source(), "no \"" + std::string(name) + "\"");
}

// The order of a layer's feedback: 0 (the default), 1 or 2; anything else is refused at the key.
int get_feedback(const toml::table &lt)
{
    const toml::node *n = lt.get("feedback");
    if (n == nullptr)
        return 0;
    const toml::key &key = key_of(lt, "feedback");
    if (!n->is_integer())
        refuse(key.source(), std::string("\"feedback\" must be 0, 1 or 2, not ") + type_name(*n));
    const std::int64_t v = n->as_integer()->get();
    if (v < 0 || v > 2)
        refuse(key.source(), "\"feedback\" must be 0 (none), 1 or 2 (the filter's order), not " + std::to_string(v) +
                                 (v > 2 ? ": filters of higher order are not supported" : ""));
    return static_cast<int>(v);
}

Unit get_unit(const toml::node &n)
{
    const std::string s = get_string(n, "unit");
    if (const std::optional<Unit> u = unit_named(s))
        return *u;
    refuse(n.source(), "unknown unit \"" + s + "\" (" + all_unit_names() + ")");
}

Model build(const toml::table &root)
{
    Model m;
    check_keys(root, {"network", "inputs", "layer", "optimizer"}, "the description");
    if (const toml::node *opt = root.get("optimizer")) {
        const std::string kind = get_string(*opt, "optimizer");
        if (kind != "sgd" && kind != "adam")
            refuse(opt->source(), "unknown optimizer \"" + kind + "\" (sgd, adam)");
        m.optimizer_room = kind == "adam";
    }
    m.network = get_name(required(root, "network", "the description"), "network");
    // The black box's functions are named NAME_...; "network" would make network_clear_delays
    // collide with the network-level entry point of that name.
    if (m.network == "network")
        refuse(root.get("network")->source(), "\"network\" cannot be the network's name: it names the network-level entry points");
    // The inputs: a size, or a grid [X, Y] of X*Y values stored row by row.
    const toml::node &inputs_node = required(root, "inputs", "the description");
    if (inputs_node.is_array()) {
        const auto [x, y] = get_shape(inputs_node, "inputs");
        m.input_dim_x = x;
        m.input_dim_y = y;
        m.inputs = x * y;
    } else {
        m.inputs = get_size(inputs_node, "inputs");
        m.input_dim_x = m.inputs;
        m.input_dim_y = 1;
    }

    const toml::node &layers_node = required(root, "layer", "the description");
    const toml::array *layers = layers_node.as_array();
    if (layers == nullptr)
        refuse(layers_node.source(), "\"layer\" must be an array of tables ([[layer]]), not " +
                                         std::string(type_name(layers_node)));
    if (layers->empty())
        refuse(layers_node.source(), "the network has no layers");
    if (layers->size() > static_cast<std::size_t>(kMaxLayers))
        refuse(layers_node.source(), "the network has more than " + std::to_string(kMaxLayers) + " layers");

    std::map<std::string, int> index;  // layer name -> forward index
    for (const toml::node &ln : *layers) {
        const toml::table *lt = ln.as_table();
        if (lt == nullptr)
            refuse(ln.source(), std::string("each layer must be a table, not ") + type_name(ln));
        check_keys(*lt, {"name", "units", "shape", "unit", "from", "feedback"}, "a layer");
        Layer layer;
        const toml::node &name_node = required(*lt, "name", "a layer");
        layer.name = get_name(name_node, "name");
        if (index.count(layer.name) != 0)
            refuse(name_node.source(), "a second layer named \"" + layer.name + "\"");
        // Units and shape: either gives the other; given both, they must agree.
        if (const toml::node *shape = lt->get("shape")) {
            const auto [x, y] = get_shape(*shape, "shape");
            layer.dim_x = x;
            layer.dim_y = y;
            layer.units = x * y;
            if (const toml::node *units = lt->get("units")) {
                const int u = get_size(*units, "units");
                if (u != layer.units)
                    refuse(units->source(), "layer \"" + layer.name + "\" has units = " + std::to_string(u) +
                                                ", but its shape " + pair_text(x, y) + " holds " +
                                                std::to_string(layer.units));
            }
        } else {
            layer.units = get_size(required(*lt, "units", "layer \"" + layer.name + "\""), "units");
            layer.dim_x = layer.units;
            layer.dim_y = 1;
        }
        if (const toml::node *u = lt->get("unit")) {
            layer.unit = get_unit(*u);
            // A kind whose error is the cross-entropy (softmax) normalises over the whole layer
            // and is learned against targets: only the output layer, the last, may have it.
            if (unit_kind(layer.unit).output_only && &ln != &layers->back())
                refuse(u->source(), "layer \"" + layer.name + "\" is not the output layer, and only the output "
                                    "layer may have unit = \"" + unit_name(layer.unit) + "\"; a hidden layer's unit is " +
                                    unit_names([](const UnitKind &k) { return !k.output_only; }, "or"));
        }
        layer.feedback = get_feedback(*lt);

        const toml::node &from_node = required(*lt, "from", "layer \"" + layer.name + "\"");
        const toml::array *from = from_node.as_array();
        if (from == nullptr)
            refuse(from_node.source(), std::string("\"from\" must be an array of source names, not ") + type_name(from_node));
        if (from->empty())
            refuse(from_node.source(), "layer \"" + layer.name + "\" has no sources");
        // Each source is a name (a full connection) or a table { source = NAME, field = ...,
        // overlap = ..., shared = ... } (a connection through receptive fields when it has a field).
        std::vector<std::pair<int, Link>> links;
        for (const toml::node &sn : *from) {
            const toml::table *st = sn.as_table();
            if (st == nullptr && !sn.is_string())
                refuse(sn.source(), std::string("a source in \"from\" must be a string, not ") + type_name(sn));
            if (st != nullptr)
                check_keys(*st, {"source", "field", "overlap", "shared"}, "a source table");
            const toml::node &name = st != nullptr ? required(*st, "source", "a source table") : sn;
            const std::string s = get_string(name, st != nullptr ? "source" : "from");
            int source = kInputsSource;
            if (s != "$INPUTS") {
                const auto it = index.find(s);
                if (it == index.end()) {
                    if (s == layer.name)
                        refuse(name.source(), "layer \"" + layer.name + "\" cannot take its own output as a source");
                    refuse(name.source(), "unknown source \"" + s + "\": a source is \"$INPUTS\" or an earlier layer");
                }
                source = it->second;
            }
            for (const auto &seen : links)
                if (seen.first == source)
                    refuse(name.source(), "source \"" + s + "\" is named twice");
            Link link;
            if (st != nullptr) {
                link = get_link(*st);
                // Each unit's filter needs traces of its own weights, which one shared row cannot give.
                if (link.shared && layer.feedback > 0)
                    refuse(key_of(*st, "shared").source(), "layer \"" + layer.name + "\" has feedback = " +
                                                              std::to_string(layer.feedback) +
                                                              ": a shared field cannot feed it (each unit's filter "
                                                              "needs traces of its own weights)");
                if (link.kind != Kind::full)
                    check_geometry(*st, link, m, source, layer);
            }
            links.emplace_back(source, link);
        }
        // Canonical order: the inputs first, then the source layers in forward order.
        std::sort(links.begin(), links.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
        for (const auto &[source, link] : links) {
            layer.sources.push_back(source);
            layer.links.push_back(link);
        }
        index[layer.name] = static_cast<int>(m.layers.size());
        m.layers.push_back(std::move(layer));
    }

    // Every hidden layer must feed a later layer: otherwise its values would be trained by nothing.
    for (std::size_t i = 0; i + 1 < m.layers.size(); i++) {
        bool feeds = false;
        for (std::size_t j = i + 1; j < m.layers.size() && !feeds; j++)
            feeds = std::find(m.layers[j].sources.begin(), m.layers[j].sources.end(), static_cast<int>(i)) !=
                    m.layers[j].sources.end();
        if (!feeds)
            refuse((*layers)[i].source(), "hidden layer \"" + m.layers[i].name + "\" feeds no later layer");
    }

    // Offsets and byte counts of the module and its save file must fit an int.
    const Sizes s = measure(m);
    if (s.data > INT_MAX / 4 || s.record > INT_MAX - 1024)
        refuse(layers_node.source(), "the network is too large: " + std::to_string(s.data) +
                                         " floats of state, at most " + std::to_string(INT_MAX / 4));
    return m;
}

}  // namespace

std::vector<Connection> connections(const Model &m)
{
    std::vector<Connection> all;
    for (std::size_t li = 0; li < m.layers.size(); li++) {
        const Layer &l = m.layers[li];
        for (std::size_t k = 0; k < l.sources.size(); k++) {
            const int src = l.sources[k];
            const Layer *from = src == kInputsSource ? nullptr : &m.layers[static_cast<std::size_t>(src)];
            Connection c;
            c.layer = static_cast<int>(li);
            c.source = src;
            c.source_size = from ? from->units : m.inputs;
            c.source_dim_x = from ? from->dim_x : m.input_dim_x;
            c.source_dim_y = from ? from->dim_y : m.input_dim_y;
            c.link = k < l.links.size() ? l.links[k] : Link{};
            const Link &f = c.link;
            switch (f.kind) {
            case Kind::full:
                c.count = static_cast<std::int64_t>(l.units) * c.source_size;
                break;
            case Kind::field1d:
                // A row of n weights per unit, or one row for all.
                c.across = l.units;
                c.count = (f.shared ? 1 : static_cast<std::int64_t>(l.units)) * f.field_x;
                break;
            case Kind::field2d:
                // [destination row][field row][unit][field column], or one KH x KW kernel for all.
                c.across = l.dim_x;
                c.down = l.dim_y;
                c.ws = static_cast<std::int64_t>(c.across) * f.field_x;
                c.s = c.source_dim_x;
                c.b = static_cast<std::int64_t>(f.overlap) * c.source_dim_x;
                c.count = f.shared ? static_cast<std::int64_t>(f.field_y) * f.field_x
                                   : static_cast<std::int64_t>(c.down) * f.field_y * c.ws;
                break;
            }
            c.index = static_cast<int>(all.size());
            all.push_back(c);
        }
    }
    // Numbers run from 1 on the output side: the output layer's connections from its last
    // source back to the inputs, then the layer before it, and so on.
    int number = 1;
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        it->number = number++;
        it->array = m.layers[static_cast<std::size_t>(it->layer)].name + std::to_string(it->number);
    }
    return all;
}

Layout lay_out(const Model &m)
{
    Layout lo;
    lo.layers.resize(m.layers.size());
    lo.connections = connections(m);
    std::int64_t next = 0;
    for (std::size_t i = 0; i < m.layers.size(); i++) {
        const std::int64_t n = m.layers[i].units;
        lo.layers[i].act = next;
        lo.layers[i].delta = next + n;
        next += 2 * n;
        if (unit_kind(m.layers[i].unit).stores_net) {
            lo.layers[i].net = next;
            next += n;
        }
    }
    for (std::size_t i = 0; i < m.layers.size(); i++) {
        const std::int64_t n = m.layers[i].units;
        lo.layers[i].thr = next;
        lo.layers[i].thr_grad = next + n;
        lo.layers[i].thr_step = next + 2 * n;
        next += 3 * n;
    }
    for (const Connection &c : lo.connections) {
        // A count beyond INT_MAX is refused anyway; clamped, the sums cannot overflow.
        const std::int64_t w = std::min<std::int64_t>(c.count, INT_MAX);
        lo.offsets.push_back({next, next + w, next + 2 * w, -1});
        next += 3 * w;
    }
    // Feedback: coefficients, gradients and steps; then the temporal state.
    bool any = false;
    for (std::size_t i = 0; i < m.layers.size(); i++) {
        const std::int64_t k = static_cast<std::int64_t>(m.layers[i].feedback) * m.layers[i].units;
        if (k == 0)
            continue;
        any = true;
        lo.layers[i].coef = next;
        lo.layers[i].coef_grad = next + k;
        lo.layers[i].coef_step = next + 2 * k;
        next += 3 * k;
    }
    if (m.optimizer_room) {
        // The moments of every trainable value: thresholds, weights and coefficients.
        std::int64_t trainable = 0;
        for (const Layer &l : m.layers)
            trainable += static_cast<std::int64_t>(1 + l.feedback) * l.units;
        for (const Connection &c : lo.connections)
            trainable += std::min<std::int64_t>(c.count, INT_MAX);
        lo.moments = next;
        next += 2 * trainable;
    }
    if (any) {
        lo.temporal = next;
        for (std::size_t i = 0; i < m.layers.size(); i++) {
            const Layer &l = m.layers[i];
            if (l.feedback == 0)
                continue;
            lo.layers[i].delays = next;
            next += static_cast<std::int64_t>(delay_vectors(l.feedback)) * l.units;
            lo.layers[i].coef_traces = next;
            next += static_cast<std::int64_t>(coef_trace_vectors(l.feedback)) * l.units;
        }
        for (std::size_t k = 0; k < lo.connections.size(); k++) {
            const int order = m.layers[static_cast<std::size_t>(lo.connections[k].layer)].feedback;
            if (order == 0)
                continue;
            lo.offsets[k].traces = next;
            next += order * std::min<std::int64_t>(lo.connections[k].count, INT_MAX);
        }
    }
    lo.size = next;
    return lo;
}

Sizes measure(const Model &m)
{
    Sizes s;
    s.data = lay_out(m).size;
    s.record = static_cast<std::int64_t>(m.network.size()) + 1 + 4 + 4 + 4;
    for (const Layer &l : m.layers) {
        const std::int64_t n = l.units;
        s.units += n;
        s.trainable += n;
        s.record += static_cast<std::int64_t>(l.name.size()) + 1 + 4 + 4 * n;
        // Feedback arrays "NAME:a1" (and "NAME:a2") follow the layer records in the save file.
        s.trainable += static_cast<std::int64_t>(l.feedback) * n;
        s.record += static_cast<std::int64_t>(l.feedback) * (static_cast<std::int64_t>(l.name.size()) + 4 + 4 + 4 * n);
    }
    for (const Connection &c : connections(m)) {
        const std::int64_t w = std::min<std::int64_t>(c.count, INT_MAX);
        s.trainable += w;
        s.connections++;
        s.record += static_cast<std::int64_t>(m.layers[static_cast<std::size_t>(c.layer)].name.size()) + 1 +
                    static_cast<std::int64_t>(c.array.size()) + 1 + 4 + 4 * w;
    }
    return s;
}

std::optional<Model> parse_description(std::string_view text, const std::string &path, Error &error)
{
    g_path = path;
    try {
        const std::string guarded = guard_toml_text(text);
        const toml::table root = toml::parse(guarded, path);
        Model m = build(root);
        const std::size_t slash = path.find_last_of('/');
        m.description_file = slash == std::string::npos ? path : path.substr(slash + 1);
        return m;
    } catch (const toml::parse_error &e) {
        std::ostringstream s;
        s << path << ':' << e.source().begin.line << ':' << e.source().begin.column << ": " << e.description();
        error.text = s.str();
    } catch (const Refusal &r) {
        error.text = r.text;
    }
    return std::nullopt;
}

std::optional<Model> load_description(const std::string &path, Error &error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error.text = path + ": cannot open the description";
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        error.text = path + ": cannot read the description";
        return std::nullopt;
    }
    return parse_description(text.str(), path, error);
}

}  // namespace bpgen
