// Invariant checks of the readers. Every check starts from one known state: the initial
// network of seed 123 with every non-trainable value and the step counter set to marked
// values, and error_string filled with a marker byte and no NUL, so that any change a
// reader makes is visible. A check returns "" when every invariant held.
#include "fuzz/reader_checks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bp/BpSim.h"
#include "gen/rtnet/bpnet_network.h"
#include "gen/rtnet/rtnet_state.h"
#include "network/nn.h"
#include "reference/nn_layout.h"
#include "tools/common/nn_patterns.h"

using namespace nn_layout;

namespace {

constexpr char kErrorFill = 'Z';
constexpr int kMarkedCounter = 0x13572468;

// Known states: after nn_init_network, and the marked state every check starts from.
float g_init[NN_DATA_SIZE];
int g_init_counter;
float g_base[NN_DATA_SIZE];
bool g_trainable[NN_DATA_SIZE];
bool g_ready = false;
int g_last_result = 0;  // result of the last load, or 1/0 for parse_csv
std::string g_scratch;  // scratch folder: input file, dump file

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...)
{
    char buf[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

std::uint32_t bits_of(float v)
{
    std::uint32_t b;
    std::memcpy(&b, &v, 4);
    return b;
}

float float_of(std::uint32_t b)
{
    float v;
    std::memcpy(&v, &b, 4);
    return v;
}

void remove_scratch()
{
    if (g_scratch.empty())
        return;
    const std::string cmd = "rm -rf '" + g_scratch + "'";
    if (std::system(cmd.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", g_scratch.c_str());
    g_scratch.clear();
}

// A private folder for the files the checks write: under $TMPDIR when it is set, else in
// memory when /dev/shm is there. (A fuzzer may end without running exit handlers; the
// caller's TMPDIR then lets it clear what is left.)
void make_scratch()
{
    const char *tmp = std::getenv("TMPDIR");
    std::vector<std::string> roots{"/dev/shm", "/tmp"};
    if (tmp != nullptr && *tmp != '\0')
        roots.insert(roots.begin(), tmp);
    for (const std::string &root : roots) {
        std::string templ = root + "/bpnet-readers-XXXXXX";
        if (mkdtemp(templ.data()) != nullptr) {
            g_scratch = templ;
            std::atexit(remove_scratch);
            return;
        }
    }
    std::fprintf(stderr, "reader checks: cannot make a scratch folder\n");
    std::abort();
}

// The marked state: initial network, every value the readers must not touch set to a
// value of its own (one of them a NaN with a payload, so that only a bitwise compare passes).
void ensure_ready()
{
    if (g_ready)
        return;
    make_scratch();
    nn_init_network();
    std::memcpy(g_init, network_data, sizeof g_init);
    g_init_counter = b0bcounter;
    for (const Block &b : kTrainableOrder)
        for (int i = 0; i < b.count; i++)
            g_trainable[b.start + i] = true;
    for (int i = 0; i < NN_DATA_SIZE; i++)
        if (!g_trainable[i])
            network_data[i] = 1000.0f + static_cast<float>(i);
    network_data[kH1ThrStep] = float_of(0x7fc01234u);
    std::memcpy(g_base, network_data, sizeof g_base);
    g_ready = true;
}

void reset_state()
{
    std::memcpy(network_data, g_base, sizeof network_data);
    b0bcounter = kMarkedCounter;
    std::memset(error_string, kErrorFill, NN_ERROR_SIZE);
}

// Lowest free descriptor: a reader that leaks one moves it.
int lowest_free_fd()
{
    const int fd = open("/dev/null", O_RDONLY);
    if (fd >= 0)
        close(fd);
    return fd;
}

bool write_bytes(const std::string &path, const std::uint8_t *data, std::size_t size)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return false;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t put = write(fd, data + done, size - done);
        if (put <= 0) {
            close(fd);
            return false;
        }
        done += static_cast<std::size_t>(put);
    }
    return close(fd) == 0;
}

bool error_untouched()
{
    for (int i = 0; i < NN_ERROR_SIZE; i++)
        if (error_string[i] != kErrorFill)
            return false;
    return true;
}

// error_string after a load: terminated within its size whenever written; after a failure
// it holds a message that starts with a line break; after a success it is untouched or,
// when warnings are allowed, holds a warning.
std::string check_error_string(bool failed, bool warnings_allowed)
{
    if (!failed && error_untouched())
        return "";
    if (std::memchr(error_string, '\0', NN_ERROR_SIZE) == nullptr)
        return "error_string is not terminated within its 128 bytes";
    if (failed) {
        if (error_string[0] != '\n' || error_string[1] == '\0')
            return format("failed load left no message (error_string \"%s\")", error_string);
        return "";
    }
    if (!warnings_allowed)
        return format("successful load wrote error_string \"%s\"", error_string);
    if (std::strncmp(error_string, "\nWarning", 8) != 0)
        return format("successful load left a message that is no warning: \"%s\"", error_string);
    return "";
}

// Bitwise comparison of network_data and b0bcounter with an expected state.
std::string compare_state(const char *when, const float *expected, int expected_counter, bool trainables_too)
{
    for (int i = 0; i < NN_DATA_SIZE; i++) {
        if (!trainables_too && g_trainable[i])
            continue;
        if (bits_of(network_data[i]) != bits_of(expected[i]))
            return format("%s: network_data[%d] changed from %08x to %08x", when, i, bits_of(expected[i]),
                          bits_of(network_data[i]));
    }
    if (trainables_too && b0bcounter != expected_counter)
        return format("%s: b0bcounter changed from %d to %d", when, expected_counter, b0bcounter);
    return "";
}

// Invert every bit of the trainable values and of the counter: a reload must restore them.
void scramble_trainables()
{
    for (int i = 0; i < NN_DATA_SIZE; i++)
        if (g_trainable[i])
            network_data[i] = float_of(~bits_of(network_data[i]));
    b0bcounter = ~b0bcounter;
}

// A second, independent reading of a save file: the bytes are walked in memory the way the
// loader walks the file, and the result is what the load must give. A file is refused when
// a field it reads lies past the end, a name has no NUL within 100 bytes, the record table
// is out of range, no record is named "nn", or a record of nn is unknown or of the wrong size.
struct Reference {
    bool loads = false;
    int counter = 0;
    std::vector<float> values;
    std::string warning;  // the warning the header leaves, "" for none
};

// Reading position in the bytes of a save file.
struct Cursor {
    const std::uint8_t *data;
    std::size_t size;
    std::size_t at;
};

bool take_int32(Cursor &c, std::int32_t &v)
{
    if (c.at > c.size || c.size - c.at < 4)
        return false;
    std::memcpy(&v, c.data + c.at, 4);
    c.at += 4;
    return true;
}

// A name: at most 99 characters and its NUL, all inside the file.
bool take_name(Cursor &c, std::string &out)
{
    for (std::size_t i = 0; i < 100; i++) {
        if (c.at + i >= c.size)
            return false;
        if (c.data[c.at + i] == 0) {
            out.assign(reinterpret_cast<const char *>(c.data + c.at), i);
            c.at += i + 1;
            return true;
        }
    }
    return false;
}

bool take_floats(Cursor &c, float *dest, std::int32_t count)
{
    const std::size_t bytes = 4 * static_cast<std::size_t>(count);
    if (c.at > c.size || c.size - c.at < bytes)
        return false;
    std::memcpy(dest, c.data + c.at, bytes);
    c.at += bytes;
    return true;
}

// Layer records (thresholds, and the feedback arrays named like layers: "H:a1") and connection
// records: names, start in network_data, element count.
struct RefVector {
    std::string layer;
    const char *array;  // null for a layer record, else the array's name
    int start;
    int count;
};

// What the second readings need of a network: its record's name, its layer records and
// connection records, its trainable blocks in the order of the ASCII dump, and its filters,
// whose coefficients a load must leave stable.
struct RefFilter {
    int order;
    int coef;  // a1 of every unit, then a2
    int size;
};
struct RefLayout {
    std::string name;
    int layer_records = 0;
    std::vector<RefVector> vectors;  // the layer records first
    std::vector<std::string> arrays;  // the connection records' array names (storage of RefVector::array)
    std::vector<std::pair<int, int>> ascii_blocks;  // (start, count) in dump order
    std::vector<RefFilter> filters;
    int data_size = 0;
};

const RefVector kNnVectors[] = {
    {"H1", nullptr, kH1Thr, kH1},           {"H2", nullptr, kH2Thr, kH2},
    {"Out", nullptr, kOutThr, kOut},        {"H1", "H16", kW_H1_In, 8},
    {"H2", "H25", kW_H2_In, 4},             {"H2", "H24", kW_H2_H1, 8},
    {"Out", "Out3", kW_Out_In, 8},          {"Out", "Out2", kW_Out_H1, 16},
    {"Out", "Out1", kW_Out_H2, 8},
};

// Where the values of nn's ASCII dump go, in dump order: (first index, count) of each block.
constexpr int kAsciiBlocks[9][2] = {{38, 4}, {110, 8}, {134, 16}, {182, 8}, {32, 2},
                                    {74, 4}, {86, 8},  {20, 4},   {50, 8}};

// nn's layout, written out by hand from its description.
const RefLayout &nn_layout_ref()
{
    static const RefLayout layout = [] {
        RefLayout l;
        l.name = "nn";
        l.layer_records = 3;
        l.vectors.assign(std::begin(kNnVectors), std::end(kNnVectors));
        for (const auto &b : kAsciiBlocks)
            l.ascii_blocks.emplace_back(b[0], b[1]);
        l.data_size = NN_DATA_SIZE;
        return l;
    }();
    return layout;
}

// Whether every filter of `values` is stable, by the library's tests (a value that is not a
// number passes them).
bool filters_stable(const RefLayout &layout, const float *values)
{
    for (const RefFilter &f : layout.filters)
        for (int i = 0; i < f.size; i++) {
            const float a1 = values[f.coef + i];
            if (f.order == 1 ? BPunstable_1st(a1) != 0 : BPunstable_2nd(a1, values[f.coef + f.size + i]) != 0)
                return false;
        }
    return true;
}

// Reads the vector a record names into ref.values; false when the record is unknown,
// of the wrong size or cut short.
bool reference_vector(Cursor &c, const RefLayout &layout, const std::string &layer, const char *array_name,
                      const std::string &array, Reference &ref)
{
    std::int32_t count = 0;
    if (!take_int32(c, count))
        return false;
    for (const RefVector &v : layout.vectors) {
        if ((v.array == nullptr) != (array_name == nullptr) || layer != v.layer)
            continue;
        if (v.array != nullptr && array != v.array)
            continue;
        return count == v.count && take_floats(c, ref.values.data() + v.start, count);
    }
    return false;
}

void reference_load(const std::uint8_t *data, std::size_t size, const float *before, const RefLayout &layout,
                    Reference &ref)
{
    ref.values.assign(before, before + layout.data_size);
    Cursor c{data, size, 0};
    std::int32_t id = 0, version = 0, revision = 0, records = 0;
    if (!take_int32(c, id) || !take_int32(c, version) || !take_int32(c, revision))
        return;
    if (revision != 0)
        ref.warning = "\nWarning: Dump file created with another version of compiler.\n";
    else if (version != 7)
        ref.warning = format("\nWarning: Dump file created with another version (v.%d) of compiler.\n", version);
    else if (id != 100)
        ref.warning = "\nWarning: This dump file is from another compiler.\n";
    c.at += 256;
    if (!take_int32(c, records) || records < 0)
        return;
    // Record i starts after the table, at the sum of the lengths before it; every position
    // must lie inside the file.
    const long long start = 272 + 4LL * records;
    if (start > static_cast<long long>(size))
        return;
    std::vector<long long> positions;
    long long p = start;
    for (std::int32_t i = 0; i < records; i++) {
        std::int32_t length = 0;
        if (p >= static_cast<long long>(size) || !take_int32(c, length))
            return;
        positions.push_back(p);
        p += length;
        if (p < start)
            p = LLONG_MAX / 2;
    }
    // The first record of the network's name, then its counter, layers and connections.
    bool found = false;
    std::string name, array;
    for (long long pos : positions) {
        c.at = static_cast<std::size_t>(pos);
        if (!take_name(c, name))
            return;
        if (name == layout.name) {
            found = true;
            break;
        }
    }
    std::int32_t counter = 0, layers = 0, connections = 0;
    if (!found || !take_int32(c, counter) || !take_int32(c, layers) || layers != layout.layer_records)
        return;
    for (int l = 0; l < layout.layer_records; l++)
        if (!take_name(c, name) || !reference_vector(c, layout, name, nullptr, "", ref))
            return;
    if (!take_int32(c, connections))
        return;
    for (std::int32_t k = 0; k < connections; k++)
        if (!take_name(c, name) || !take_name(c, array) || !reference_vector(c, layout, name, "", array, ref))
            return;
    // A file that leaves a filter unstable is refused.
    if (!filters_stable(layout, ref.values.data()))
        return;
    ref.counter = counter;
    ref.loads = true;
}

// Outcome of one binary load of the bytes from the state `before`: the result, the state and
// the message all agree with the reference reading.
std::string check_binary_outcome(const std::uint8_t *data, std::size_t size, int result, const float *before,
                                 int before_counter)
{
    if (result != 0 && result != -2)
        return format("load of an existing file returned %d", result);
    std::string fault = check_error_string(result != 0, true);
    if (!fault.empty())
        return fault;
    Reference ref;
    reference_load(data, size, before, nn_layout_ref(), ref);
    if (ref.loads != (result == 0))
        return ref.loads ? format("a well-formed file was refused: %s", error_string)
                         : "a damaged file was loaded";
    if (result != 0)
        return compare_state("after a failed load", before, before_counter, true);
    if (ref.warning.empty() ? !error_untouched() : std::strcmp(error_string, ref.warning.c_str()) != 0)
        return format("warning left by the load: \"%s\", expected \"%s\"",
                      error_untouched() ? "(none)" : error_string, ref.warning.c_str());
    return compare_state("after a successful load", ref.values.data(), ref.counter, true);
}

// After a successful binary load: dump, scramble, load the dump, and compare bit for bit.
std::string check_binary_round_trip()
{
    float loaded[NN_DATA_SIZE];
    std::memcpy(loaded, network_data, sizeof loaded);
    const int counter = b0bcounter;
    const std::string dump = g_scratch + "/dump.save";
    if (nn_dump_network(dump.c_str()) != 0)
        return format("dump after a successful load failed: %s", error_string);
    struct stat st;
    if (stat(dump.c_str(), &st) != 0 || st.st_size != 633)
        return "dump after a successful load is not 633 bytes";
    scramble_trainables();
    std::memset(error_string, kErrorFill, NN_ERROR_SIZE);
    const int result = nn_load_network(dump.c_str());
    if (result != 0)
        return format("reloading the dump returned %d: %s", result, error_string);
    if (!error_untouched())
        return "reloading the dump left a message in error_string";
    return compare_state("dump and reload", loaded, counter, true);
}

// Standard input made of the bytes (an empty input reads from /dev/null).
FILE *open_input(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return std::fopen("/dev/null", "r");
    return fmemopen(const_cast<std::uint8_t *>(data), size, "r");
}

// Run the ASCII loader on the bytes as standard input; at_end tells whether it left the
// input at its end.
int load_ascii_from(const std::uint8_t *data, std::size_t size, bool &at_end)
{
    FILE *in = open_input(data, size);
    if (in == nullptr) {
        std::perror("reader checks: fmemopen");
        std::abort();
    }
    FILE *saved = stdin;
    stdin = in;
    const int result = nn_load_ascii_network();
    at_end = std::fgetc(stdin) == EOF;
    stdin = saved;
    std::fclose(in);
    return result;
}

// What nn_ascii_dump_network prints, captured from standard output.
std::string capture_ascii_dump(int labelled)
{
    char *buf = nullptr;
    std::size_t len = 0;
    FILE *mem = open_memstream(&buf, &len);
    if (mem == nullptr) {
        std::perror("reader checks: open_memstream");
        std::abort();
    }
    std::fflush(stdout);
    FILE *saved = stdout;
    stdout = mem;
    nn_ascii_dump_network(labelled);
    stdout = saved;
    std::fclose(mem);
    std::string text(buf, len);
    std::free(buf);
    return text;
}

const std::uint8_t *bytes_of(const std::string &s)
{
    return reinterpret_cast<const std::uint8_t *>(s.data());
}

// After a successful ASCII load: the bare dump reloads to the same text, every value of
// magnitude 0.0001 or more bit for bit; the labelled form holds no "#" and is refused.
std::string check_ascii_round_trip()
{
    float loaded[NN_DATA_SIZE];
    std::memcpy(loaded, network_data, sizeof loaded);
    const int counter = b0bcounter;
    const std::string first = capture_ascii_dump(0);
    const std::string labelled = capture_ascii_dump(1);
    if (labelled.find('#') != std::string::npos)
        return "the labelled dump holds a \"#\"";

    scramble_trainables();
    std::memset(error_string, kErrorFill, NN_ERROR_SIZE);
    bool at_end = false;
    int result = load_ascii_from(bytes_of(first), first.size(), at_end);
    if (result != 0)
        return format("reloading the bare dump returned %d: %s", result, error_string);
    if (b0bcounter != counter)
        return format("reloading the bare dump: b0bcounter %d, expected %d", b0bcounter, counter);
    for (int i = 0; i < NN_DATA_SIZE; i++) {
        const float v = loaded[i];
        const bool exact = !g_trainable[i] || (std::isfinite(v) && std::fabs(v) >= 1e-4f);
        if (exact && bits_of(network_data[i]) != bits_of(v))
            return format("reloading the bare dump: network_data[%d] is %08x, expected %08x", i,
                          bits_of(network_data[i]), bits_of(v));
        if (std::isnan(v) != std::isnan(network_data[i]))
            return format("reloading the bare dump: network_data[%d] NaN-ness changed", i);
    }
    const std::string second = capture_ascii_dump(0);
    if (second != first)
        return "dump, reload and dump again gives another text";

    float reloaded[NN_DATA_SIZE];
    std::memcpy(reloaded, network_data, sizeof reloaded);
    const int reloaded_counter = b0bcounter;
    result = load_ascii_from(bytes_of(labelled), labelled.size(), at_end);
    if (result != -2)
        return format("loading the labelled dump returned %d", result);
    return compare_state("after refusing the labelled dump", reloaded, reloaded_counter, true);
}

// The driver's use of a loaded network: forward passes at a few grid points; every output
// of a logistic unit is within [0, 1] or NaN.
std::string check_forward_passes()
{
    static float input[2];
    constexpr float kPoints[][2] = {{-1.0f, -1.0f}, {0.0f, 0.0f}, {0.98f, -0.1f}, {-0.5f, 0.98f}};
    nn_set_input(input);
    const float *out = nn_get_output();
    for (const auto &p : kPoints) {
        input[0] = p[0];
        input[1] = p[1];
        nn_propagate_forward();
        for (int k = 0; k < kOut; k++)
            if (!std::isnan(out[k]) && !(out[k] >= 0.0f && out[k] <= 1.0f))
                return format("forward pass at (%g, %g): output %d is %g", static_cast<double>(p[0]),
                              static_cast<double>(p[1]), k, static_cast<double>(out[k]));
    }
    return "";
}

// A CSV line that holds no pattern: after one trailing carriage return is dropped, only
// spaces and tabs, or a "#" after them.
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

// Number of lines before line `upto` (from 1; 0 means all) that hold a pattern.
std::size_t pattern_lines(std::string_view text, int upto)
{
    std::size_t count = 0;
    int number = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        number++;
        if (upto > 0 && number >= upto)
            break;
        if (!blank_or_comment(text.substr(pos, end - pos)))
            count++;
        pos = end + 1;
    }
    return count;
}

// The iteration count an ASCII dump holds, read independently of the loader: the decimal
// integer after the first "#" and any white space. False when there is none, or when it is
// outside the range of the counter.
bool ascii_count(std::string_view text, int &count)
{
    std::size_t i = text.find('#');
    if (i == std::string_view::npos)
        return false;
    i++;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        i++;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    long long value = 0;
    std::size_t digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++, digits++)
        if (value <= 1LL << 40)
            value = value * 10 + (text[i] - '0');
    if (negative)
        value = -value;
    if (digits == 0 || value < INT_MIN || value > INT_MAX)
        return false;
    count = static_cast<int>(value);
    return true;
}

