// Input scaling: computed from a training set, applied to any set, kept as a text side file.
#include "tools/common/scaling.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "tools/common/cli.h"
#include "tools/common/text_file.h"

namespace {

// The words of one line, split at spaces and tabs.
std::vector<std::string_view> words_of(std::string_view line)
{
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            i++;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            i++;
        if (i > start)
            words.push_back(line.substr(start, i - start));
    }
    return words;
}

// A float rounded from a double; factor 1 replaces a factor that is not a finite, nonzero float.
float usable_factor(double f)
{
    const float v = static_cast<float>(f);
    return std::isfinite(v) && v != 0.0f ? v : 1.0f;
}

}  // namespace

namespace scaling {

const char *method_name(Method m)
{
    switch (m) {
    case Method::kMinMax:
        return "minmax";
    case Method::kZScore:
        return "zscore";
    case Method::kNone:
        break;
    }
    return "none";
}

bool parse_method(std::string_view text, Method &out)
{
    for (Method m : {Method::kNone, Method::kMinMax, Method::kZScore})
        if (text == method_name(m)) {
            out = m;
            return true;
        }
    return false;
}

Scaling compute(Method m, const nn_patterns::PatternSet &set)
{
    Scaling s;
    s.method = m;
    if (m == Method::kNone)
        return s;
    const std::size_t inputs = static_cast<std::size_t>(set.inputs);
    const std::size_t n = set.size();
    s.offset.assign(inputs, 0.0f);
    s.factor.assign(inputs, 1.0f);
    if (n == 0)
        return s;
    for (std::size_t i = 0; i < inputs; i++) {
        if (m == Method::kMinMax) {
            float low = set.input(0)[i], high = low;
            for (std::size_t k = 1; k < n; k++) {
                const float x = set.input(k)[i];
                low = x < low ? x : low;
                high = x > high ? x : high;
            }
            s.offset[i] = static_cast<float>((static_cast<double>(low) + high) / 2.0);
            s.factor[i] = high > low ? usable_factor(2.0 / (static_cast<double>(high) - low)) : 1.0f;
        } else {
            double sum = 0.0;
            for (std::size_t k = 0; k < n; k++)
                sum += set.input(k)[i];
            const double mean = sum / static_cast<double>(n);
            double squares = 0.0;
            for (std::size_t k = 0; k < n; k++) {
                const double d = set.input(k)[i] - mean;
                squares += d * d;
            }
            const double sd = std::sqrt(squares / static_cast<double>(n));
            s.offset[i] = static_cast<float>(mean);
            s.factor[i] = sd > 0.0 ? usable_factor(1.0 / sd) : 1.0f;
        }
    }
    return s;
}

bool apply(const Scaling &s, nn_patterns::PatternSet &set, std::size_t &bad)
{
    if (s.method == Method::kNone)
        return true;
    const std::size_t inputs = static_cast<std::size_t>(set.inputs);
    for (std::size_t k = 0; k < set.size(); k++) {
        float *x = set.input(k);
        for (std::size_t i = 0; i < inputs; i++) {
            x[i] = static_cast<float>((static_cast<double>(x[i]) - s.offset[i]) * s.factor[i]);
            if (!std::isfinite(x[i])) {
                bad = k;
                return false;
            }
        }
    }
    return true;
}

std::string side_file(const std::string &save_file)
{
    return save_file + ".scale";
}

std::string format(const Scaling &s)
{
    std::string text =
        "# bpnet input scaling: input i is used as (x - offset) * factor\n"
        "method " + std::string(method_name(s.method)) + "\ninputs " + std::to_string(s.offset.size()) +
        "\n# input offset factor\n";
    char line[96];
    for (std::size_t i = 0; i < s.offset.size(); i++) {
        std::snprintf(line, sizeof line, "%zu %.9g %.9g\n", i, static_cast<double>(s.offset[i]),
                      static_cast<double>(s.factor[i]));
        text += line;
    }
    return text;
}

bool load(const std::string &path, int inputs, Scaling &out, std::string &error)
{
    std::string text;
    if (!text_file::read_all(path, text, error))
        return false;
    Scaling s;
    bool have_method = false;
    std::int64_t declared = -1;
    int line = 0;
    std::size_t pos = 0;
    const auto fail = [&](const std::string &what) {
        error = path + ":" + std::to_string(line) + ": " + what;
        return false;
    };
    while (pos < text.size()) {
        const std::size_t nl = text.find('\n', pos);
        std::string_view row(text.data() + pos, (nl == std::string::npos ? text.size() : nl) - pos);
        pos = nl == std::string::npos ? text.size() : nl + 1;
        line++;
        if (!row.empty() && row.back() == '\r')
            row.remove_suffix(1);
        const std::vector<std::string_view> w = words_of(row);
        if (w.empty() || w[0].front() == '#')
            continue;
        if (!have_method) {
            Method m = Method::kNone;
            if (w.size() != 2 || w[0] != "method" || !parse_method(w[1], m) || m == Method::kNone)
                return fail("expected \"method minmax\" or \"method zscore\"");
            s.method = m;
            have_method = true;
        } else if (declared < 0) {
            if (w.size() != 2 || w[0] != "inputs" || !bp_cli::parse_signed(w[1], 1, INT32_MAX, declared))
                return fail("expected \"inputs N\"");
            if (declared != inputs)
                return fail("the scaling is for " + std::to_string(declared) + " inputs, the network has " +
                            std::to_string(inputs));
        } else {
            const std::size_t i = s.offset.size();
            std::uint64_t index = 0;
            float offset = 0.0f, factor = 0.0f;
            if (i == static_cast<std::size_t>(declared))
                return fail("more lines than the " + std::to_string(declared) + " inputs");
            if (w.size() != 3 || !bp_cli::parse_unsigned(w[0], UINT32_MAX, index) || index != i ||
                !bp_cli::parse_float(w[1], offset) || !bp_cli::parse_float(w[2], factor))
                return fail("expected \"" + std::to_string(i) + " OFFSET FACTOR\" with two finite numbers");
            s.offset.push_back(offset);
            s.factor.push_back(factor);
        }
    }
    if (!have_method || declared < 0 || s.offset.size() != static_cast<std::size_t>(declared))
        return fail("the scaling ends before its " +
                    (declared < 0 ? std::string("header") : std::to_string(declared) + " inputs"));
    out = s;
    return true;
}

}  // namespace scaling
