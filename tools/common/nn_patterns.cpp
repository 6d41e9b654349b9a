// Training and evaluation patterns: the four-class demonstration task and the CSV format.
#include "tools/common/nn_patterns.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "tools/common/cli.h"
#include "tools/common/text_file.h"

namespace {

// One class of the demonstration task: a normal distribution around a centre, in network
// input units, matching one bump of the composite plot.
struct DemoClass {
    double cx;
    double cy;
    double sd;
};
constexpr DemoClass kDemoClasses[4] = {
    {0.4, 0.2, 0.19749143},
    {-0.4, 0.2, 0.19749143},
    {0.0, -0.2, 0.19749143},
    {0.0, 0.2, 0.1},
};

constexpr double kTwoPi = 6.283185307179586;

// Uniform double in (0, 1), never 0, from the top 53 bits of the next value.
double uniform_open(std::uint64_t &state)
{
    return (static_cast<double>(nn_patterns::splitmix64(state) >> 11) + 0.5) * 0x1.0p-53;
}

// The fields a line must hold, named for messages: all of them when there are few
// ("x0,x1,t0,t1,t2,t3"), else the first and last of each kind ("x0,...,x63,class").
std::string field_names(int inputs, int outputs, nn_patterns::TargetForm form)
{
    const bool by_class = form == nn_patterns::TargetForm::kClass;
    const int fields = inputs + (by_class ? 1 : outputs);
    std::string names;
    const auto add = [&](const std::string &name) { names += (names.empty() ? "" : ",") + name; };
    const auto run = [&](char letter, int count) {
        if (fields <= 8 || count <= 2) {
            for (int i = 0; i < count; i++)
                add(letter + std::to_string(i));
        } else {
            add(letter + std::string("0"));
            add("...");
            add(letter + std::to_string(count - 1));
        }
    };
    run('x', inputs);
    if (by_class)
        add("class");
    else
        run('t', outputs);
    return names;
}

// A field for a message: cut to a readable length, control bytes replaced, in quotes.
std::string shown_field(std::string_view field)
{
    std::string shown(field.substr(0, 40));
    for (char &c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return "\"" + shown + (field.size() > 40 ? "...\"" : "\"");
}

// Parse one data line into p (inputs + outputs floats); false with error set when it is
// malformed. Fields are checked in order, so the first bad field is the one reported.
bool parse_line(std::string_view line, int inputs, int outputs, nn_patterns::TargetForm form, float *p,
                std::string &error)
{
    const bool by_class = form == nn_patterns::TargetForm::kClass;
    const int fields = inputs + (by_class ? 1 : outputs);
    int count = 0;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = line.find(',', start);
        std::string_view field = line.substr(start, comma == std::string_view::npos ? std::string_view::npos
                                                                                     : comma - start);
        // Spaces and tabs around a field are allowed.
        while (!field.empty() && (field.front() == ' ' || field.front() == '\t'))
            field.remove_prefix(1);
        while (!field.empty() && (field.back() == ' ' || field.back() == '\t'))
            field.remove_suffix(1);
        count++;
        if (count <= fields) {
            if (field.empty()) {
                error = "field " + std::to_string(count) + " is empty";
                return false;
            }
            if (by_class && count == fields) {
                std::uint64_t c = 0;
                if (!bp_cli::parse_unsigned(field, UINT64_MAX, c)) {
                    error = "field " + std::to_string(count) + " is not a class index (a whole number from 0 to " +
                            std::to_string(outputs - 1) + "): " + shown_field(field);
                    return false;
                }
                if (c >= static_cast<std::uint64_t>(outputs)) {
                    error = "class " + std::to_string(c) + " is out of range: the network has " +
                            std::to_string(outputs) + " outputs, classes 0 to " + std::to_string(outputs - 1);
                    return false;
                }
                for (int t = 0; t < outputs; t++)
                    p[inputs + t] = t == static_cast<int>(c) ? 1.0f : 0.0f;
            } else if (!bp_cli::parse_float(field, p[count - 1])) {
                error = "field " + std::to_string(count) + " is not a finite number: " + shown_field(field);
                return false;
            }
        }
        if (comma == std::string_view::npos)
            break;
        start = comma + 1;
    }
    if (count != fields) {
        error = "expected " + std::to_string(fields) + " comma-separated fields (" +
                field_names(inputs, outputs, form) + "), found " + std::to_string(count);
        return false;
    }
    return true;
}

}  // namespace