// The values of parsed patterns against an independent reading of the text: each pattern
// line split at its commas, each field without its surrounding blanks read with strtof.
std::string compare_csv_values(std::string_view text, const std::vector<nn_patterns::Pattern> &out)
{
    std::size_t pos = 0, next = 0;
    int number = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        number++;
        if (blank_or_comment(line))
            continue;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (next >= out.size())
            return format("line %d holds a pattern the reader did not return", number);
        const nn_patterns::Pattern &p = out[next++];
        const float parsed[6] = {p.in[0], p.in[1], p.target[0], p.target[1], p.target[2], p.target[3]};
        std::size_t from = 0;
        for (int f = 0; f < 6; f++) {
            const std::size_t comma = std::min(line.find(',', from), line.size());
            std::string field(line.substr(from, comma - from));
            from = comma + 1;
            const float v = std::strtof(field.c_str(), nullptr);
            if (bits_of(v) != bits_of(parsed[f]))
                return format("line %d field %d: parsed %08x, the text holds %s", number, f + 1,
                              bits_of(parsed[f]), field.c_str());
        }
    }
    return "";
}

// A second reading of an ASCII dump held in a string without NUL bytes, with sscanf over the
// text: the count after the first "#", then the trainable values in dump order (62 for nn);
// refused when they leave a filter unstable. The state the load must give, or false when the
// dump must be refused.
bool reference_ascii(const std::string &text, const RefLayout &layout, const float *before, float *values,
                     int &counter)
{
    std::size_t hash = text.find('#');
    if (hash == std::string::npos)
        return false;
    const char *p = text.c_str() + hash + 1;
    long long count = 0;
    int used = 0;
    if (std::sscanf(p, "\n%lld%n", &count, &used) != 1 || count < INT_MIN || count > INT_MAX)
        return false;
    p += used;
    std::memcpy(values, before, sizeof(float) * static_cast<std::size_t>(layout.data_size));
    for (const auto &[start, n] : layout.ascii_blocks) {
        for (int i = 0; i < n; i++) {
            used = 0;
            if (std::sscanf(p, "%f%n", &values[start + i], &used) != 1)
                return false;
            p += used;
        }
    }
    if (!filters_stable(layout, values))
        return false;
    counter = static_cast<int>(count);
    return true;
}

