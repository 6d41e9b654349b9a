// The table-driven parts of a generated network module: state, accessors, initialization,
// the learning loop, binary save files, ASCII dumps, the descriptor and the reports. Included
// once, at the end of a generated NAME.cpp, after it has defined
//   BPM_PREFIX           the black box's name (the prefix of its functions), unquoted
//   kName, kDescriptionFile, kInputs, kOutputs, kDataSize, kTrainable, kUnits, kRecordLength
//   kInputDimX, kInputDimY, kOutAct, kOutDelta, kLayers[], kConnections[] (bpm::LayerInfo,
//   bpm::ConnectionInfo), BPM_ERROR_SIZE, the function at(i) (element i of network_data)
// and its straight-line PREFIX_propagate_forward, PREFIX_calc_grad and PREFIX_update_weights.
// Every module behaves like the module of nn; only the tables differ.
#ifndef BPM_PREFIX
#error "bpnet_module_impl.h is included by generated modules after their tables"
#endif

#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/vl_exit.h"
#include "platform/vl_file.h"
#include "platform/vl_mem.h"

#define BPM_CAT2(a, b) a##_##b
#define BPM_CAT(a, b) BPM_CAT2(a, b)
#define BPM_FN(f) BPM_CAT(BPM_PREFIX, f)

static_assert(std::endian::native == std::endian::little,
              "save files are little-endian and are copied byte for byte");

namespace {

constexpr int kLayerCount = static_cast<int>(sizeof kLayers / sizeof kLayers[0]);
constexpr int kConnectionCount = static_cast<int>(sizeof kConnections / sizeof kConnections[0]);
constexpr const bpm::LayerInfo &kOutLayer = kLayers[kLayerCount - 1];
static_assert(kOutLayer.act == kOutAct && kOutLayer.delta == kOutDelta && kOutLayer.size == kOutputs);

// The record of the save file: its length is a constant of the module, checked here against
// the tables it is written from.
constexpr int name_bytes(const char *s)
{
    int n = 1;
    while (*s++)
        n++;
    return n;
}
constexpr long long record_length()
{
    long long len = name_bytes(kName) + 4 + 4;
    for (const bpm::LayerInfo &l : kLayers)
        len += name_bytes(l.name) + 4 + 4LL * l.size;
    len += 4;
    for (const bpm::ConnectionInfo &c : kConnections)
        len += name_bytes(kLayers[c.layer].name) + name_bytes(c.array) + 4 + 4LL * c.count;
    return len;
}
static_assert(record_length() == kRecordLength);

// Every layer's connections follow one another in the table, in the layer order.
constexpr bool connections_grouped()
{
    int next = 0;
    for (const bpm::LayerInfo &l : kLayers) {
        if (l.first != next || l.count < 1)
            return false;
        for (int c = l.first; c < l.first + l.count; c++)
            if (kConnections[c].layer != &l - kLayers)
                return false;
        next += l.count;
    }
    return next == kConnectionCount;
}
static_assert(connections_grouped());

// Every connection holds exactly the weights its kind walks: full, m rows of the source size;
// field1d, m rows of n (one when shared); field2d, R x KH x U x KW ([destination row][field
// row][unit][field column]) over a layer of U x R units, or one KH x KW kernel when shared.
constexpr bool weight_counts_match()
{
    for (const bpm::ConnectionInfo &c : kConnections) {
        const bpm::LayerInfo &l = kLayers[c.layer];
        long long expected = -1;
        switch (c.kind) {
        case bpm::kFull:
            expected = 1LL * l.size * c.source_size;
            if (c.row != c.source_size)
                return false;
            break;
        case bpm::kField1d:
            expected = (c.shared ? 1LL : 1LL * l.size) * c.field_x;
            if (c.row != (c.shared ? c.count : c.field_x))
                return false;
            break;
        case bpm::kField2d:
            expected = c.shared ? 1LL * c.field_y * c.field_x : 1LL * c.down * c.field_y * c.across * c.field_x;
            if (c.across != l.dim_x || c.down != l.dim_y || c.row != (c.shared ? c.count : c.field_y * c.field_x))
                return false;
            break;
        default:
            return false;
        }
        if (c.count != expected || l.dim_x * l.dim_y != l.size || c.source_dim_x * c.source_dim_y != c.source_size)
            return false;
    }
    return true;
}
static_assert(weight_counts_match());

constexpr int kCompilerId = 100;
constexpr int kCompilerVersion = 7;
constexpr int kCompilerRevision = 0;
constexpr int kReservedBytes = 256;
constexpr int kHeaderFixed = 12 + kReservedBytes + 4;  // up to and including the record count

// Upper end of the random offset added to sigmoid derivatives, drawn once per layer and step.
constexpr float kDerivOffsetRange = 0.05f;

// The source vector of a connection: the caller's inputs or a layer's activations.
const char *source_name(const bpm::ConnectionInfo &c)
{
    return c.source == bpm::kInputs ? "$INPUTS" : kLayers[c.source].qualified;
}

// Descriptor numbers count the layers from the output back.
constexpr int descriptor_number(int forward_index)
{
    return kLayerCount - 1 - forward_index;
}

}  // namespace

