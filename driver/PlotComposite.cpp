// PlotComposite: loads the trained network from "Network.save", evaluates it on a 100 x 100
// grid of input points and prints, for each point, the network's output spread combined with
// four fixed Gaussian bumps into one composite value.
#include "driver/PlotComposite.h"
#include "driver/PlotFormat.h"
#include "driver/PlotReference.h"

#include <unistd.h>

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "network/nn.h"
#include "bpnet_version.h"

extern "C" {
float inputv[2];
float h123[PLOT_GRID * PLOT_GRID];
}

namespace {

// One Gaussian bump centred at (cx, cy) in grid coordinates: K = 1/s^2, A = 0.15915494/s;
// lnA is ln A to double precision, used only to decide when the bump cannot matter.
struct Bump {
    double cx;
    double cy;
    double K;
    double A;
    double lnA;
};
constexpr double kWideK = 2563.9142200523142;
constexpr double kWideA = 8.058827666597988;
constexpr double kWideLnA = 2.08676809514525;
constexpr Bump kBumps[4] = {
    {0.04, 0.02, kWideK, kWideA, kWideLnA},
    {-0.04, 0.02, kWideK, kWideA, kWideLnA},
    {0.0, -0.02, kWideK, kWideA, kWideLnA},
    {0.0, 0.02, 10000.0, 15.915493999999999, 2.7672931001517944},
};

// Offset of a coordinate from a bump centre, rounded to float. A zero centre leaves the
// coordinate as it is.
inline float offset(float c, double centre)
{
    return centre == 0.0 ? c : static_cast<float>(c - centre);
}

// A lower bound of ln v, or -infinity unless v is a positive normal double. With
// v = f*2^E (1 <= f < 2), ln v = E*ln2 + ln f >= (E + f - 1)*ln2, since ln is concave.
inline double log_floor(double v)
{
    if (!(v >= DBL_MIN && v <= DBL_MAX))
        return -HUGE_VAL;
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const int e = static_cast<int>(bits >> 52) - 1023;
    bits = (bits & 0x000fffffffffffffu) | 0x3ff0000000000000u;  // f, the significand, in [1, 2)
    double f;
    std::memcpy(&f, &bits, sizeof f);
    return (e + (f - 1.0)) * 0.6931471805599453;
}

// The squared offsets of one coordinate from the four bump centres, each offset rounded to
// float and squared in double: dx*dx for an x, dy*dy for a y.
struct Squares {
    double of[4];
};
inline Squares squares_x(float x)
{
    Squares q;
    for (int b = 0; b < 4; b++) {
        const float d = offset(x, kBumps[b].cx);
        q.of[b] = static_cast<double>(d) * d;
    }
    return q;
}
inline Squares squares_y(float y)
{
    Squares q;
    for (int b = 0; b < 4; b++) {
        const float d = offset(y, kBumps[b].cy);
        q.of[b] = static_cast<double>(d) * d;
    }
    return q;
}

// The composite value at one point from the four outputs o and the squared offsets of the
// coordinates the bumps see (r^2 of bump b is sx.of[b] + sy.of[b]).
float composite(const float *o, const Squares &sx, const Squares &sy)
{
    // First the value of the output spread.
    double v = plot_spread_value(o);

    // Then the bumps, each rounded to float before it is compared.
    // A bump whose exponent t lies below ln v - ln A - 0.001 has A*e^t < 0.999*v: the
    // exponential's last-place error and the rounding to float cannot lift it above v, so its
    // comparison is decided without evaluating the exponential. (v only grows below, so the
    // bound taken here stays valid for every bump.)
    const double ln_v = log_floor(v) - 0.001;
    for (int b = 0; b < 4; b++) {
        const double r2 = sx.of[b] + sy.of[b];
        const double t = -0.5 * r2 * kBumps[b].K;
        if (t < ln_v - kBumps[b].lnA)
            continue;
        const float g = static_cast<float>(kBumps[b].A * std::exp(t));
        if (g > v)
            v = g;
    }
    return static_cast<float>(v);
}

}  // namespace