// ---- Networks of other shapes, built at run time from a description.

// The shapes an input may pick with its first byte (kShapeByte + k picks shape k, and the rest
// of the input is the file); any other first byte leaves the whole input to nn. Receptive
// fields of one and two dimensions, unshared and shared, and filters of order 1 and 2.
constexpr std::uint8_t kShapeByte = 0xF1;
const char *const kShapeTexts[] = {
    // 1-D fields: 3 units over 7 inputs, and a shared field of 5 units.
    "network = \"fields1d\"\ninputs = 7\n"
    "[[layer]]\nname = \"A\"\nunits = 3\nfrom = [{ source = \"$INPUTS\", field = 3, overlap = 1 }]\n"
    "[[layer]]\nname = \"S\"\nunits = 5\nfrom = [{ source = \"$INPUTS\", field = 3, overlap = 2, shared = true }]\n"
    "[[layer]]\nname = \"Out\"\nunits = 2\nfrom = [\"A\", \"S\"]\n",
    // 2-D fields over a 4 x 4 grid: unshared 2 x 2 tiles, a shared 3 x 3 kernel, and a shortcut.
    "network = \"fields2d\"\ninputs = [4, 4]\n"
    "[[layer]]\nname = \"C\"\nshape = [2, 2]\nfrom = [{ source = \"$INPUTS\", field = [2, 2], overlap = 0 }]\n"
    "[[layer]]\nname = \"K\"\nshape = [2, 2]\nfrom = [{ source = \"$INPUTS\", field = [3, 3], overlap = 2, shared = true }]\n"
    "[[layer]]\nname = \"Out\"\nunits = 3\nfrom = [\"C\", \"K\", \"$INPUTS\"]\n",
    // A hidden layer with filters of order 1.
    "network = \"fb1\"\ninputs = 3\n"
    "[[layer]]\nname = \"H\"\nunits = 3\nfeedback = 1\nfrom = [\"$INPUTS\"]\n"
    "[[layer]]\nname = \"Out\"\nunits = 2\nunit = \"linear\"\nfrom = [\"H\"]\n",
    // Filters of order 2 on a layer of 1-D fields and on the output, order 1 between them.
    "network = \"fb2\"\ninputs = 4\n"
    "[[layer]]\nname = \"H\"\nunits = 2\nunit = \"tanh\"\nfeedback = 2\nfrom = [{ source = \"$INPUTS\", field = 2 }]\n"
    "[[layer]]\nname = \"G\"\nunits = 2\nfeedback = 1\nfrom = [\"$INPUTS\"]\n"
    "[[layer]]\nname = \"Out\"\nunits = 2\nfeedback = 2\nfrom = [\"H\", \"G\", \"$INPUTS\"]\n",
};
constexpr int kShapeCount = static_cast<int>(sizeof kShapeTexts / sizeof kShapeTexts[0]);

