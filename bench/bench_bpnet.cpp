// Benchmarks of the nn module and the composite plot driver, beside exact straight-line
// floors and, when built with it, the same topology in the peer library. Every floor is
// checked bit for bit against the module before anything is timed; a mismatch aborts.
// After the micro-benchmarks (medians of interleaved repetitions), the driver is timed as a
// process beside `cat` of its own output and the peer's driver, in alternation, and a table
// of figures, ratios and targets closes the output.
//
// Options besides Google Benchmark's: --workdir=DIR (holds Network.save, the driver's golden
// output as composite.txt and, with the peer, peer.net), --driver=PATH, --peer-driver=PATH,
// --cat=PATH, --rounds=N (process runs per program), --machine=TEXT (table's machine line).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "bench/bench_floor.h"
#include "bp/BpSim.h"
#include "driver/PlotComposite.h"
#include "network/nn.h"
#include "reference/nn_layout.h"

extern char **environ;

namespace {

using namespace nn_layout;
using bench_common::fmt;
using bench_common::ratio;

std::string g_workdir = ".";
std::string g_driver;
std::string g_peer_driver;
std::string g_cat = "/bin/cat";
std::string g_machine;
int g_rounds = 500;

// The driver's 10,000 network inputs, and a target per input for the learning benchmarks.
constexpr int kPoints = PLOT_GRID * PLOT_GRID;
float g_inputs[kPoints][2];
float g_targets[kPoints][4];

// The sample network's state, restored before each benchmark and periodically during learning.
float g_sample[NN_DATA_SIZE];
// Learning presentations between two restorations of the sample state.
constexpr int kRestoreEvery = 3000;

[[noreturn]] void die(const char *what)
{
    std::fprintf(stderr, "bench_bpnet: %s\n", what);
    std::exit(2);
}

void make_patterns()
{
    const float step = 0.002f;
    float y = -0.1f;
    for (int i = 0; i < PLOT_GRID; i++) {
        float x = -0.1f;
        for (int j = 0; j < PLOT_GRID; j++) {
            float *in = g_inputs[i * PLOT_GRID + j];
            in[0] = static_cast<float>(static_cast<double>(x) * 10.0);
            in[1] = static_cast<float>(static_cast<double>(y) * 10.0);
            x = x + step;
            // A target the network cannot learn to meet: one output high, chosen at random.
            float *t = g_targets[i * PLOT_GRID + j];
            const unsigned q = (static_cast<unsigned>(i * PLOT_GRID + j) * 2654435761u) >> 30;
            for (unsigned k = 0; k < 4; k++)
                t[k] = k == q ? 0.9f : 0.1f;
        }
        y = y + step;
    }
}

// The module's registered vectors.
float g_in[2];
float g_target[4];
int g_next;

void next_pattern()
{
    g_in[0] = g_inputs[g_next][0];
    g_in[1] = g_inputs[g_next][1];
    for (int k = 0; k < 4; k++)
        g_target[k] = g_targets[g_next][k];
    if (++g_next == kPoints)
        g_next = 0;
}

void restore_module()
{
    std::memcpy(network_data, g_sample, sizeof g_sample);
    b0bcounter = 0;
    nn_set_input(g_in);
    nn_set_target_output(g_target);
    g_next = 0;
}

void restore_floor()
{
    std::memcpy(bench_floor::state, g_sample, sizeof g_sample);
    bench_floor::counter = 0;
    g_next = 0;
}

bool same_bits(const float *a, const float *b, int n)
{
    return std::memcmp(a, b, sizeof(float) * static_cast<std::size_t>(n)) == 0;
}

// The floor's forward pass against the module's on every grid input, for the sample network
// and for random networks wide enough to reach the saturated ends of the logistic table.
void check_forward_floor()
{
    for (int trial = 0; trial < 4; trial++) {
        if (trial > 0) {
            nn_set_random_init_seed(1000 + trial);
            nn_set_random_init_range(trial == 1 ? 1.0f : trial == 2 ? 5.0f : 40.0f);
            nn_init_network();
            std::memcpy(bench_floor::state, network_data, sizeof network_data);
        } else {
            restore_module();
            restore_floor();
        }
        nn_set_input(g_in);
        for (int p = 0; p < kPoints; p++) {
            g_in[0] = g_inputs[p][0];
            g_in[1] = g_inputs[p][1];
            nn_propagate_forward();
            bench_floor::forward(g_in);
            if (!same_bits(network_data, bench_floor::state, kH2Delta) ||
                !same_bits(network_data + kOutAct, bench_floor::state + kOutAct, kOut) ||
                !same_bits(network_data + kH2Act, bench_floor::state + kH2Act, kH2))
                die("forward floor differs from the module");
        }
    }
    nn_set_random_init_seed(123);
    nn_set_random_init_range(0.1f);
}

// The floor's learning presentations against the module's: the whole state block, the step
// counter and the random generator's position after each run of presentations.
void check_learn_floor()
{
    for (int start = 0; start < 3; start++) {
        restore_module();
        b0bcounter = start;
        srand48(77 + start);
        for (int p = 0; p < 2 * kRestoreEvery; p++) {
            next_pattern();
            network_learn(1, [] {});
        }
        const double module_next = drand48();

        restore_floor();
        bench_floor::counter = static_cast<unsigned>(start);
        srand48(77 + start);
        int learned = 0;
        for (int p = 0; p < 2 * kRestoreEvery; p++) {
            next_pattern();
            learned += bench_floor::learn(g_in, g_target);
        }
        const double floor_next = drand48();
        if (!same_bits(network_data, bench_floor::state, NN_DATA_SIZE) ||
            static_cast<unsigned>(b0bcounter) != bench_floor::counter || module_next != floor_next)
            die("learning floor differs from the module");
        if (learned != 2 * kRestoreEvery) {
            std::fprintf(stderr, "bench_bpnet: %d of %d presentations learned\n", learned, 2 * kRestoreEvery);
            die("a learning benchmark presentation was not learned");
        }
    }
    // A presentation that meets its target is skipped alike.
    restore_module();
    restore_floor();
    g_in[0] = 0.25f;
    g_in[1] = -0.5f;
    nn_propagate_forward();
    std::memcpy(g_target, nn_get_output(), sizeof g_target);
    if (bench_floor::learn(g_in, g_target))
        die("the floor learned a presentation without error");
    network_learn(1, [] {});
    if (!same_bits(network_data, bench_floor::state, NN_DATA_SIZE) || b0bcounter != 0)
        die("skipped presentation differs between floor and module");
}

// ---- Forward pass --------------------------------------------------------------------------

void BM_Forward_Module(benchmark::State &state)
{
    restore_module();
    const float *out = nn_get_output();
    int p = 0;
    for (auto _ : state) {
        g_in[0] = g_inputs[p][0];
        g_in[1] = g_inputs[p][1];
        nn_propagate_forward();
        benchmark::DoNotOptimize(out[0]);
        if (++p == kPoints)
            p = 0;
    }
}
BENCHMARK(BM_Forward_Module);

void BM_Forward_Floor(benchmark::State &state)
{
    restore_floor();
    int p = 0;
    for (auto _ : state) {
        g_in[0] = g_inputs[p][0];
        g_in[1] = g_inputs[p][1];
        bench_floor::forward(g_in);
        benchmark::DoNotOptimize(bench_floor::state[kOutAct]);
        if (++p == kPoints)
            p = 0;
    }
}
BENCHMARK(BM_Forward_Floor);

// ---- Learning presentation -----------------------------------------------------------------

void BM_Learn_Module(benchmark::State &state)
{
    restore_module();
    int n = 0;
    for (auto _ : state) {
        network_learn(1, next_pattern);
        if (++n == kRestoreEvery) {
            n = 0;
            std::memcpy(network_data, g_sample, sizeof g_sample);
        }
    }
    benchmark::DoNotOptimize(network_data[kOutAct]);
}
BENCHMARK(BM_Learn_Module);

void BM_Learn_Floor(benchmark::State &state)
{
    restore_floor();
    void (*volatile pattern)(void) = next_pattern;
    int n = 0;
    for (auto _ : state) {
        pattern();
        benchmark::DoNotOptimize(bench_floor::learn(g_in, g_target));
        if (++n == kRestoreEvery) {
            n = 0;
            std::memcpy(bench_floor::state, g_sample, sizeof g_sample);
        }
    }
}
BENCHMARK(BM_Learn_Floor);

// A presentation whose error does not exceed the threshold: forward pass and error only.
void fixed_pattern() {}

void BM_LearnSkipped_Module(benchmark::State &state)
{
    restore_module();
    g_in[0] = 0.25f;
    g_in[1] = -0.5f;
    nn_propagate_forward();
    std::memcpy(g_target, nn_get_output(), sizeof g_target);
    for (auto _ : state)
        network_learn(1, fixed_pattern);
    if (b0bcounter != 0)
        state.SkipWithError("presentation was learned");
}
BENCHMARK(BM_LearnSkipped_Module);

void BM_LearnSkipped_Floor(benchmark::State &state)
{
    restore_floor();
    g_in[0] = 0.25f;
    g_in[1] = -0.5f;
    bench_floor::forward(g_in);
    std::memcpy(g_target, bench_floor::state + kOutAct, sizeof g_target);
    void (*volatile pattern)(void) = fixed_pattern;
    for (auto _ : state) {
        pattern();
        benchmark::DoNotOptimize(bench_floor::learn(g_in, g_target));
    }
}
BENCHMARK(BM_LearnSkipped_Floor);

// ---- Driver pieces, table, save and load ---------------------------------------------------

void BM_ComputeGrid(benchmark::State &state)
{
    restore_module();
    nn_set_input(inputv);
    for (auto _ : state) {
        plot_compute_grid();
        benchmark::DoNotOptimize(h123[0]);
    }
}
BENCHMARK(BM_ComputeGrid)->Unit(benchmark::kMicrosecond);

void BM_FormatGrid(benchmark::State &state)
{
    const int fd = open("/dev/null", O_WRONLY);
    for (auto _ : state)
        if (plot_write_grid(fd) != 0)
            state.SkipWithError("write failed");
    close(fd);
}
BENCHMARK(BM_FormatGrid)->Unit(benchmark::kMicrosecond);

// The same text through printf's "%f", for comparison.
void BM_FormatGrid_Printf(benchmark::State &state)
{
    FILE *f = std::fopen("/dev/null", "w");
    for (auto _ : state) {
        for (int i = 0; i < PLOT_GRID; i++) {
            for (int j = 0; j < PLOT_GRID; j++)
                std::fprintf(f, "%f\n", static_cast<double>(h123[i * PLOT_GRID + j]));
            std::fprintf(f, "\n");
        }
        std::fflush(f);
    }
    std::fclose(f);
}
BENCHMARK(BM_FormatGrid_Printf)->Unit(benchmark::kMicrosecond);

void BM_SigmoidTable(benchmark::State &state)
{
    for (auto _ : state)
        BPinit_sigmoid_table();
}
BENCHMARK(BM_SigmoidTable)->Unit(benchmark::kMicrosecond);

void BM_Save(benchmark::State &state)
{
    restore_module();
    const std::string file = g_workdir + "/bench-save.save";
    for (auto _ : state)
        if (nn_dump_network(file.c_str()) != 0)
            state.SkipWithError("save failed");
    unlink(file.c_str());
}
BENCHMARK(BM_Save)->Unit(benchmark::kMicrosecond);

void BM_Load(benchmark::State &state)
{
    const std::string file = g_workdir + "/Network.save";
    for (auto _ : state)
        if (nn_load_network(file.c_str()) != 0)
            state.SkipWithError("load failed");
}
BENCHMARK(BM_Load)->Unit(benchmark::kMicrosecond);

#ifdef BPNET_BENCH_PEER
// ---- The peer library: 2-4-2-4 with shortcut connections ------------------------------------

// The logistic units as the peer computes them (FANN_SIGMOID), and its stepwise-linear
// approximation of them (FANN_SIGMOID_STEPWISE, its default), which is faster and less exact.
struct fann *g_peer;
struct fann *g_peer_step;

void forward_peer(benchmark::State &state, struct fann *ann)
{
    bench_common::run_peer(state, ann, g_inputs[0], 2, kPoints);
}

void learn_peer(benchmark::State &state, struct fann *net)
{
    bench_common::train_peer(state, net, g_inputs[0], 2, g_targets[0], 4, kPoints, kRestoreEvery);
}

void BM_Forward_Peer(benchmark::State &state) { forward_peer(state, g_peer); }
void BM_Forward_PeerStepwise(benchmark::State &state) { forward_peer(state, g_peer_step); }
void BM_Learn_Peer(benchmark::State &state) { learn_peer(state, g_peer); }
void BM_Learn_PeerStepwise(benchmark::State &state) { learn_peer(state, g_peer_step); }
BENCHMARK(BM_Forward_Peer);
BENCHMARK(BM_Forward_PeerStepwise);
BENCHMARK(BM_Learn_Peer);
BENCHMARK(BM_Learn_PeerStepwise);

struct fann *make_peer(enum fann_activationfunc_enum unit)
{
    struct fann *ann = fann_create_shortcut(4, 2, 4, 2, 4);
    if (ann == nullptr)
        die("cannot create the peer network");
    bench_common::configure_peer(ann, unit);
    if (fann_get_total_connections(ann) != 62)
        die("peer network does not have 62 trainable values");
    return ann;
}

void make_peers()
{
    g_peer = make_peer(FANN_SIGMOID);
    g_peer_step = make_peer(FANN_SIGMOID_STEPWISE);
    // The peer's driver loads the logistic network.
    if (fann_save(g_peer, (g_workdir + "/peer.net").c_str()) != 0)
        die("cannot save the peer network");
}
#endif

// ---- Processes -----------------------------------------------------------------------------

struct ProcResult {
    std::vector<double> wall_ms;
    std::vector<double> cpu_ms;
    long peak_kb = -1;
};

std::vector<char *> c_args(const std::vector<std::string> &argv)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    return args;
}