extern "C" {

float network_data[kDataSize];
float BPlearning_rate = 0.2f;
float BPinertia = 0.95f;
float BPthreshold = 0.00005f;
float init_range = 0.1f;
int init_seed = 123;
int b0bcounter = 0;
float *b0_input_vector = nullptr;
float *b0_target_output = nullptr;
char error_string[BPM_ERROR_SIZE];
BPM_FN(descriptor) comms_buffer;
BPM_FN(connection_record) connection_buffer[kConnectionCount];

}  // extern "C"

namespace {

// Scale of the output deltas: the learning rate times 0.333333, formed in double, stored as float.
float output_delta_scale()
{
    return static_cast<float>(0.333333 * static_cast<bp_wide>(BPlearning_rate));
}

// One presentation's learning: error test, then gradients and the periodic update.
void learn_presentation()
{
    BPM_FN(propagate_forward)();
    if (BPM_FN(calc_error)() > BPthreshold) {
        BPM_FN(calc_grad)();
        BPM_FN(update_weights)(BPinertia);
    }
}

}  // namespace

extern "C" {

// ---- State, accessors, initialization.

int BPM_FN(init_network)(void)
{
    // First seed the generator, so that the same seed and range give the same network.
    BPfrandom_init(init_seed);
    std::memset(network_data, 0, sizeof network_data);
    BPinit_sigmoid_table();
    error_string[0] = '\0';
    BPM_FN(describe_network)();

    // Then draw the thresholds and weights: layers from the output back, each layer's
    // thresholds, then its incoming weights by source.
    const float width = static_cast<float>(2.0 * init_range);
    const auto draw = [width](int start, int count) {
        for (int i = 0; i < count; i++)
            network_data[start + i] = static_cast<float>(static_cast<bp_wide>(BPfrandom(width)) - init_range);
    };
    for (int l = kLayerCount - 1; l >= 0; l--) {
        draw(kLayers[l].thr, kLayers[l].size);
        for (int c = kLayers[l].first; c < kLayers[l].first + kLayers[l].count; c++)
            draw(kConnections[c].weights, kConnections[c].count);
    }
    return 0;
}

void BPM_FN(set_input)(float *v) { b0_input_vector = v; }
float *BPM_FN(get_input)(void) { return b0_input_vector; }
float *BPM_FN(get_output)(void) { return at(kOutAct); }
void BPM_FN(set_target_output)(float *v) { b0_target_output = v; }
float *BPM_FN(get_target_output)(void) { return b0_target_output; }
char *BPM_FN(error_string)(void) { return error_string; }
void BPM_FN(set_learning_rate)(float r) { BPlearning_rate = r; }
float BPM_FN(get_learning_rate)(void) { return BPlearning_rate; }
void BPM_FN(set_inertia)(float m) { BPinertia = m; }
float BPM_FN(get_inertia)(void) { return BPinertia; }
void BPM_FN(set_random_init_seed)(int seed) { init_seed = seed; }
void BPM_FN(set_random_init_range)(float range) { init_range = range; }
void BPM_FN(bb_clear_delays)(void) {}
void BPM_FN(clear_delays)(void) {}
void BPM_FN(set_backprop_counter)(int c) { b0bcounter = c; }
int BPM_FN(get_backprop_counter)(void) { return b0bcounter; }

// ---- Forward pass and learning loop.

void BPM_FN(network_forward)(void)
{
    BPM_FN(propagate_forward)();
}

void network_forward(unsigned iterations, void (*input_fn)(void))
{
    for (unsigned i = 0; i < iterations; i++) {
        input_fn();
        BPM_FN(propagate_forward)();
    }
}

void network_learn(unsigned iterations, void (*input_fn)(void))
{
    for (unsigned i = 0; i < iterations; i++) {
        input_fn();
        learn_presentation();
    }
}

void BPM_FN(network_learn)(unsigned iterations, void (*input_fn)(void))
{
    network_learn(iterations, input_fn);
}

float BPM_FN(calc_error)(void)
{
    const float half_sum =
        bp_inline::output_error<kOutputs>(b0_target_output, at(kOutAct), at(kOutDelta), output_delta_scale());
    return static_cast<float>(static_cast<bp_wide>(half_sum) / kOutputs);
}

}  // extern "C"