// The settings every check starts a shape's network from; no load may change them.
struct Settings {
    float rate, inertia, threshold, init_range;
    int init_seed;
    std::string path;
};

// One shape: its network, its layout for the second readings, the marked state every check
// starts from, and which values a load may write (thresholds, weights, coefficients).
struct Shape {
    std::unique_ptr<bpnet::Network> net;
    RefLayout layout;
    std::vector<float> base;
    std::vector<bool> loadable;
    Settings settings;
};
Shape g_shapes[kShapeCount];

Settings settings_of(bpnet::Network &net)
{
    const bpnet::NetworkState &st = net.state();
    return {net.learning_rate(), net.inertia(), net.threshold(), st.init_range, st.init_seed, net.kernel_path()};
}

// The layout of a network built at run time, read from its tables: the save file's records
// in the order it writes them, and the dump's blocks from the output layer back.
RefLayout layout_of(bpnet::Network &net)
{
    const bpm::Module &m = net.state().module;
    RefLayout l;
    l.name = m.name;
    l.data_size = m.data_size;
    for (int i = 0; i < m.layer_count; i++)
        l.vectors.push_back({m.layers[i].name, nullptr, m.layers[i].thr, m.layers[i].size});
    for (int i = 0; i < m.layer_count; i++) {
        const bpm::LayerInfo &layer = m.layers[i];
        for (int k = 0; k < layer.feedback; k++)
            l.vectors.push_back({k == 0 ? layer.a1_name : layer.a2_name, nullptr, layer.coef + k * layer.size, layer.size});
        if (layer.feedback > 0)
            l.filters.push_back({layer.feedback, layer.coef, layer.size});
    }
    l.layer_records = static_cast<int>(l.vectors.size());
    for (int i = 0; i < m.connection_count; i++) {
        const bpm::ConnectionInfo &c = m.connections[i];
        l.vectors.push_back({m.layers[c.layer].name, c.array, c.weights, c.count});
    }
    for (int i = m.layer_count - 1; i >= 0; i--) {
        const bpm::LayerInfo &layer = m.layers[i];
        l.ascii_blocks.emplace_back(layer.thr, layer.size);
        for (int c = layer.first; c < layer.first + layer.count; c++)
            l.ascii_blocks.emplace_back(m.connections[c].weights, m.connections[c].count);
        if (layer.feedback > 0)
            l.ascii_blocks.emplace_back(layer.coef, layer.feedback * layer.size);
    }
    return l;
}

