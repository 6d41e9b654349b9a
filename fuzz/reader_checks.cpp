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
#include <string>
#include <string_view>
#include <vector>

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
    float values[NN_DATA_SIZE];
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

// Layer records and connection records of nn: names, start in network_data, element count.
struct RefVector {
    const char *layer;
    const char *array;  // null for a layer record
    int start;
    int count;
};
constexpr RefVector kRefVectors[] = {
    {"H1", nullptr, kH1Thr, kH1},           {"H2", nullptr, kH2Thr, kH2},
    {"Out", nullptr, kOutThr, kOut},        {"H1", "H16", kW_H1_In, 8},
    {"H2", "H25", kW_H2_In, 4},             {"H2", "H24", kW_H2_H1, 8},
    {"Out", "Out3", kW_Out_In, 8},          {"Out", "Out2", kW_Out_H1, 16},
    {"Out", "Out1", kW_Out_H2, 8},
};

// Reads the vector a record names into ref.values; false when the record is unknown,
// of the wrong size or cut short.
bool reference_vector(Cursor &c, const std::string &layer, const char *array_name, const std::string &array,
                      Reference &ref)
{
    std::int32_t count = 0;
    if (!take_int32(c, count))
        return false;
    for (const RefVector &v : kRefVectors) {
        if ((v.array == nullptr) != (array_name == nullptr) || layer != v.layer)
            continue;
        if (v.array != nullptr && array != v.array)
            continue;
        return count == v.count && take_floats(c, ref.values + v.start, count);
    }
    return false;
}

void reference_load(const std::uint8_t *data, std::size_t size, const float *before, Reference &ref)
{
    std::memcpy(ref.values, before, sizeof ref.values);
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
    // The first record named "nn", then its counter, layers and connections.
    bool found = false;
    std::string name, array;
    for (long long pos : positions) {
        c.at = static_cast<std::size_t>(pos);
        if (!take_name(c, name))
            return;
        if (name == "nn") {
            found = true;
            break;
        }
    }
    std::int32_t counter = 0, layers = 0, connections = 0;
    if (!found || !take_int32(c, counter) || !take_int32(c, layers) || layers != 3)
        return;
    for (int l = 0; l < 3; l++)
        if (!take_name(c, name) || !reference_vector(c, name, nullptr, "", ref))
            return;
    if (!take_int32(c, connections))
        return;
    for (std::int32_t k = 0; k < connections; k++)
        if (!take_name(c, name) || !take_name(c, array) || !reference_vector(c, name, "", array, ref))
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
    reference_load(data, size, before, ref);
    if (ref.loads != (result == 0))
        return ref.loads ? format("a well-formed file was refused: %s", error_string)
                         : "a damaged file was loaded";
    if (result != 0)
        return compare_state("after a failed load", before, before_counter, true);
    if (ref.warning.empty() ? !error_untouched() : std::strcmp(error_string, ref.warning.c_str()) != 0)
        return format("warning left by the load: \"%s\", expected \"%s\"",
                      error_untouched() ? "(none)" : error_string, ref.warning.c_str());
    return compare_state("after a successful load", ref.values, ref.counter, true);
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

// Where the values of an ASCII dump go, in dump order: (first index, count) of each block.
constexpr int kAsciiBlocks[9][2] = {{38, 4}, {110, 8}, {134, 16}, {182, 8}, {32, 2},
                                    {74, 4}, {86, 8},  {20, 4},   {50, 8}};

// A second reading of an ASCII dump held in a string without NUL bytes, with sscanf over the
// text: the count after the first "#", then 62 values. The state the load must give, or
// false when the dump must be refused.
bool reference_ascii(const std::string &text, const float *before, float *values, int &counter)
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
    std::memcpy(values, before, sizeof(float) * NN_DATA_SIZE);
    for (const auto &block : kAsciiBlocks) {
        for (int i = 0; i < block[1]; i++) {
            used = 0;
            if (std::sscanf(p, "%f%n", &values[block[0] + i], &used) != 1)
                return false;
            p += used;
        }
    }
    counter = static_cast<int>(count);
    return true;
}

}  // namespace

std::string check_binary_load(const std::uint8_t *data, std::size_t size)
{
    ensure_ready();
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
        if (text.find('\0') == std::string::npos && reference_ascii(text, g_base, expected, expected_counter))
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
        if (!reference_ascii(text, g_base, expected, expected_counter))
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