// ---- Binary save files.

namespace {

void put_bytes(std::vector<unsigned char> &img, const void *src, std::size_t n)
{
    const auto *p = static_cast<const unsigned char *>(src);
    img.insert(img.end(), p, p + n);
}

void put_int(std::vector<unsigned char> &img, std::int32_t v)
{
    put_bytes(img, &v, 4);
}

void put_name(std::vector<unsigned char> &img, const char *name)
{
    put_bytes(img, name, std::strlen(name) + 1);
}

// The whole file: header, then the one record of this black box.
std::vector<unsigned char> build_image()
{
    std::vector<unsigned char> img;
    img.reserve(static_cast<std::size_t>(kHeaderFixed) + 4 + static_cast<std::size_t>(kRecordLength));
    put_int(img, kCompilerId);
    put_int(img, kCompilerVersion);
    put_int(img, kCompilerRevision);
    img.insert(img.end(), kReservedBytes, 0);
    put_int(img, 1);
    put_int(img, kRecordLength);
    put_name(img, kName);
    put_int(img, b0bcounter);
    put_int(img, kLayerCount);
    for (const bpm::LayerInfo &l : kLayers) {
        put_name(img, l.name);
        put_int(img, l.size);
        put_bytes(img, network_data + l.thr, 4 * static_cast<std::size_t>(l.size));
    }
    put_int(img, kConnectionCount);
    for (const bpm::ConnectionInfo &c : kConnections) {
        put_name(img, kLayers[c.layer].name);
        put_name(img, c.array);
        put_int(img, c.count);
        put_bytes(img, network_data + c.weights, 4 * static_cast<std::size_t>(c.count));
    }
    return img;
}

// Write all n bytes, retrying partial writes; false on any failure.
bool write_all(int fd, const unsigned char *p, std::size_t n)
{
    while (n > 0) {
        const ssize_t put = write(fd, p, n);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        p += put;
        n -= static_cast<std::size_t>(put);
    }
    return true;
}

// Create a fresh temporary file beside the target, mode 0644 before the umask.
int create_temporary(const char *file, std::string &temp)
{
    static unsigned serial = 0;
    for (int attempt = 0; attempt < 100; attempt++) {
        temp = std::string(file) + ".tmp." + std::to_string(getpid()) + "." + std::to_string(serial++);
        const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

bool read_int(int fd, std::int32_t &v)
{
    return BPread_exact(fd, &v, 4) == 0;
}

int damaged(const char *what)
{
    BPset_error("\nDump file is truncated or damaged: %s.\n", what);
    return -2;
}

}  // namespace

extern "C" {

int BPM_FN(dump_network)(const char *file)
{
    const std::vector<unsigned char> img = build_image();

    // Write a complete new file beside the old one and rename it over the target only
    // when every byte is on disk, so that a failed save never destroys the last good network.
    std::string temp;
    const int fd = create_temporary(file, temp);
    if (fd < 0) {
        BPset_error("\nUnable to open %s.\n", file);
        return -1;
    }
    bool ok = write_all(fd, img.data(), img.size());
    ok = (fsync(fd) == 0) && ok;
    ok = (close(fd) == 0) && ok;
    ok = ok && rename(temp.c_str(), file) == 0;
    if (!ok) {
        unlink(temp.c_str());
        BPset_error("\nUnable to write %s.\n", file);
        return -1;
    }
    return 0;
}

dump_header *read_header(int fd)
{
    std::int32_t id = 0, version = 0, revision = 0, count = 0;

    // Records are found by seeking, and the record table is bounded by the file's size:
    // only a regular file can be read that way.
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        BPset_error("\nDump file is not a regular file.\n");
        return nullptr;
    }
    if (!read_int(fd, id) || !read_int(fd, version) || !read_int(fd, revision)) {
        damaged("header");
        return nullptr;
    }
    if (id != kCompilerId)
        BPset_error("\nWarning: This dump file is from another compiler.\n");
    if (version != kCompilerVersion)
        BPset_error("\nWarning: Dump file created with another version (v.%d) of compiler.\n", version);
    if (revision != kCompilerRevision)
        BPset_error("\nWarning: Dump file created with another version of compiler.\n");

    unsigned char reserved[kReservedBytes];
    if (BPread_exact(fd, reserved, kReservedBytes) != 0 || !read_int(fd, count)) {
        damaged("header");
        return nullptr;
    }
    const std::int64_t records_start = kHeaderFixed + 4 * static_cast<std::int64_t>(count);
    if (count < 0 || records_start > INT_MAX || records_start > st.st_size) {
        BPset_error("\nDump file is truncated or damaged: bad record count %d.\n", count);
        return nullptr;
    }
    int *positions = static_cast<int *>(vl_alloc_mem(count * 4));
    std::int64_t p = records_start;
    for (int i = 0; i < count; i++) {
        std::int32_t length = 0;
        const bool out_of_range = p > INT_MAX || p >= st.st_size;
        if (out_of_range || !read_int(fd, length)) {
            vl_free_mem(positions);
            damaged(out_of_range ? "record position out of range" : "record table");
            return nullptr;
        }
        positions[i] = static_cast<int>(p);
        p += length;
        if (p < records_start)
            p = INT64_MAX;  // a negative length pointing back into the header is as bad as past the end
    }
    dump_header *header = static_cast<dump_header *>(vl_alloc_mem(sizeof(dump_header)));
    header->count = count;
    header->positions = positions;
    return header;
}

void BPM_FN(free_header)(dump_header *header)
{
    if (header != nullptr) {
        vl_free_mem(header->positions);
        vl_free_mem(header);
    }
}

int load_black_box(int fd, const char *bb_name, const char *stored_name, dump_header *header)
{
    if (header == nullptr)
        return damaged("header");
    char name[BP_NAME_SIZE];
    char array[BP_NAME_SIZE];

    // First find the stored record by its name.
    bool found = false;
    for (int i = 0; i < header->count && !found; i++) {
        if (lseek(fd, header->positions[i], SEEK_SET) < 0 || BPread_string(fd, name) != 0)
            return damaged("record name");
        found = std::strcmp(name, stored_name) == 0;
    }
    if (!found) {
        BPset_error("\nUnable to find %s as %s.\n", bb_name, stored_name);
        return -2;
    }
    if (std::strcmp(bb_name, kName) != 0) {
        BPset_error("\nUnknown black box %s.\n", bb_name);
        return -2;
    }

    // Then read the record into a staging copy: a load that fails changes nothing.
    std::vector<float> stage(network_data, network_data + kDataSize);
    std::int32_t counter = 0, layers = 0, connections = 0, count = 0;
    if (!read_int(fd, counter) || !read_int(fd, layers))
        return damaged((std::string("record of ") + kName).c_str());
    if (layers != kLayerCount) {
        BPset_error("\nError in reading %s\n", kName);
        return -2;
    }
    for (int l = 0; l < kLayerCount; l++) {
        if (BPread_string(fd, name) != 0 || !read_int(fd, count))
            return damaged("layer record");
        int unmatched = 1;
        for (const bpm::LayerInfo &r : kLayers) {
            const int result = BPread_thresholds(fd, name, r.name, count, r.size, stage.data() + r.thr, &unmatched);
            if (result != 0)
                return result;
        }
        if (unmatched) {
            BPset_error("\nUnknown layer name in file: %s\n", name);
            return -2;
        }
    }
    if (!read_int(fd, connections))
        return damaged("connection count");
    for (std::int32_t c = 0; c < connections; c++) {
        if (BPread_string(fd, name) != 0 || BPread_string(fd, array) != 0 || !read_int(fd, count))
            return damaged("connection record");
        int unmatched = 1;
        for (const bpm::ConnectionInfo &r : kConnections) {
            const int result = BPread_weights(fd, name, kLayers[r.layer].name, array, r.array, count, r.count,
                                              stage.data() + r.weights, &unmatched);
            if (result != 0)
                return result;
        }
        if (unmatched) {
            BPset_error("\nUnknown connection array in file\n");
            return -2;
        }
    }

    // The whole record has loaded: commit the thresholds, the weights and the counter.
    for (const bpm::LayerInfo &r : kLayers)
        std::memcpy(network_data + r.thr, stage.data() + r.thr, sizeof(float) * static_cast<std::size_t>(r.size));
    for (const bpm::ConnectionInfo &r : kConnections)
        std::memcpy(network_data + r.weights, stage.data() + r.weights,
                    sizeof(float) * static_cast<std::size_t>(r.count));
    b0bcounter = counter;
    return 0;
}

}  // extern "C"

namespace {

// Open, read the header, load this black box's record and close: every path closes the
// descriptor and releases the header.
int load_file(const char *file)
{
    const int fd = open(file, O_RDONLY);
    if (fd < 0) {
        BPset_error("\nUnable to open %s.\n", file);
        return -1;
    }
    dump_header *header = read_header(fd);
    const int result = header == nullptr ? -2 : load_black_box(fd, kName, kName, header);
    BPM_FN(free_header)(header);
    close(fd);
    return result;
}

}  // namespace

extern "C" {

int BPM_FN(load_network)(const char *file)
{
    return load_file(file);
}

void network_dump(const char *file)
{
    if (BPM_FN(dump_network)(file) != 0)
        std::fprintf(stderr, "%s", error_string);
}

void network_load(const char *file)
{
    if (BPM_FN(load_network)(file) != 0)
        std::fprintf(stderr, "%s", error_string);
}

void network_initialize(const char *save_file, int verbose)
{
    BPM_FN(init_network)();
    if (save_file != nullptr) {
        if (verbose)
            std::printf("\nLoading Saved Network: %s", save_file);
        if (load_file(save_file) != 0) {
            std::fprintf(stderr, "%s", error_string);
            vl_exit(1);
        }
    }
    if (verbose) {
        std::printf("\n\nBackpropagation Learning");
        std::printf("\n\nBlack Boxes:\n");
        std::printf("\n%s (Saved at Backprop Iteration %d)", kName, b0bcounter);
    }
}

void network_clear_delays(void)
{
}

}  // extern "C"

// ---- ASCII dumps.

namespace {

// The "C" locale, made once; null if it cannot be made.
locale_t c_locale()
{
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return c;
}

// Switch this thread to the "C" locale; returns the locale to restore (null: nothing switched).
locale_t enter_c_locale()
{
    const locale_t c = c_locale();
    if (c == static_cast<locale_t>(nullptr))
        return static_cast<locale_t>(nullptr);
    return uselocale(c);
}

void leave_c_locale(locale_t saved)
{
    if (saved != static_cast<locale_t>(nullptr))
        uselocale(saved);
}

// One unit's label: column x of its layer, row y.
void print_label(int i, int dim_x)
{
    std::printf("\nNode[%d,%d]:", i % dim_x, i / dim_x);
}

void print_thresholds(const bpm::LayerInfo &l, int labelled)
{
    for (int i = 0; i < l.size; i++) {
        const double v = network_data[l.thr + i];
        if (labelled) {
            print_label(i, l.dim_x);
            std::printf("\n   Bias=%.12f", v);
        } else {
            std::printf("\n%.12f", v);
        }
    }
}

// A weight block: labelled, each unit's row after its label on one line (a shared row or
// kernel once, labelled as unit 0); bare, one weight a line in storage order. Every weight is
// followed by a blank.
void print_weights(const bpm::ConnectionInfo &c, const bpm::LayerInfo &l, int labelled)
{
    const float *w = network_data + c.weights;
    if (!labelled) {
        for (int i = 0; i < c.count; i++)
            std::printf("\n%.12f ", static_cast<double>(w[i]));
        return;
    }
    if (c.kind == bpm::kField2d && !c.shared) {
        // Unit (u, r) has its field row j at ((r*KH + j)*U + u)*KW: its KH x KW weights are
        // gathered field row by field row.
        for (int i = 0; i < l.size; i++) {
            const int r = i / c.across, u = i % c.across;
            print_label(i, l.dim_x);
            std::printf("\n");
            for (int j = 0; j < c.field_y; j++)
                for (int k = 0; k < c.field_x; k++)
                    std::printf("%.12f ", static_cast<double>(w[((r * c.field_y + j) * c.across + u) * c.field_x + k]));
        }
        return;
    }
    const int rows = c.count / c.row;
    for (int r = 0; r < rows; r++) {
        print_label(r, rows == l.size ? l.dim_x : 1);
        std::printf("\n");
        for (int j = 0; j < c.row; j++)
            std::printf("%.12f ", static_cast<double>(w[r * c.row + j]));
    }
}

void drain_input()
{
    char c;
    while (vl_fread(&c, 1, 1, stdin) == 1) {
    }
}

// Read the bare form into a staging copy; 0, or -2 with the message in error_string.
int read_dump(int &count, std::vector<float> &values)
{
    char c = '\0';
    for (;;) {
        if (vl_fread(&c, 1, 1, stdin) != 1) {
            BPset_error("\nNo ASCII dump in the input: it ends before the first \"#\".\n");
            return -2;
        }
        if (c == '#')
            break;
    }
    // The count is read wide, so that a number out of the counter's range is refused
    // instead of being cut to some other count.
    long long wide_count = 0;
    if (std::scanf("\n%lld", &wide_count) != 1) {
        BPset_error("\nThe ASCII dump has no readable iteration count.\n");
        return -2;
    }
    if (wide_count < INT_MIN || wide_count > INT_MAX) {
        BPset_error("\nThe iteration count of the ASCII dump is out of range.\n");
        return -2;
    }
    count = static_cast<int>(wide_count);
    for (int i = 0; i < kTrainable; i++) {
        const int got = std::scanf("%f", &values[static_cast<std::size_t>(i)]);
        if (got == EOF) {
            BPset_error("\nThe ASCII dump ends after %d of its %d values.\n", i, kTrainable);
            return -2;
        }
        if (got != 1) {
            BPset_error("\nValue %d of %d in the ASCII dump cannot be read.\n", i + 1, kTrainable);
            return -2;
        }
    }
    return 0;
}

}  // namespace

extern "C" {

void BPM_FN(ascii_dump_network)(int labelled)
{
    const locale_t saved = enter_c_locale();
    if (labelled)
        std::printf("\n\nBlackBox: %s\nIterations: %d", kName, b0bcounter);
    else
        std::printf("\n\n#\n%d", b0bcounter);

    // Layers from the output back; each layer's thresholds, then its connections by source.
    for (int l = kLayerCount - 1; l >= 0; l--) {
        const bpm::LayerInfo &layer = kLayers[l];
        if (labelled)
            std::printf("\nLayer: %s", layer.qualified);
        print_thresholds(layer, labelled);
        for (int c = layer.first; c < layer.first + layer.count; c++) {
            if (labelled)
                std::printf("\nConnection from %s:", source_name(kConnections[c]));
            print_weights(kConnections[c], layer, labelled);
        }
    }
    if (!labelled)
        std::printf("\n\n#");
    std::printf("\n");
    leave_c_locale(saved);
}

void network_ascii_dump(int labelled)
{
    BPM_FN(ascii_dump_network)(labelled);
}

int BPM_FN(load_ascii_network)(void)
{
    // Read everything into a staging copy; the network changes only when the whole dump has
    // been read, so a cut or damaged dump leaves it as it was.
    int count = 0;
    std::vector<float> values(static_cast<std::size_t>(kTrainable));
    const locale_t saved = enter_c_locale();
    const int result = read_dump(count, values);
    leave_c_locale(saved);
    drain_input();
    if (result != 0)
        return result;

    b0bcounter = count;
    const float *next = values.data();
    const auto take = [&next](int start, int n) {
        std::memcpy(network_data + start, next, static_cast<std::size_t>(n) * sizeof(float));
        next += n;
    };
    for (int l = kLayerCount - 1; l >= 0; l--) {
        take(kLayers[l].thr, kLayers[l].size);
        for (int c = kLayers[l].first; c < kLayers[l].first + kLayers[l].count; c++)
            take(kConnections[c].weights, kConnections[c].count);
    }
    return 0;
}

int network_load_ascii(void)
{
    return BPM_FN(load_ascii_network)();
}

// ---- Descriptor and query.

void BPM_FN(describe_network)(void)
{
    BPM_FN(descriptor) &d = comms_buffer;
    d.description_file = kDescriptionFile;
    d.network_name = kName;
    d.field2 = 0;
    d.field3 = 1;
    d.unit_count = kUnits;
    d.parameter_count = kTrainable;
    d.set_learning_rate_proc = BPM_FN(set_learning_rate);
    d.set_inertia_proc = BPM_FN(set_inertia);
    d.get_learning_rate_proc = BPM_FN(get_learning_rate);
    d.get_inertia_proc = BPM_FN(get_inertia);
    d.set_random_init_seed_proc = BPM_FN(set_random_init_seed);
    d.set_random_init_range_proc = BPM_FN(set_random_init_range);
    d.init_network_proc = BPM_FN(init_network);
    d.network_forward_proc = BPM_FN(network_forward);
    d.network_learn_proc = BPM_FN(network_learn);
    d.dump_network_proc = BPM_FN(dump_network);
    d.load_network_proc = BPM_FN(load_network);
    d.error_string_proc = BPM_FN(error_string);
    d.connections = connection_buffer;
}

BPM_FN(descriptor) *BPM_FN(query_network)(int box, int layer)
{
    // The module holds a single black box, index 0.
    if (box != 0)
        return nullptr;
    BPM_FN(descriptor) &d = comms_buffer;
    d.box_number = 0;
    d.box_name = kName;
    d.field22 = 1;
    d.field23 = 1;
    d.layer_count = kLayerCount;
    d.input_size = kInputs;
    d.input_dim_x = kInputDimX;
    d.input_dim_y = kInputDimY;
    d.field28 = 0;
    d.field29 = 0;
    d.field30 = 0;
    d.field31 = 0;
    d.propagate_forward_proc = BPM_FN(propagate_forward);
    d.calc_grad_proc = BPM_FN(calc_grad);
    d.update_weights_proc = BPM_FN(update_weights);
    d.get_backprop_counter_proc = BPM_FN(get_backprop_counter);
    d.set_backprop_counter_proc = BPM_FN(set_backprop_counter);
    d.set_target_output_proc = BPM_FN(set_target_output);
    d.get_target_output_proc = BPM_FN(get_target_output);
    d.get_output_proc = BPM_FN(get_output);
    d.set_input_proc = BPM_FN(set_input);
    d.get_input_proc = BPM_FN(get_input);
    if (layer < 0 || layer >= kLayerCount)
        return nullptr;

    // Layer 0 is the output layer; the numbers count back towards the inputs.
    const int forward = descriptor_number(layer);
    const bpm::LayerInfo &l = kLayers[forward];
    d.layer_number = layer;
    d.field43 = 0;
    d.layer_name = l.qualified;
    d.layer_size = l.size;
    d.layer_dim_x = l.dim_x;
    d.layer_dim_y = l.dim_y;
    d.field48 = 0;
    d.field49 = 0;
    d.layer_activations = at(l.act);
    d.layer_thresholds = at(l.thr);
    d.layer_threshold_steps = at(l.thr_step);
    d.layer_deltas = at(l.delta);
    d.layer_connection_count = l.count;
    d.field58 = layer;
    // The records go into the module's own table, never through the `connections` field,
    // which a host may have changed.
    for (int slot = 0; slot < l.count; slot++) {
        const bpm::ConnectionInfo &c = kConnections[l.first + slot];
        BPM_FN(connection_record) &r = connection_buffer[slot];
        r.field0 = 0;
        r.field1 = 1;
        r.field2 = 0;
        r.weight_count = c.count;
        r.field4 = 0;
        r.source_number = c.source == bpm::kInputs ? -1 : descriptor_number(c.source);
        r.source_name = source_name(c);
        r.source_size = c.source_size;
        r.source_dim_x = c.source_dim_x;
        r.source_dim_y = c.source_dim_y;
        r.field10 = 0;
        r.weights = at(c.weights);
        r.weight_steps = at(c.steps);
        r.field13 = c.source_size;
        r.field14 = 1;
        r.field15 = c.source_size;
        r.field16 = 0;
        r.field17 = 0;
        r.field18 = 0;
    }
    return &d;
}

BPM_FN(descriptor) *network_query(int box, int layer)
{
    return BPM_FN(query_network)(box, layer);
}

}  // extern "C"

// ---- Detection statistics and trace output.

namespace {

// The registered target vector, read afresh for every pattern; null, with a message on
// standard error, when there is none or no input vector to run from.
const float *pattern_target(const char *who)
{
    if (b0_input_vector == nullptr) {
        std::fprintf(stderr, "%s: no input vector registered (%s_set_input)\n", who, kName);
        return nullptr;
    }
    if (b0_target_output == nullptr) {
        std::fprintf(stderr, "%s: no target vector registered (%s_set_target_output)\n", who, kName);
        return nullptr;
    }
    return b0_target_output;
}

}  // namespace

extern "C" {

void network_forward_pdpfa(unsigned iterations, void (*input_fn)(void), float pd_threshold)
{
    if (iterations == 0)
        return;
    // The counts are printed and divided as signed ints.
    if (iterations > static_cast<unsigned>(INT_MAX)) {
        std::fprintf(stderr, "network_forward_pdpfa: pattern count %u is too large (at most %d)\n", iterations,
                     INT_MAX);
        return;
    }
    if (input_fn == nullptr) {
        std::fprintf(stderr, "network_forward_pdpfa: no pattern function\n");
        return;
    }

    // Working state: per output, extremes (wide), running sums (float); the squared threshold.
    const float threshold_sq = static_cast<float>(static_cast<bp_wide>(pd_threshold) * pd_threshold);
    std::vector<bp_wide> maxima(kOutputs, -static_cast<bp_wide>(FLT_MAX)), minima(kOutputs, static_cast<bp_wide>(FLT_MAX));
    std::vector<float> sums(kOutputs, 0.0f), squares(kOutputs, 0.0f), means(kOutputs, 0.0f);
    int hits = 0;

    const float *out = at(kOutAct);
    for (unsigned i = 0; i < iterations; i++) {
        input_fn();
        const float *target = pattern_target("network_forward_pdpfa");
        if (target == nullptr)
            return;
        BPM_FN(propagate_forward)();
        bp_wide e = 0.0;  // squared distance between outputs and targets
        for (int j = 0; j < kOutputs; j++) {
            const float o = out[j];
            sums[j] = static_cast<float>(sums[j] + static_cast<bp_wide>(o));
            squares[j] = static_cast<float>(squares[j] + static_cast<bp_wide>(o) * o);
            if (o < minima[j])
                minima[j] = o;
            if (o > maxima[j])
                maxima[j] = o;
            const bp_wide diff = static_cast<bp_wide>(o) - target[j];
            e += diff * diff;
        }
        if (e < threshold_sq)
            hits++;
    }

    // Report: extremes, means (stored as float), population variances, Pd and Pfa.
    const int count = static_cast<int>(iterations);
    const float n = static_cast<float>(iterations);
    std::printf("\n\n%s:", kName);
    std::printf("\nMaxima: ");
    for (int j = 0; j < kOutputs; j++)
        std::printf("%f ", maxima[j]);
    std::printf("\nMinima: ");
    for (int j = 0; j < kOutputs; j++)
        std::printf("%f ", minima[j]);
    std::printf("\nMeans: ");
    for (int j = 0; j < kOutputs; j++) {
        means[j] = static_cast<float>(static_cast<bp_wide>(sums[j]) / n);
        std::printf("%f ", static_cast<double>(means[j]));
    }
    std::printf("\nVariances: ");
    for (int j = 0; j < kOutputs; j++) {
        const bp_wide mean = means[j];
        std::printf("%f ", static_cast<bp_wide>(squares[j]) / n - mean * mean);
    }
    std::printf("\n\nPd = %d/%d = %f", hits, count, static_cast<bp_wide>(hits) / n);
    std::printf("\nPfa = %d/%d = %f", count - hits, count, static_cast<bp_wide>(count - hits) / n);
}

void network_forward_print(int iterations, void (*input_fn)(void))
{
    if (iterations > 0 && input_fn == nullptr) {
        std::fprintf(stderr, "network_forward_print: no pattern function\n");
        return;
    }
    const float *out = at(kOutAct);
    for (int i = 0; i < iterations; i++) {
        input_fn();
        const float *target = pattern_target("network_forward_print");
        if (target == nullptr)
            return;
        BPM_FN(propagate_forward)();
        std::printf("\nIteration: %d", i);
        std::printf("\nblack box %s:", kName);
        std::printf("\n\tOutputs:");
        for (int j = 0; j < kOutputs; j++)
            std::printf(" %f", static_cast<double>(out[j]));
        std::printf("\n\tTargets:");
        for (int j = 0; j < kOutputs; j++)
            std::printf(" %f", static_cast<double>(target[j]));
    }
}

}  // extern "C"