// The bytes of the save file of a layout: header, one record length, and the record.
std::size_t save_file_size(const RefLayout &l)
{
    std::size_t record = l.name.size() + 1 + 4 + 4 + 4;
    for (const RefVector &v : l.vectors) {
        record += v.layer.size() + 1 + 4 + 4 * static_cast<std::size_t>(v.count);
        if (v.array != nullptr)
            record += std::strlen(v.array) + 1;
    }
    return 12 + 256 + 4 + 4 + record;
}

// The shape an input picks, built on first use; null for nn.
Shape *shape_of(const std::uint8_t *data, std::size_t size)
{
    if (size == 0 || data[0] < kShapeByte || data[0] >= kShapeByte + kShapeCount)
        return nullptr;
    Shape &s = g_shapes[data[0] - kShapeByte];
    if (s.net != nullptr)
        return &s;
    // Marked values everywhere a load must not write (one a NaN with a payload), trainable
    // values from initialization, and coefficients inside the stable region, each unit's its
    // own, so that a load that moves any value shows.
    s.net = bpnet::Network::from_text(kShapeTexts[data[0] - kShapeByte], "shape.toml");
    s.net->initialize(123, 0.5f);
    s.layout = layout_of(*s.net);
    s.loadable.assign(static_cast<std::size_t>(s.layout.data_size), false);
    for (const auto &[start, n] : s.layout.ascii_blocks)
        for (int i = 0; i < n; i++)
            s.loadable[static_cast<std::size_t>(start + i)] = true;
    float *d = s.net->data();
    bool nan_placed = false;
    for (int i = 0; i < s.layout.data_size; i++) {
        if (s.loadable[static_cast<std::size_t>(i)])
            continue;
        d[i] = nan_placed ? 1000.0f + static_cast<float>(i) : float_of(0x7fc04321u);
        nan_placed = true;
    }
    for (const RefFilter &f : s.layout.filters)
        for (int i = 0; i < f.size; i++) {
            d[f.coef + i] = 0.25f + 0.0625f * static_cast<float>(i);
            if (f.order == 2)
                d[f.coef + f.size + i] = -0.125f - 0.03125f * static_cast<float>(i);
        }
    s.net->set_learning_rate(0.375f);
    s.net->set_inertia(0.625f);
    s.net->set_threshold(0.03125f);
    s.base.assign(d, d + s.layout.data_size);
    s.settings = settings_of(*s.net);
    return &s;
}