// Run argv in the work folder with standard output to out_file: wall and CPU time in ms.
bool run_once(const std::vector<std::string> &argv, const char *out_file, double &wall_ms, double &cpu_ms)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_file, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char *> args = c_args(argv);
    const auto t0 = std::chrono::steady_clock::now();
    pid_t pid;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return false;
    int status = 0;
    rusage ru{};
    if (wait4(pid, &status, 0, &ru) != pid)
        return false;
    wall_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    cpu_ms = (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Peak resident memory of the program itself, in kB: VmHWM read when it is about to exit.
// (The rusage maximum would also count the launcher's memory from before the exec.)
// Returns -1 when the process cannot be traced.
long peak_kb(const std::vector<std::string> &argv)
{
    std::vector<char *> args = c_args(argv);
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        const int fd = open("/dev/null", O_WRONLY);
        if (fd < 0 || dup2(fd, 1) < 0 || ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
            _exit(127);
        execv(args[0], args.data());
        _exit(127);
    }
    long kb = -1;
    int status = 0;
    bool traced = waitpid(pid, &status, 0) == pid && WIFSTOPPED(status) &&
                  ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void *>(PTRACE_O_TRACEEXIT)) == 0 &&
                  ptrace(PTRACE_CONT, pid, nullptr, nullptr) == 0;
    while (traced && waitpid(pid, &status, 0) == pid && WIFSTOPPED(status)) {
        if ((status >> 8) == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
            const std::string path = "/proc/" + std::to_string(pid) + "/status";
            if (FILE *f = std::fopen(path.c_str(), "r")) {
                char line[256];
                while (std::fgets(line, sizeof line, f))
                    if (std::strncmp(line, "VmHWM:", 6) == 0)
                        kb = std::atol(line + 6);
                std::fclose(f);
            }
            ptrace(PTRACE_CONT, pid, nullptr, nullptr);
        } else {
            ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void *>(static_cast<long>(WSTOPSIG(status))));
        }
    }
    if (!traced) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    return kb;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

