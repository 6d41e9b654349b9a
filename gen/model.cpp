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

namespace bpgen {

namespace {

// The whole description is refused at the first error; the error travels as an exception
// inside this file only.
struct Refusal {
    std::string text;
};

// The file name that messages start with.
std::string g_path;

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

Unit get_unit(const toml::node &n)
{
    const std::string s = get_string(n, "unit");
    for (Unit u : {Unit::logistic, Unit::centred, Unit::tanh, Unit::linear, Unit::quadratic})
        if (s == unit_name(u))
            return u;
    refuse(n.source(), "unknown unit \"" + s + "\" (logistic, centred, tanh, linear or quadratic)");
}

Model build(const toml::table &root)
{
    Model m;
    check_keys(root, {"network", "inputs", "layer"}, "the description");
    m.network = get_name(required(root, "network", "the description"), "network");
    // The black box's functions are named NAME_...; "network" would make network_clear_delays
    // collide with the network-level entry point of that name.
    if (m.network == "network")
        refuse(root.get("network")->source(), "\"network\" cannot be the network's name: it names the network-level entry points");
    m.inputs = get_size(required(root, "inputs", "the description"), "inputs");

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
        check_keys(*lt, {"name", "units", "unit", "from"}, "a layer");
        Layer layer;
        const toml::node &name_node = required(*lt, "name", "a layer");
        layer.name = get_name(name_node, "name");
        if (index.count(layer.name) != 0)
            refuse(name_node.source(), "a second layer named \"" + layer.name + "\"");
        layer.units = get_size(required(*lt, "units", "layer \"" + layer.name + "\""), "units");
        if (const toml::node *u = lt->get("unit"))
            layer.unit = get_unit(*u);

        const toml::node &from_node = required(*lt, "from", "layer \"" + layer.name + "\"");
        const toml::array *from = from_node.as_array();
        if (from == nullptr)
            refuse(from_node.source(), std::string("\"from\" must be an array of source names, not ") + type_name(from_node));
        if (from->empty())
            refuse(from_node.source(), "layer \"" + layer.name + "\" has no sources");
        for (const toml::node &sn : *from) {
            if (!sn.is_string())
                refuse(sn.source(), std::string("a source in \"from\" must be a string, not ") + type_name(sn));
            const std::string s = get_string(sn, "from");
            int source = kInputsSource;
            if (s != "$INPUTS") {
                const auto it = index.find(s);
                if (it == index.end()) {
                    if (s == layer.name)
                        refuse(sn.source(), "layer \"" + layer.name + "\" cannot take its own output as a source");
                    refuse(sn.source(), "unknown source \"" + s + "\": a source is \"$INPUTS\" or an earlier layer");
                }
                source = it->second;
            }
            if (std::find(layer.sources.begin(), layer.sources.end(), source) != layer.sources.end())
                refuse(sn.source(), "source \"" + s + "\" is named twice");
            layer.sources.push_back(source);
        }
        // Canonical order: the inputs first, then the source layers in forward order.
        std::sort(layer.sources.begin(), layer.sources.end());
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

const char *unit_name(Unit u)
{
    switch (u) {
    case Unit::logistic: return "logistic";
    case Unit::centred: return "centred";
    case Unit::tanh: return "tanh";
    case Unit::linear: return "linear";
    case Unit::quadratic: return "quadratic";
    }
    return "?";
}

std::vector<Connection> connections(const Model &m)
{
    std::vector<Connection> all;
    for (std::size_t li = 0; li < m.layers.size(); li++) {
        const Layer &l = m.layers[li];
        for (int src : l.sources) {
            Connection c;
            c.layer = static_cast<int>(li);
            c.source = src;
            c.source_size = src == kInputsSource ? m.inputs : m.layers[static_cast<std::size_t>(src)].units;
            c.count = static_cast<std::int64_t>(l.units) * c.source_size;
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

Sizes measure(const Model &m)
{
    Sizes s;
    // Activations and deltas (and the net inputs of quadratic units), then thresholds,
    // threshold gradients and steps, then weights, gradients and steps of each connection.
    s.record = static_cast<std::int64_t>(m.network.size()) + 1 + 4 + 4 + 4;
    for (const Layer &l : m.layers) {
        const std::int64_t n = l.units;
        s.data += (l.unit == Unit::quadratic ? 3 : 2) * n + 3 * n;
        s.units += n;
        s.trainable += n;
        s.record += static_cast<std::int64_t>(l.name.size()) + 1 + 4 + 4 * n;
    }
    for (const Connection &c : connections(m)) {
        // A count beyond INT_MAX is refused anyway; clamped, the sums cannot overflow.
        const std::int64_t w = std::min<std::int64_t>(c.count, INT_MAX);
        s.data += 3 * w;
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
        const toml::table root = toml::parse(text, path);
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