void reset_shape(Shape &s)
{
    std::memcpy(s.net->data(), s.base.data(), s.base.size() * sizeof(float));
    s.net->set_counter(kMarkedCounter);
}

// Bitwise comparison of a shape's data (only what no load may write, unless `loadables_too`),
// its counter (with `loadables_too`) and its settings with an expected state.
std::string compare_shape(const char *when, Shape &s, const float *expected, int expected_counter, bool loadables_too)
{
    const float *d = s.net->data();
    for (int i = 0; i < s.layout.data_size; i++) {
        if (!loadables_too && s.loadable[static_cast<std::size_t>(i)])
            continue;
        if (bits_of(d[i]) != bits_of(expected[i]))
            return format("%s: %s: data[%d] changed from %08x to %08x", s.layout.name.c_str(), when, i,
                          bits_of(expected[i]), bits_of(d[i]));
    }
    if (loadables_too && s.net->counter() != expected_counter)
        return format("%s: %s: counter changed from %d to %d", s.layout.name.c_str(), when, expected_counter,
                      s.net->counter());
    const Settings now = settings_of(*s.net);
    if (bits_of(now.rate) != bits_of(s.settings.rate) || bits_of(now.inertia) != bits_of(s.settings.inertia) ||
        bits_of(now.threshold) != bits_of(s.settings.threshold) ||
        bits_of(now.init_range) != bits_of(s.settings.init_range) || now.init_seed != s.settings.init_seed ||
        now.path != s.settings.path)
        return s.layout.name + ": " + when + ": the settings changed";
    return "";
}

// Invert every bit of the values a load writes and of the counter: a reload must restore them.
void scramble_shape(Shape &s)
{
    float *d = s.net->data();
    for (int i = 0; i < s.layout.data_size; i++)
        if (s.loadable[static_cast<std::size_t>(i)])
            d[i] = float_of(~bits_of(d[i]));
    s.net->set_counter(~s.net->counter());
}

// Run a load or save; true when it was refused, with its message in `message`.
template <typename Load>
bool refused_load(Load load, std::string &message)
{
    try {
        load();
        return false;
    } catch (const bpnet::Error &e) {
        message = e.what();
        return true;
    }
}

