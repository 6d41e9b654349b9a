// The composite plot driver's job done with the peer library (FANN): load the network saved
// as "peer.net" (2-4-2-4 with shortcut connections), evaluate it on the same 100 x 100 grid,
// combine the four outputs with the same four Gaussian bumps in the same arithmetic, and print
// every value with printf's "%f". Timed beside PlotComposite as a process.
#include <floatfann.h>

#include <cmath>
#include <cstdio>

namespace {

struct Bump {
    double cx, cy, K, A;
};
constexpr Bump kBumps[4] = {
    {0.04, 0.02, 2563.9142200523142, 8.058827666597988},
    {-0.04, 0.02, 2563.9142200523142, 8.058827666597988},
    {0.0, -0.02, 2563.9142200523142, 8.058827666597988},
    {0.0, 0.02, 10000.0, 15.915493999999999},
};

float offset(float c, double centre)
{
    return centre == 0.0 ? c : static_cast<float>(c - centre);
}

float composite(const float *o, float bx, float by)
{
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
    for (const Bump &b : kBumps) {
        const float dx = offset(bx, b.cx);
        const float dy = offset(by, b.cy);
        const double r2 = static_cast<double>(dx) * dx + static_cast<double>(dy) * dy;
        const float g = static_cast<float>(b.A * std::exp(-0.5 * r2 * b.K));
        if (g > v)
            v = g;
    }
    return static_cast<float>(v);
}

float grid[100 * 100];

}  // namespace

int main()
{
    struct fann *ann = fann_create_from_file("peer.net");
    if (ann == nullptr) {
        std::fprintf(stderr, "peer_driver: cannot load peer.net\n");
        return 1;
    }
    const float step = 0.002f;
    float y = -0.1f;
    for (int i = 0; i < 100; i++) {
        float x = -0.1f;
        for (int j = 0; j < 100; j++) {
            fann_type in[2] = {static_cast<float>(static_cast<double>(x) * 10.0),
                               static_cast<float>(static_cast<double>(y) * 10.0)};
            x = x + step;
            const fann_type *o = fann_run(ann, in);
            grid[i * 100 + j] = composite(o, x, y);
        }
        y = y + step;
    }
    for (int i = 0; i < 100; i++) {
        for (int j = 0; j < 100; j++)
            std::printf("%f\n", static_cast<double>(grid[i * 100 + j]));
        std::printf("\n");
    }
    return 0;
}