namespace nn_patterns {

std::uint64_t splitmix64(std::uint64_t &state)
{
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::vector<Pattern> demo_patterns(std::size_t count, std::uint64_t seed)
{
    std::vector<Pattern> out;
    out.reserve(count);
    std::uint64_t state = seed;
    for (std::size_t k = 0; k < count; k++) {
        const DemoClass &c = kDemoClasses[k % 4];
        // Box-Muller: two uniforms give two independent standard normal deviates.
        const double u1 = uniform_open(state);
        const double u2 = uniform_open(state);
        const double r = std::sqrt(-2.0 * std::log(u1));
        const double zx = r * std::cos(kTwoPi * u2);
        const double zy = r * std::sin(kTwoPi * u2);
        Pattern p{};
        p.in[0] = static_cast<float>(c.cx + c.sd * zx);
        p.in[1] = static_cast<float>(c.cy + c.sd * zy);
        p.target[k % 4] = 1.0f;
        out.push_back(p);
    }
    return out;
}

std::size_t PatternSet::size() const
{
    const std::size_t width = static_cast<std::size_t>(inputs + outputs);
    return width == 0 ? 0 : values.size() / width;
}

float *PatternSet::input(std::size_t k)
{
    return values.data() + k * static_cast<std::size_t>(inputs + outputs);
}

const float *PatternSet::input(std::size_t k) const
{
    return values.data() + k * static_cast<std::size_t>(inputs + outputs);
}

const float *PatternSet::target(std::size_t k) const
{
    return input(k) + inputs;
}

std::size_t PatternSet::sequences() const
{
    if (size() == 0)
        return 0;
    return starts.empty() ? 1 : starts.size();
}

std::size_t PatternSet::sequence_begin(std::size_t s) const
{
    return starts.empty() ? 0 : starts[s];
}

std::size_t PatternSet::sequence_end(std::size_t s) const
{
    return s + 1 < starts.size() ? starts[s + 1] : size();
}

std::vector<bool> PatternSet::first_flags() const
{
    std::vector<bool> first(size(), false);
    for (std::size_t s = 0; s < sequences(); s++)
        first[sequence_begin(s)] = true;
    return first;
}

bool parse_csv_sized(std::string_view text, int inputs, int outputs, TargetForm form, PatternSet &out, int &line,
                     std::string &error)
{
    out.inputs = inputs;
    out.outputs = outputs;
    out.values.clear();
    out.starts.clear();
    const std::size_t width = static_cast<std::size_t>(inputs + outputs);
    line = 0;
    bool boundary = true;  // an empty line (or the start) since the last pattern
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t nl = text.find('\n', pos);
        std::string_view row = text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
        pos = nl == std::string_view::npos ? text.size() : nl + 1;
        line++;
        if (!row.empty() && row.back() == '\r')
            row.remove_suffix(1);
        // Empty lines (spaces and tabs only) end a sequence; comment lines are skipped.
        std::string_view trimmed = row;
        while (!trimmed.empty() && (trimmed.front() == ' ' || trimmed.front() == '\t'))
            trimmed.remove_prefix(1);
        if (trimmed.empty())
            boundary = true;
        if (trimmed.empty() || trimmed.front() == '#')
            continue;
        out.values.resize(out.values.size() + width);
        if (!parse_line(row, inputs, outputs, form, out.values.data() + out.values.size() - width, error)) {
            out.values.resize(out.values.size() - width);
            return false;
        }
        // The pattern is in: it opens a sequence when an empty line came before it.
        if (boundary)
            out.starts.push_back(out.size() - 1);
        boundary = false;
    }
    return true;
}

bool load_csv_sized(const std::string &path, int inputs, int outputs, TargetForm form, PatternSet &out,
                    std::string &error)
{
    std::string text;
    if (!text_file::read_all(path, text, error))
        return false;
    int line = 0;
    std::string what;
    if (!parse_csv_sized(text, inputs, outputs, form, out, line, what)) {
        error = path + ":" + std::to_string(line) + ": " + what;
        return false;
    }
    return true;
}

PatternSet to_set(const std::vector<Pattern> &patterns)
{
    PatternSet set;
    set.inputs = 2;
    set.outputs = 4;
    set.values.reserve(patterns.size() * 6);
    if (!patterns.empty())
        set.starts.push_back(0);
    for (const Pattern &p : patterns) {
        set.values.insert(set.values.end(), p.in, p.in + 2);
        set.values.insert(set.values.end(), p.target, p.target + 4);
    }
    return set;
}

bool parse_csv(std::string_view text, std::vector<Pattern> &out, int &line, std::string &error)
{
    PatternSet set;
    const bool ok = parse_csv_sized(text, 2, 4, TargetForm::kVector, set, line, error);
    for (std::size_t k = 0; k < set.size(); k++) {
        Pattern p{};
        std::memcpy(p.in, set.input(k), sizeof p.in);
        std::memcpy(p.target, set.target(k), sizeof p.target);
        out.push_back(p);
    }
    return ok;
}

bool load_csv(const std::string &path, std::vector<Pattern> &out, std::string &error)
{
    std::string text;
    if (!text_file::read_all(path, text, error))
        return false;
    int line = 0;
    std::string what;
    if (!parse_csv(text, out, line, what)) {
        error = path + ":" + std::to_string(line) + ": " + what;
        return false;
    }
    return true;
}

}  // namespace nn_patterns