std::string check_shape_binary(Shape &s, const std::uint8_t *data, std::size_t size)
{
    const std::string input = g_scratch + "/shape-input.save";
    if (!write_bytes(input, data, size))
        return "cannot write the input file";
    reset_shape(s);
    const int fd_before = lowest_free_fd();
    std::string message;
    const bool refused = refused_load([&] { s.net->load(input); }, message);
    g_last_result = refused ? -2 : 0;
    if (lowest_free_fd() != fd_before)
        return s.layout.name + ": the load leaked a file descriptor";
    Reference ref;
    reference_load(data, size, s.base.data(), s.layout, ref);
    if (ref.loads == refused)
        return ref.loads ? s.layout.name + ": a well-formed file was refused: " + message
                         : s.layout.name + ": a damaged file was loaded";
    if (refused && message.empty())
        return s.layout.name + ": a refused load gave no message";
    if (refused)
        return compare_shape("after a failed load", s, s.base.data(), kMarkedCounter, true);
    std::string fault = compare_shape("after a successful load", s, ref.values.data(), ref.counter, true);
    if (!fault.empty())
        return fault;

    // Round trip: save, scramble, load the save file, and compare bit for bit.
    const std::vector<float> loaded(s.net->data(), s.net->data() + s.layout.data_size);
    const int counter = s.net->counter();
    const std::string dump = g_scratch + "/shape-dump.save";
    if (refused_load([&] { s.net->save(dump); }, message))
        return s.layout.name + ": save after a successful load failed: " + message;
    struct stat st;
    if (stat(dump.c_str(), &st) != 0 || static_cast<std::size_t>(st.st_size) != save_file_size(s.layout))
        return format("%s: the save file after a successful load is not %zu bytes", s.layout.name.c_str(),
                      save_file_size(s.layout));
    scramble_shape(s);
    if (refused_load([&] { s.net->load(dump); }, message))
        return s.layout.name + ": reloading the save file failed: " + message;
    return compare_shape("save and reload", s, loaded.data(), counter, true);
}

std::string check_shape_ascii(Shape &s, const std::uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    reset_shape(s);
    std::string message;
    const bool refused = refused_load([&] { s.net->load_ascii(text); }, message);
    g_last_result = refused ? -2 : 0;
    std::vector<float> expected(static_cast<std::size_t>(s.layout.data_size));
    int expected_counter = 0;
    const bool readable = text.find('\0') == std::string::npos;
    if (refused) {
        if (message.empty())
            return s.layout.name + ": a refused ASCII load gave no message";
        if (readable && reference_ascii(text, s.layout, s.base.data(), expected.data(), expected_counter))
            return s.layout.name + ": ASCII load refused a dump that a second reading of the text accepts: " + message;
        return compare_shape("after a failed ASCII load", s, s.base.data(), kMarkedCounter, true);
    }
    int count = 0;
    if (!ascii_count(text, count))
        return s.layout.name + ": ASCII load succeeded on an input without a readable count in the counter's range";
    if (s.net->counter() != count)
        return format("%s: ASCII load set the counter to %d, the input holds %d", s.layout.name.c_str(),
                      s.net->counter(), count);
    std::string fault;
    if (readable) {
        if (!reference_ascii(text, s.layout, s.base.data(), expected.data(), expected_counter))
            return s.layout.name + ": ASCII load succeeded where a second reading of the text fails";
        fault = compare_shape("after a successful ASCII load, against a second reading", s, expected.data(),
                              expected_counter, true);
    } else {
        fault = compare_shape("after a successful ASCII load", s, s.base.data(), kMarkedCounter, false);
    }
    if (!fault.empty())
        return fault;

    // Round trip: the bare dump reloads to the same text, every value of magnitude 0.0001 or
    // more bit for bit; the labelled form holds no "#" and is refused.
    const std::vector<float> loaded(s.net->data(), s.net->data() + s.layout.data_size);
    const int counter = s.net->counter();
    const std::string first = s.net->ascii_dump(false), labelled = s.net->ascii_dump(true);
    if (labelled.find('#') != std::string::npos)
        return s.layout.name + ": the labelled dump holds a \"#\"";
    scramble_shape(s);
    if (refused_load([&] { s.net->load_ascii(first); }, message))
        return s.layout.name + ": reloading the bare dump failed: " + message;
    if (s.net->counter() != counter)
        return format("%s: reloading the bare dump: counter %d, expected %d", s.layout.name.c_str(), s.net->counter(),
                      counter);
    const float *d = s.net->data();
    for (int i = 0; i < s.layout.data_size; i++) {
        const float v = loaded[static_cast<std::size_t>(i)];
        const bool exact = !s.loadable[static_cast<std::size_t>(i)] || (std::isfinite(v) && std::fabs(v) >= 1e-4f);
        if (exact && bits_of(d[i]) != bits_of(v))
            return format("%s: reloading the bare dump: data[%d] is %08x, expected %08x", s.layout.name.c_str(), i,
                          bits_of(d[i]), bits_of(v));
        if (std::isnan(v) != std::isnan(d[i]))
            return format("%s: reloading the bare dump: data[%d] NaN-ness changed", s.layout.name.c_str(), i);
    }
    if (s.net->ascii_dump(false) != first)
        return s.layout.name + ": dump, reload and dump again gives another text";
    const std::vector<float> reloaded(s.net->data(), s.net->data() + s.layout.data_size);
    const int reloaded_counter = s.net->counter();
    if (!refused_load([&] { s.net->load_ascii(labelled); }, message))
        return s.layout.name + ": the labelled dump was loaded";
    return compare_shape("after refusing the labelled dump", s, reloaded.data(), reloaded_counter, true);
}

}  // namespace