std::string read_text(const std::string &path)
{
    std::string s;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return s;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    std::fclose(f);
    return s;
}

// The driver, cat of its output and the peer's driver, one run each per round in rotating
// order, standard output to /dev/null.
std::map<std::string, ProcResult> time_processes()
{
    std::map<std::string, ProcResult> results;
    if (g_driver.empty())
        return results;
    if (chdir(g_workdir.c_str()) != 0)
        die("cannot enter the work folder");
    const std::string golden = read_text("composite.txt");
    double wall, cpu;
    if (!run_once({g_driver}, "driver-out.txt", wall, cpu) || read_text("driver-out.txt") != golden)
        die("the driver's output differs from the golden grid");
    unlink("driver-out.txt");
    std::vector<std::pair<std::string, std::vector<std::string>>> progs = {
        {"driver", {g_driver}},
        {"cat", {g_cat, "composite.txt"}},
    };
    if (!g_peer_driver.empty())
        progs.push_back({"peer", {g_peer_driver}});
    for (int round = -5; round < g_rounds; round++) {  // five warm-up rounds
        for (std::size_t k = 0; k < progs.size(); k++) {
            const auto &[name, argv] = progs[(k + static_cast<std::size_t>(round + 5)) % progs.size()];
            if (!run_once(argv, "/dev/null", wall, cpu))
                die(("process run failed: " + argv[0]).c_str());
            if (round >= 0) {
                results[name].wall_ms.push_back(wall);
                results[name].cpu_ms.push_back(cpu);
            }
        }
    }
    for (const auto &[name, argv] : progs)
        results[name].peak_kb = peak_kb(argv);
    return results;
}