extern "C" void plot_compute_grid(void)
{
    const float *o = nn_get_output();
    const float step = 0.002f;
    // Every row sees the same sequence of x coordinates: their squared offsets are shared.
    Squares sx[PLOT_GRID];
    float x = -0.1f;
    for (int j = 0; j < PLOT_GRID; j++) {
        x = x + step;  // the bumps see the x of the next column
        sx[j] = squares_x(x);
    }
    float y = -0.1f;
    for (int i = 0; i < PLOT_GRID; i++) {
        // A row's forward passes first, keeping each point's outputs, then the row's composite
        // values: the same values, computed where the processor can overlap one point's
        // composite with the others' instead of waiting for each pass.
        float outputs[PLOT_GRID][4];
        x = -0.1f;
        for (int j = 0; j < PLOT_GRID; j++) {
            inputv[0] = static_cast<float>(static_cast<double>(x) * 10.0);
            inputv[1] = static_cast<float>(static_cast<double>(y) * 10.0);
            x = x + step;
            nn_propagate_forward();
            std::memcpy(outputs[j], o, sizeof outputs[j]);
        }
        const Squares sy = squares_y(y);
        for (int j = 0; j < PLOT_GRID; j++)
            h123[i * PLOT_GRID + j] = composite(outputs[j], sx[j], sy);
        y = y + step;
    }
}

namespace {

// The grid's text is built in one buffer and written with as few writes as its size allows:
// the whole grid of a normal run (about 100 KB) goes out in one write.
constexpr std::size_t kOutSize = 1 << 17;
// Room kept free for one value's line and the empty line that may follow it.
constexpr std::size_t kLineRoom = plot_format::kMaxText + 2;
char out_buf[kOutSize];

// Write all n bytes of buf to fd, retrying after partial writes and interruptions.
bool write_all(int fd, const char *buf, std::size_t n)
{
    while (n > 0) {
        const ssize_t done = write(fd, buf, n);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            if (done == 0)
                errno = EIO;
            return false;
        }
        buf += done;
        n -= static_cast<std::size_t>(done);
    }
    return true;
}

}  // namespace

extern "C" int plot_write_grid(int fd)
{
    char *p = out_buf;
    for (int i = 0; i < PLOT_GRID; i++) {
        for (int j = 0; j < PLOT_GRID; j++) {
            if (static_cast<std::size_t>(out_buf + kOutSize - p) < kLineRoom) {
                if (!write_all(fd, out_buf, static_cast<std::size_t>(p - out_buf)))
                    return -1;
                p = out_buf;
            }
            p = plot_format::put_fixed6(p, h123[i * PLOT_GRID + j]);
            *p++ = '\n';
        }
        *p++ = '\n';
    }
    return write_all(fd, out_buf, static_cast<std::size_t>(p - out_buf)) ? 0 : -1;
}

extern "C" int plot_print_grid(void)
{
    return plot_write_grid(STDOUT_FILENO);
}

#ifndef PLOTCOMPOSITE_NO_MAIN
int main(int argc, char **argv)
{
    // A write past the file-size limit then fails with an error the writer reports (the
    // previous file stays), instead of killing the program without a word.
    std::signal(SIGXFSZ, SIG_IGN);
    // The driver takes no arguments; it answers only --help and --version.
    if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs("Usage: PlotComposite\n"
                   "Loads the network saved in \"Network.save\" in the current folder, evaluates it on a\n"
                   "100 x 100 grid of inputs from about -1 to 0.98 in each coordinate, and prints one\n"
                   "composite value per point (\"%f\"), 100 blocks of 100 lines, each block followed by an\n"
                   "empty line. A missing or damaged save file is reported on standard error with exit\n"
                   "status 1 and nothing on standard output.\n",
                   stdout);
    } else if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("PlotComposite (bpnet) " BPNET_VERSION);
    } else if (argc > 1) {
        std::fprintf(stderr, "PlotComposite: unexpected argument '%s'\nTry 'PlotComposite --help' for more information.\n",
                     argv[1]);
        return 1;
    }
    if (argc > 1) {
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            std::fprintf(stderr, "PlotComposite: cannot write standard output: %s\n", std::strerror(errno));
            return 1;
        }
        return 0;
    }
    network_initialize("Network.save", 0);
    nn_set_input(inputv);
    plot_compute_grid();
    if (plot_print_grid() != 0) {
        std::fprintf(stderr, "PlotComposite: cannot write the grid to standard output: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}
#endif
