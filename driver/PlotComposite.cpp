// PlotComposite: loads the trained network from "Network.save", evaluates it on a 100 x 100
// grid of input points and prints, for each point, the network's output spread combined with
// four fixed Gaussian bumps into one composite value.
#include "driver/PlotComposite.h"
#include "driver/PlotFormat.h"

#include <unistd.h>

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "network/nn.h"
#include "tools/common/bpnet_version.h"

extern "C" {
float inputv[2];
float h123[PLOT_GRID * PLOT_GRID];
}

namespace {

// One Gaussian bump centred at (cx, cy) in grid coordinates: K = 1/s^2, A = 0.15915494/s.
struct Bump {
    double cx;
    double cy;
    double K;
    double A;
};
constexpr double kWideK = 2563.9142200523142;
constexpr double kWideA = 8.058827666597988;
constexpr Bump kBumps[4] = {
    {0.04, 0.02, kWideK, kWideA},
    {-0.04, 0.02, kWideK, kWideA},
    {0.0, -0.02, kWideK, kWideA},
    {0.0, 0.02, 10000.0, 15.915493999999999},
};

// Offset of a coordinate from a bump centre, rounded to float. A zero centre leaves the
// coordinate as it is.
inline float offset(float c, double centre)
{
    return centre == 0.0 ? c : static_cast<float>(c - centre);
}

// A bump's value A*e^t (every A below 16) can reach v only where t is not far below ln v.
// With v = f*2^E (1 <= f < 2) and t below E*0.693147 - 4.5, A*e^t < 16*v*e^-4.5 < v/5, so
// neither the exponential's last-place error nor the rounding to float can lift it above v:
// the comparison is decided without evaluating the exponential. Returns -infinity (no bump
// skipped) unless v is a positive normal double.
inline double exponent_floor(double v)
{
    if (!(v >= DBL_MIN && v <= DBL_MAX))
        return -HUGE_VAL;
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const int e = static_cast<int>((bits >> 52) & 0x7ff) - 1023;
    return e * 0.693147 - 4.5;
}

// The composite value at one point from the four outputs o and the coordinates the bumps see.
float composite(const float *o, float bx, float by)
{
    // First the output spread m over the pairs (o0,o1), (o0,o2), (o0,o3), (o1,o2), (o1,o3).
    constexpr int kPairs[5][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}};
    double m = -1000000.0;
    for (const auto &pair : kPairs) {
        const double d = std::fabs(static_cast<double>(o[pair[0]]) - o[pair[1]]);
        if (d > m)
            m = d;
    }
    double v = (1.0 - m) * 10.0;
    const double d23 = std::fabs(static_cast<double>(o[2]) - o[3]);
    if (d23 > v)
        v = d23;

    // Then the bumps, each rounded to float before it is compared.
    const double floor_t = exponent_floor(v);
    for (const Bump &b : kBumps) {
        const float dx = offset(bx, b.cx);
        const float dy = offset(by, b.cy);
        const double r2 = static_cast<double>(dx) * dx + static_cast<double>(dy) * dy;
        const double t = -0.5 * r2 * b.K;
        if (t < floor_t)
            continue;  // this bump stays far below v here
        const float g = static_cast<float>(b.A * std::exp(t));
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
    float y = -0.1f;
    for (int i = 0; i < PLOT_GRID; i++) {
        float x = -0.1f;
        for (int j = 0; j < PLOT_GRID; j++) {
            inputv[0] = static_cast<float>(static_cast<double>(x) * 10.0);
            inputv[1] = static_cast<float>(static_cast<double>(y) * 10.0);
            // The bumps see the x of the next column.
            x = x + step;
            nn_propagate_forward();
            h123[i * PLOT_GRID + j] = composite(o, x, y);
        }
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
    // The driver takes no arguments; it answers only --help and --version.
    if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs("Usage: PlotComposite\n"
                   "Loads the network saved in \"Network.save\" in the current folder, evaluates it on a\n"
                   "100 x 100 grid of inputs from about -1 to 0.98 in each coordinate, and prints one\n"
                   "composite value per point (\"%f\"), 100 blocks of 100 lines, each block followed by an\n"
                   "empty line. A missing or damaged save file is reported on standard error with exit\n"
                   "status 1 and nothing on standard output.\n",
                   stdout);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("PlotComposite (bpnet) " BPNET_VERSION);
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