std::string check_binary_load(const std::uint8_t *data, std::size_t size)
{
    ensure_ready();
    if (Shape *shape = shape_of(data, size))
        return check_shape_binary(*shape, data + 1, size - 1);
    const std::string input = g_scratch + "/input.save";
    if (!write_bytes(input, data, size))
        return "cannot write the input file";
    reset_state();
    const int fd_before = lowest_free_fd();
    const int result = nn_load_network(input.c_str());
    g_last_result = result;
    if (lowest_free_fd() != fd_before)
        return "the load leaked a file descriptor";
    std::string fault = check_binary_outcome(data, size, result, g_base, kMarkedCounter);
    if (fault.empty() && result == 0)
        fault = check_binary_round_trip();
    return fault;
}

std::string check_ascii_load(const std::uint8_t *data, std::size_t size)
{
    ensure_ready();
    if (Shape *shape = shape_of(data, size))
        return check_shape_ascii(*shape, data + 1, size - 1);
    reset_state();
    bool at_end = false;
    const int result = load_ascii_from(data, size, at_end);
    g_last_result = result;
    if (result != 0 && result != -2)
        return format("ASCII load returned %d", result);
    if (!at_end)
        return "ASCII load did not leave standard input at its end";
    std::string fault = check_error_string(result != 0, false);
    if (!fault.empty())
        return fault;
    if (result != 0) {
        const std::string text(reinterpret_cast<const char *>(data), size);
        float expected[NN_DATA_SIZE];
        int expected_counter = 0;
        if (text.find('\0') == std::string::npos && reference_ascii(text, nn_layout_ref(), g_base, expected, expected_counter))
            return format("ASCII load refused a dump that a second reading of the text accepts: %s", error_string);
        return compare_state("after a failed ASCII load", g_base, kMarkedCounter, true);
    }
    int count = 0;
    if (!ascii_count(std::string_view(reinterpret_cast<const char *>(data), size), count))
        return "ASCII load succeeded on an input without a readable count in the counter's range";
    if (b0bcounter != count)
        return format("ASCII load set b0bcounter to %d, the input holds %d", b0bcounter, count);
    const std::string text(reinterpret_cast<const char *>(data), size);
    float expected[NN_DATA_SIZE];
    int expected_counter = 0;
    if (text.find('\0') == std::string::npos) {
        if (!reference_ascii(text, nn_layout_ref(), g_base, expected, expected_counter))
            return "ASCII load succeeded where a second reading of the text fails";
        fault = compare_state("after a successful ASCII load, against a second reading", expected,
                              expected_counter, true);
        if (!fault.empty())
            return fault;
    }
    fault = compare_state("after a successful ASCII load", g_base, kMarkedCounter, false);
    if (fault.empty())
        fault = check_ascii_round_trip();
    return fault;
}

std::string check_startup(const std::uint8_t *data, std::size_t size)
{
    ensure_ready();
    const std::string input = g_scratch + "/Network.save";
    if (!write_bytes(input, data, size))
        return "cannot write the input file";

    // Start-up from a used state: initialization must give the same network every time.
    reset_state();
    nn_init_network();
    std::string fault = compare_state("after nn_init_network", g_init, g_init_counter, false);
    if (!fault.empty())
        return fault;
    if (error_string[0] != '\0')
        return "nn_init_network did not clear error_string";
    float initial[NN_DATA_SIZE];
    std::memcpy(initial, network_data, sizeof initial);
    const int initial_counter = b0bcounter;
    std::memset(error_string, kErrorFill, NN_ERROR_SIZE);

    // Then the load network_initialize performs, which ends the process on failure.
    const int fd_before = lowest_free_fd();
    const int result = nn_load_network(input.c_str());
    g_last_result = result;
    if (lowest_free_fd() != fd_before)
        return "the start-up load leaked a file descriptor";
    fault = check_binary_outcome(data, size, result, initial, initial_counter);
    if (fault.empty() && result == 0)
        fault = check_forward_passes();
    return fault;
}

std::string check_csv(const std::uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    std::vector<nn_patterns::Pattern> out;
    int line = -7;
    std::string error;
    const bool ok = nn_patterns::parse_csv(text, out, line, error);
    g_last_result = ok ? 1 : 0;
    if (ok) {
        for (std::size_t p = 0; p < out.size(); p++) {
            for (float v : out[p].in)
                if (!std::isfinite(v))
                    return format("pattern %zu: an input is not finite", p);
            for (float v : out[p].target)
                if (!std::isfinite(v))
                    return format("pattern %zu: a target is not finite", p);
        }
        const std::size_t expected = pattern_lines(text, 0);
        if (out.size() != expected)
            return format("%zu patterns parsed from %zu pattern lines", out.size(), expected);
        return compare_csv_values(text, out);
    }
    const std::size_t lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    if (line < 1 || static_cast<std::size_t>(line) > lines)
        return format("failure at line %d of %zu", line, lines);
    if (error.empty())
        return format("failure at line %d without a message", line);
    const std::size_t before = pattern_lines(text, line);
    if (out.size() != before)
        return format("failure at line %d: %zu patterns kept, %zu lines before it", line, out.size(), before);
    return "";
}

int reader_checks_last_result()
{
    return g_last_result;
}

void reader_checks_cleanup()
{
    remove_scratch();
}
