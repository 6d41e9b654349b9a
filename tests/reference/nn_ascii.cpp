// ASCII dump and load of the nn module: the step counter and the 62 trainable values as
// text, output side first. The labelled form is for people; the bare form is read back.
// Both forms and the loader use "." as the decimal point whatever locale the host has set,
// so that a dump written by one host loads in any other.
#include "reference/nn_ascii.h"

#include <locale.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "bp/BpSupport.h"
#include "reference/nn.h"
#include "reference/nn_layout.h"
#include "platform/vl_file.h"

using namespace nn_layout;

namespace {

// The "C" locale, made once and kept for the life of the process; null if it cannot be made.
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

// Restore the thread's locale saved by enter_c_locale.
void leave_c_locale(locale_t saved)
{
    if (saved != static_cast<locale_t>(nullptr))
        uselocale(saved);
}

// Headings of the labelled form: the three layers and the sources of their connections.
constexpr const char *kLayerNames[] = {"nn:Out", "nn:H2", "nn:H1"};
constexpr const char *kSourceNames[] = {"$INPUTS", "nn:H1", "nn:H2"};

// One unit's label: column x of its layer, row 0.
void print_label(int x)
{
    std::printf("\nNode[%d,%d]:", x, 0);
}

// A threshold block: labelled, each unit's label and "Bias="; bare, one value per line.
void print_thresholds(const Block &b, int labelled)
{
    for (int x = 0; x < b.count; x++) {
        const double v = network_data[b.start + x];
        if (labelled) {
            print_label(x);
            std::printf("\n   Bias=%.12f", v);
        } else {
            std::printf("\n%.12f", v);
        }
    }
}

// A weight block of `units` rows: labelled, each row after its unit's label on one line;
// bare, one weight per line. Every weight is followed by a blank.
void print_weights(const Block &b, int units, int labelled)
{
    const int per_row = b.count / units;
    for (int x = 0; x < units; x++) {
        if (labelled) {
            print_label(x);
            std::printf("\n");
            for (int j = 0; j < per_row; j++)
                std::printf("%.12f ", static_cast<double>(network_data[b.start + x * per_row + j]));
        } else {
            for (int j = 0; j < per_row; j++)
                std::printf("\n%.12f ", static_cast<double>(network_data[b.start + x * per_row + j]));
        }
    }
}

// Read and discard the rest of standard input, one byte at a time.
void drain_input()
{
    char c;
    while (vl_fread(&c, 1, 1, stdin) == 1) {
    }
}

// Read the bare form into the staging copy; 0, or -2 with the message in error_string.
int read_dump(int &count, float (&values)[kTrainable])
{
    // Skip everything up to and including the first "#".
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
        const int got = std::scanf("%f", &values[i]);
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

void nn_ascii_dump_network(int labelled)
{
    const locale_t saved = enter_c_locale();
    if (labelled)
        std::printf("\n\nBlackBox: nn\nIterations: %d", b0bcounter);
    else
        std::printf("\n\n#\n%d", b0bcounter);

    // Layers from the output back; each layer's thresholds, then its connections by source.
    int block = 0;
    for (int layer = 0; layer < 3; layer++) {
        const Block &thr = kTrainableOrder[block++];
        if (labelled)
            std::printf("\nLayer: %s", kLayerNames[layer]);
        print_thresholds(thr, labelled);
        const int sources = 3 - layer;  // Out has three sources, H2 two, H1 one
        for (int s = 0; s < sources; s++) {
            if (labelled)
                std::printf("\nConnection from %s:", kSourceNames[s]);
            print_weights(kTrainableOrder[block++], thr.count, labelled);
        }
    }

    if (!labelled)
        std::printf("\n\n#");
    std::printf("\n");
    leave_c_locale(saved);
}

void network_ascii_dump(int labelled)
{
    nn_ascii_dump_network(labelled);
}

int nn_load_ascii_network(void)
{
    // Read everything into a staging copy; the network changes only when the whole dump has
    // been read, so a cut or damaged dump leaves it as it was.
    int count = 0;
    float values[kTrainable];
    const locale_t saved = enter_c_locale();
    const int result = read_dump(count, values);
    leave_c_locale(saved);

    // The rest of the input (the closing "#" and anything after it) is consumed either way.
    drain_input();
    if (result != 0)
        return result;

    b0bcounter = count;
    int next = 0;
    for (const Block &b : kTrainableOrder) {
        std::memcpy(network_data + b.start, values + next, static_cast<size_t>(b.count) * sizeof(float));
        next += b.count;
    }
    return 0;
}

int network_load_ascii(void)
{
    return nn_load_ascii_network();
}

}  // extern "C"