// ---- The table -----------------------------------------------------------------------------

double get(const char *name)
{
    return bench_common::median_ns(name);
}

int g_unmet = 0;

void line(const std::string &figure, const std::string &ours, const std::string &floor, const std::string &peer,
          const std::string &r1, const std::string &r2, const std::string &target)
{
    std::printf("%-30s %9s %9s %9s %8s %9s  %s\n", figure.c_str(), ours.c_str(), floor.c_str(), peer.c_str(),
                r1.c_str(), r2.c_str(), target.c_str());
}

// A figure with a target: ours at most max_floor x the floor, and the peer at least min_peer x ours.
void target_row(const std::string &figure, double ours, double floor, double peer, const char *unit, double max_floor,
                double min_peer)
{
    std::string target;
    bool known = !std::isnan(ours) && !std::isnan(floor);
    bool met = known && ours <= max_floor * floor;
    char buf[96];
    std::snprintf(buf, sizeof buf, "ours/floor <= %.2f", max_floor);
    target = buf;
    if (min_peer > 0) {
        std::snprintf(buf, sizeof buf, ", FANN/ours >= %.1f", min_peer);
        target += buf;
        if (std::isnan(peer))
            target += " (FANN not built)";
        else
            met = met && peer >= min_peer * ours;
    }
    if (!known)
        target = "n/a: " + target;
    else if (!met)
        g_unmet++;
    line(figure, fmt(ours, unit), fmt(floor, unit), fmt(peer, unit), ratio(ours, floor), ratio(peer, ours),
         (known ? (met ? "yes  " : "NO   ") : "") + target);
}

