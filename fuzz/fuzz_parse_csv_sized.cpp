// Fuzz target: the CSV pattern reader for any network size and both target forms. The first
// byte of the input chooses the sizes (1 to 8 inputs, 1 to 8 outputs) and the form (a target
// vector, or one class index); the rest is the text. Accepted text: one pattern per
// non-blank, non-comment line, every value finite, a class line's targets one-hot, and the
// sequences' starts ascending from 0 within the set. A
// refusal: a line within the text, a message, and exactly the patterns of the lines before
// it kept. A broken invariant aborts with its description, so the fuzzer keeps the input.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/common/nn_patterns.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace {

[[noreturn]] void broken(const std::string &what)
{
    std::fprintf(stderr, "\ninvariant broken: %s\n", what.c_str());
    std::abort();
}

bool blank_or_comment(std::string_view line)
{
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    for (char c : line) {
        if (c == '#')
            return true;
        if (c != ' ' && c != '\t')
            return false;
    }
    return true;
}

// Pattern lines before line `upto` (all of them for 0), and the number of lines.
std::size_t pattern_lines(std::string_view text, int upto, int &lines)
{
    std::size_t count = 0;
    lines = 0;
    for (std::size_t pos = 0; pos <= text.size();) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        lines++;
        if ((upto == 0 || lines < upto) && !blank_or_comment(text.substr(pos, end - pos)))
            count++;
        pos = end + 1;
    }
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const int inputs = 1 + (data[0] & 7);
    const int outputs = 1 + ((data[0] >> 3) & 7);
    const auto form = (data[0] & 64) ? nn_patterns::TargetForm::kClass : nn_patterns::TargetForm::kVector;
    const std::string_view text(reinterpret_cast<const char *>(data + 1), size - 1);
    nn_patterns::PatternSet set;
    int line = -7;
    std::string error;
    const bool ok = nn_patterns::parse_csv_sized(text, inputs, outputs, form, set, line, error);
    if (set.inputs != inputs || set.outputs != outputs)
        broken("the set's sizes are not the ones asked for");
    int lines = 0;
    if (ok) {
        if (set.size() != pattern_lines(text, 0, lines))
            broken("patterns parsed differ from the pattern lines");
        if (set.size() > 0 && (set.starts.empty() || set.starts[0] != 0))
            broken("the first sequence does not start at the first pattern");
        for (std::size_t s = 1; s < set.starts.size(); s++)
            if (set.starts[s] <= set.starts[s - 1] || set.starts[s] >= set.size())
                broken("the sequences' starts are not ascending within the set");
        for (std::size_t k = 0; k < set.size(); k++) {
            int ones = 0;
            for (int i = 0; i < inputs; i++)
                if (!std::isfinite(set.input(k)[i]))
                    broken("an input is not finite");
            for (int j = 0; j < outputs; j++) {
                const float t = set.target(k)[j];
                if (!std::isfinite(t))
                    broken("a target is not finite");
                ones += t == 1.0f;
                if (form == nn_patterns::TargetForm::kClass && t != 0.0f && t != 1.0f)
                    broken("a class target is neither 0 nor 1");
            }
            if (form == nn_patterns::TargetForm::kClass && ones != 1)
                broken("a class line's targets are not one-hot");
        }
        return 0;
    }
    const std::size_t before = pattern_lines(text, line, lines);
    if (line < 1 || line > lines)
        broken("a refusal at line " + std::to_string(line) + " of " + std::to_string(lines));
    if (error.empty())
        broken("a refusal without a message");
    if (set.size() != before)
        broken("a refusal keeps other patterns than those of the lines before it");
    return 0;
}
