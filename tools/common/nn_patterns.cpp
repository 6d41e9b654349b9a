// Training and evaluation patterns: the four-class demonstration task and the CSV format.
#include "tools/common/nn_patterns.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/common/cli.h"

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

// Fields of the CSV format: x0, x1, t0, t1, t2, t3.
constexpr int kFields = 6;

// Parse one data line into p; false with error set when it is malformed.
bool parse_line(std::string_view line, nn_patterns::Pattern &p, std::string &error)
{
    float values[kFields];
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
        if (count <= kFields) {
            if (field.empty()) {
                error = "field " + std::to_string(count) + " is empty";
                return false;
            }
            if (!bp_cli::parse_float(field, values[count - 1])) {
                // Show the field, cut to a readable length and with control bytes replaced.
                std::string shown(field.substr(0, 40));
                for (char &c : shown)
                    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                        c = '?';
                error = "field " + std::to_string(count) + " is not a finite number: \"" + shown + "\"";
                if (field.size() > 40)
                    error.insert(error.size() - 1, "...");
                return false;
            }
        }
        if (comma == std::string_view::npos)
            break;
        start = comma + 1;
    }
    if (count != kFields) {
        error = "expected 6 comma-separated fields (x0,x1,t0,t1,t2,t3), found " + std::to_string(count);
        return false;
    }
    p.in[0] = values[0];
    p.in[1] = values[1];
    for (int i = 0; i < 4; i++)
        p.target[i] = values[2 + i];
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

bool parse_csv(std::string_view text, std::vector<Pattern> &out, int &line, std::string &error)
{
    line = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t nl = text.find('\n', pos);
        std::string_view row = text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
        pos = nl == std::string_view::npos ? text.size() : nl + 1;
        line++;
        if (!row.empty() && row.back() == '\r')
            row.remove_suffix(1);
        // Blank lines (spaces and tabs only) and comment lines are skipped.
        std::string_view trimmed = row;
        while (!trimmed.empty() && (trimmed.front() == ' ' || trimmed.front() == '\t'))
            trimmed.remove_prefix(1);
        if (trimmed.empty() || trimmed.front() == '#')
            continue;
        Pattern p{};
        if (!parse_line(row, p, error))
            return false;
        out.push_back(p);
    }
    return true;
}

bool load_csv(const std::string &path, std::vector<Pattern> &out, std::string &error)
{
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    char buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        text.append(buffer, got);
    const bool failed = std::ferror(f) != 0;
    const int saved = errno;
    std::fclose(f);
    if (failed) {
        error = path + ": " + (saved ? std::strerror(saved) : "read error");
        return false;
    }
    int line = 0;
    std::string what;
    if (!parse_csv(text, out, line, what)) {
        error = path + ":" + std::to_string(line) + ": " + what;
        return false;
    }
    return true;
}

}  // namespace nn_patterns