void info_row(const std::string &figure, double ours_ns, double floor_ns, double peer_ns, double scale,
              const char *unit, const std::string &note)
{
    line(figure, fmt(ours_ns / scale, unit), fmt(floor_ns / scale, unit), fmt(peer_ns / scale, unit),
         ratio(ours_ns, floor_ns), ratio(peer_ns, ours_ns), note);
}

int print_table(const std::map<std::string, ProcResult> &procs)
{
    std::printf("\nMedians; micro-benchmarks in CPU time per operation, processes in wall time per run.\n");
    line("figure", "ours", "floor", "FANN", "ours/flr", "FANN/ours", "target met");
    target_row("forward pass", get("BM_Forward_Module"), get("BM_Forward_Floor"), get("BM_Forward_Peer"), "ns", 1.25,
               2.5);
    target_row("learning presentation", get("BM_Learn_Module"), get("BM_Learn_Floor"), get("BM_Learn_Peer"), "ns",
               1.25, 1.7);
    info_row("forward, FANN stepwise units", get("BM_Forward_Module"), get("BM_Forward_Floor"),
             get("BM_Forward_PeerStepwise"), 1, "ns", "(no target: FANN's linear approximation)");
    info_row("learning, FANN stepwise units", get("BM_Learn_Module"), get("BM_Learn_Floor"),
             get("BM_Learn_PeerStepwise"), 1, "ns", "(no target: FANN's linear approximation)");
    info_row("presentation, not learned", get("BM_LearnSkipped_Module"), get("BM_LearnSkipped_Floor"), NAN, 1, "ns",
             "(no target)");
    if (!procs.empty()) {
        const ProcResult &d = procs.at("driver");
        const ProcResult &c = procs.at("cat");
        const ProcResult *p = procs.count("peer") ? &procs.at("peer") : nullptr;
        target_row("driver process (floor: cat)", median(d.wall_ms), median(c.wall_ms), p ? median(p->wall_ms) : NAN,
                   "ms", 1.5, 2.0);
        line("  same, CPU time", fmt(median(d.cpu_ms), "ms"), fmt(median(c.cpu_ms), "ms"),
             p ? fmt(median(p->cpu_ms), "ms") : "-", ratio(median(d.cpu_ms), median(c.cpu_ms)),
             p ? ratio(median(p->cpu_ms), median(d.cpu_ms)) : "-", "(user + system, no target)");
        auto kb = [](long v) { return v < 0 ? std::string("-") : std::to_string(v) + " kB"; };
        const bool known = d.peak_kb >= 0;
        const bool met = known && d.peak_kb < 1536;
        if (known && !met)
            g_unmet++;
        line("driver peak memory (VmHWM)", kb(d.peak_kb), kb(c.peak_kb), p ? kb(p->peak_kb) : "-", "-", "-",
             known ? (met ? "yes  < 1536 kB" : "NO   < 1536 kB") : "n/a: process could not be traced");
    } else {
        line("driver process", "-", "-", "-", "-", "-", "not timed (no --driver given)");
    }
    info_row("grid computation", get("BM_ComputeGrid"), NAN, NAN, 1e3, "us", "(10,000 points, no printing)");
    info_row("grid formatting", get("BM_FormatGrid"), NAN, NAN, 1e3, "us",
             "(printf \"%f\" of the same grid: " + fmt(get("BM_FormatGrid_Printf") / 1e3, "us") + ")");
    info_row("sigmoid table build", get("BM_SigmoidTable"), NAN, NAN, 1e3, "us", "");
    info_row("save (written, synced, renamed)", get("BM_Save"), NAN, NAN, 1e3, "us", "");
    info_row("load", get("BM_Load"), NAN, NAN, 1e3, "us", "");
    if (!g_machine.empty())
        std::printf("machine: %s\n", g_machine.c_str());
    std::printf("%s\n", g_unmet == 0 ? "every target met" : (std::to_string(g_unmet) + " target(s) NOT met").c_str());
    return g_unmet;
}

