// Binary save files of the nn module ("dump files"), and network start-up.
//
// A file is a header (three compiler words, 256 reserved bytes, the record count and one
// length per black-box record) followed by the records. The record of nn holds its name,
// the learning-step counter, three layer records (name, count, thresholds) and six
// connection records (layer name, array name, count, weights). Integers and floats are
// 32-bit little-endian.
#include "reference/nn_save.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "bp/BpSupport.h"
#include "reference/nn.h"
#include "reference/nn_layout.h"
#include "platform/vl_exit.h"
#include "platform/vl_mem.h"

using namespace nn_layout;

static_assert(std::endian::native == std::endian::little,
              "save files are little-endian and are copied byte for byte");

namespace {

constexpr int kCompilerId = 100;
constexpr int kCompilerVersion = 7;
constexpr int kCompilerRevision = 0;
constexpr int kReservedBytes = 256;
constexpr int kHeaderFixed = 12 + kReservedBytes + 4;  // up to and including the record count
constexpr int kLayerCount = 3;
constexpr int kConnectionCount = 6;

// A layer record: the layer's name and its thresholds.
struct LayerRecord {
    const char *layer;
    int start;
    int count;
};
// A connection record: the layer fed, the array name and the weights.
struct ConnectionRecord {
    const char *layer;
    const char *array;
    int start;
    int count;
};

// The records of nn in the order they are written (and offered to the readers).
constexpr std::array<LayerRecord, kLayerCount> kLayers{{
    {"H1", kH1Thr, kH1}, {"H2", kH2Thr, kH2}, {"Out", kOutThr, kOut},
}};
constexpr std::array<ConnectionRecord, kConnectionCount> kConnections{{
    {"H1", "H16", kW_H1_In, kH1 * kInputs},
    {"H2", "H25", kW_H2_In, kH2 * kInputs},
    {"H2", "H24", kW_H2_H1, kH2 * kH1},
    {"Out", "Out3", kW_Out_In, kOut * kInputs},
    {"Out", "Out2", kW_Out_H1, kOut * kH1},
    {"Out", "Out1", kW_Out_H2, kOut * kH2},
}};

constexpr int name_bytes(const char *s)
{
    int n = 1;
    while (*s++)
        n++;
    return n;
}

constexpr int record_length()
{
    int len = name_bytes("nn") + 4 + 4;
    for (const LayerRecord &l : kLayers)
        len += name_bytes(l.layer) + 4 + 4 * l.count;
    len += 4;
    for (const ConnectionRecord &c : kConnections)
        len += name_bytes(c.layer) + name_bytes(c.array) + 4 + 4 * c.count;
    return len;
}

// The record length written into the header is a constant of the format.
constexpr int kRecordLength = 357;
static_assert(record_length() == kRecordLength);
constexpr int kFileLength = kHeaderFixed + 4 + kRecordLength;
static_assert(kFileLength == 633);

// The 633 bytes of a save file, filled by build_image.
using FileImage = std::array<unsigned char, kFileLength>;

void put_bytes(FileImage &img, int &at, const void *src, int n)
{
    std::memcpy(img.data() + at, src, static_cast<size_t>(n));
    at += n;
}

void put_int(FileImage &img, int &at, std::int32_t v)
{
    put_bytes(img, at, &v, 4);
}

void put_name(FileImage &img, int &at, const char *name)
{
    put_bytes(img, at, name, name_bytes(name));
}

void build_image(FileImage &img)
{
    int at = 0;
    // First the header: compiler words, zeroed reserved bytes, one record and its length.
    put_int(img, at, kCompilerId);
    put_int(img, at, kCompilerVersion);
    put_int(img, at, kCompilerRevision);
    std::memset(img.data() + at, 0, kReservedBytes);
    at += kReservedBytes;
    put_int(img, at, 1);
    put_int(img, at, kRecordLength);
    // Then the record of nn: counter, layers, connections.
    put_name(img, at, "nn");
    put_int(img, at, b0bcounter);
    put_int(img, at, kLayerCount);
    for (const LayerRecord &l : kLayers) {
        put_name(img, at, l.layer);
        put_int(img, at, l.count);
        put_bytes(img, at, network_data + l.start, 4 * l.count);
    }
    put_int(img, at, kConnectionCount);
    for (const ConnectionRecord &c : kConnections) {
        put_name(img, at, c.layer);
        put_name(img, at, c.array);
        put_int(img, at, c.count);
        put_bytes(img, at, network_data + c.start, 4 * c.count);
    }
}

// Write all n bytes, retrying partial writes; false on any failure.
bool write_all(int fd, const unsigned char *p, size_t n)
{
    while (n > 0) {
        const ssize_t put = write(fd, p, n);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        p += put;
        n -= static_cast<size_t>(put);
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

// Read one 32-bit integer; false on a short read.
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

int nn_dump_network(const char *file)
{
    FileImage img;
    build_image(img);

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
    // only a regular file can be read that way (a directory, a pipe or a device cannot).
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        BPset_error("\nDump file is not a regular file.\n");
        return nullptr;
    }

    // First the compiler words: a mismatch only leaves a warning in error_string.
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

    // Then the record table. Its size comes from the file, so it is bounded by the file
    // and by what an int position can address.
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

void nn_free_header(dump_header *header)
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
    if (std::strcmp(bb_name, "nn") != 0) {
        BPset_error("\nUnknown black box %s.\n", bb_name);
        return -2;
    }

    // Then read the record into a staging copy: a load that fails changes nothing.
    float stage[NN_DATA_SIZE];
    std::memcpy(stage, network_data, sizeof stage);
    std::int32_t counter = 0, layers = 0, connections = 0, count = 0;
    if (!read_int(fd, counter) || !read_int(fd, layers))
        return damaged("record of nn");
    if (layers != kLayerCount) {
        BPset_error("\nError in reading nn\n");
        return -2;
    }
    for (int l = 0; l < kLayerCount; l++) {
        if (BPread_string(fd, name) != 0 || !read_int(fd, count))
            return damaged("layer record");
        int unmatched = 1;
        for (const LayerRecord &r : kLayers) {
            const int result = BPread_thresholds(fd, name, r.layer, count, r.count, stage + r.start, &unmatched);
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
        for (const ConnectionRecord &r : kConnections) {
            const int result =
                BPread_weights(fd, name, r.layer, array, r.array, count, r.count, stage + r.start, &unmatched);
            if (result != 0)
                return result;
        }
        if (unmatched) {
            BPset_error("\nUnknown connection array in file\n");
            return -2;
        }
    }

    // The whole record has loaded: commit the thresholds, the weights and the counter.
    for (const LayerRecord &r : kLayers)
        std::memcpy(network_data + r.start, stage + r.start, sizeof(float) * static_cast<size_t>(r.count));
    for (const ConnectionRecord &r : kConnections)
        std::memcpy(network_data + r.start, stage + r.start, sizeof(float) * static_cast<size_t>(r.count));
    b0bcounter = counter;
    return 0;
}

}  // extern "C"

namespace {

// Open, read the header, load the record of nn and close: every path closes the
// descriptor and releases the header.
int load_file(const char *file)
{
    const int fd = open(file, O_RDONLY);
    if (fd < 0) {
        BPset_error("\nUnable to open %s.\n", file);
        return -1;
    }
    dump_header *header = read_header(fd);
    const int result = header == nullptr ? -2 : load_black_box(fd, "nn", "nn", header);
    nn_free_header(header);
    close(fd);
    return result;
}

}  // namespace

extern "C" {

int nn_load_network(const char *file)
{
    return load_file(file);
}

void network_dump(const char *file)
{
    if (nn_dump_network(file) != 0)
        std::fprintf(stderr, "%s", error_string);
}

void network_load(const char *file)
{
    if (nn_load_network(file) != 0)
        std::fprintf(stderr, "%s", error_string);
}

void network_initialize(const char *save_file, int verbose)
{
    nn_init_network();
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
        std::printf("\nnn (Saved at Backprop Iteration %d)", b0bcounter);
    }
}

void network_clear_delays(void)
{
}

}  // extern "C"