// The options of this program (see the top of the file).
bool our_option(const char *arg)
{
    using bench_common::take_option;
    std::string rounds;
    if (take_option(arg, "--rounds", rounds)) {
        g_rounds = std::max(1, std::atoi(rounds.c_str()));
        return true;
    }
    return take_option(arg, "--workdir", g_workdir) || take_option(arg, "--driver", g_driver) ||
           take_option(arg, "--peer-driver", g_peer_driver) || take_option(arg, "--cat", g_cat) ||
           take_option(arg, "--machine", g_machine);
}

}  // namespace

int main(int argc, char **argv)
{
    if (!bench_common::initialize(argc, argv, our_option))
        return 2;

    // The sample network, the patterns, and the floors checked against the module.
    network_initialize((g_workdir + "/Network.save").c_str(), 0);
    std::memcpy(g_sample, network_data, sizeof g_sample);
    make_patterns();
    check_forward_floor();
    check_learn_floor();
    restore_module();
    std::printf("floors checked bit for bit against the module\n");
    // The grid the formatting benchmarks print.
    nn_set_input(inputv);
    plot_compute_grid();
    restore_module();
#ifdef BPNET_BENCH_PEER
    make_peers();
#endif

    bench_common::run();
    const auto procs = time_processes();
    return print_table(procs) == 0 ? 0 : 1;
}
