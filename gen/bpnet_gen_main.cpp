// bpnet-gen: reads a network description and writes the network's straight-line module
// (NAME.h and NAME.cpp), or compiles it into a shared module with --shared.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "gen/bpnet_gen_config.h"
#include "gen/embed.h"
#include "gen/emit.h"
#include "gen/model.h"
#include "gen/cli.h"

extern char **environ;

namespace {

constexpr const char *kTool = "bpnet-gen";
namespace fs = std::filesystem;

int help()
{
    std::printf(
        "Usage: bpnet-gen DESCRIPTION -o DIR\n"
        "       bpnet-gen --shared DESCRIPTION -o FILE.so\n"
        "       bpnet-gen --check DESCRIPTION\n"
        "       bpnet-gen --print-name DESCRIPTION\n"
        "       bpnet-gen --embed DESCRIPTION [--weights FILE] [--test N] -o DIR\n"
        "       bpnet-gen --embed DESCRIPTION --integer 16|8 [--inputs FILE.csv] [--in-frac-bits N] ... -o DIR\n"
        "Generate the straight-line network module of the network that DESCRIPTION (a TOML\n"
        "file) describes: DIR/NAME.h and DIR/NAME.cpp, NAME being the network's name.\n"
        "\n"
        "  -o, --output PATH  the folder for the module's files, or the shared module with --shared\n"
        "      --shared       compile the module into a shared module FILE.so that a host can load\n"
        "      --check        only read and check the description, and print its sizes\n"
        "      --print-name   print the network's name (after checking the description)\n"
        "      --embed        write DIR/NAME_embed.h and DIR/NAME_embed.c: the forward pass as one\n"
        "                     freestanding C99 file, values baked in, the module's outputs bit for bit\n"
        "      --weights FILE with --embed: the values of a save file or a bare ASCII dump of the\n"
        "                     network (default: the initial random values of --seed and --range)\n"
        "      --seed S       with --embed: seed of the initial values and the test inputs (default 123)\n"
        "      --range R      with --embed: initial values uniform in [-R, R] (default 0.1)\n"
        "      --test N       with --embed: also write DIR/NAME_embed_test.c, N inputs and the module's\n"
        "                     outputs for them, and a main that checks the embedded pass against them\n"
        "      --accumulate double|float\n"
        "                     with --embed: sums in double (default, exact) or in float alone\n"
        "      --integer 16|8 with --embed: the integer form, values and activations fixed point in\n"
        "                     16- or 8-bit integers, no floating point at all; its test passes within\n"
        "                     1/32 (16) or 1/4 (8) of max(1, largest |output|) of the module's outputs\n"
        "      --in-frac-bits N\n"
        "                     with --integer: inputs at N fraction bits (default: from --inputs, else\n"
        "                     inputs in [-1, 1]: 15 or 7)\n"
        "      --inputs FILE  with --integer: a CSV of input vectors as the network sees them; their\n"
        "                     range sets the input scale, they calibrate the scales and are the first\n"
        "                     test vectors\n"
        "      --help         print this help and exit\n"
        "      --version      print the version and exit\n"
        "\n"
        "A description that is not valid is reported as FILE:LINE:COLUMN: what is wrong, and\n"
        "nothing is written. Exit status: 0 on success, 1 on any error.\n");
    return bp_cli::finish_output(kTool);
}

// Write `text` to `path` through a temporary file beside it, renamed over it when complete.
bool write_file(const fs::path &path, const std::string &text)
{
    const fs::path temp = path.string() + ".tmp." + std::to_string(getpid());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            std::error_code ec;
            fs::remove(temp, ec);
            return false;
        }
    }
    std::error_code ec;
    fs::rename(temp, path, ec);
    if (ec) {
        fs::remove(temp, ec);
        return false;
    }
    return true;
}

// Where the headers and the kernel library are: beside an installed bpnet-gen
// (<prefix>/bin, <prefix>/include/bpnet, <prefix>/<libdir>), else in the build tree.
struct Toolchain {
    std::string include;
    std::string library;
};

Toolchain find_toolchain()
{
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const fs::path prefix = exe.parent_path().parent_path();
        const fs::path include = prefix / "include" / "bpnet";
        const fs::path library = prefix / BPNET_GEN_INSTALL_LIBDIR / "libbpsim.a";
        if (fs::exists(include / "gen" / "runtime" / "bpnet_module.h", ec) && fs::exists(library, ec))
            return {include.string(), library.string()};
    }
    return {BPNET_GEN_BUILD_INCLUDE, BPNET_GEN_BUILD_LIBRARY};
}

// Split a space-separated flag list.
void add_words(std::vector<std::string> &args, const std::string &words)
{
    std::size_t at = 0;
    while (at < words.size()) {
        const std::size_t end = words.find(' ', at);
        const std::string w = words.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (!w.empty())
            args.push_back(w);
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
}

// Run a program and wait for it; its exit status, or -1 when it could not be started.
int run(const std::vector<std::string> &args)
{
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Compile the generated module into a shared module at `output`.
int build_shared(const bpgen::Model &m, const std::string &header, const std::string &source, const fs::path &output)
{
    std::error_code ec;
    char pattern[] = "/tmp/bpnet-gen.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::fprintf(stderr, "%s: cannot make a temporary folder: %s\n", kTool, std::strerror(errno));
        return 1;
    }
    const fs::path dir = pattern;
    const fs::path cpp = dir / (m.network + ".cpp");
    const fs::path so = dir / "module.so";
    int status = 1;
    if (!write_file(dir / (m.network + ".h"), header) || !write_file(cpp, source)) {
        std::fprintf(stderr, "%s: cannot write the module's source in %s\n", kTool, dir.c_str());
    } else {
        const Toolchain tc = find_toolchain();
        std::vector<std::string> args{BPNET_GEN_CXX};
        add_words(args, BPNET_GEN_CXXFLAGS);
        for (const char *a : {"-shared", "-fPIC", "-I"})
            args.push_back(a);
        args.back() += dir.string();
        args.push_back("-I" + tc.include);
        args.push_back(cpp.string());
        args.push_back(tc.library);
        // The kernel library goes into the module, its names hidden and every reference of the
        // module bound to its own definitions: modules loaded side by side stay apart.
        for (const char *a : {"-Wl,-Bsymbolic", "-Wl,--exclude-libs,ALL", "-lm", "-o"})
            args.push_back(a);
        args.push_back(so.string());
        const int rc = run(args);
        if (rc != 0) {
            std::fprintf(stderr, "%s: the compiler %s %s (command: ", kTool, BPNET_GEN_CXX,
                         rc < 0 ? "could not be run" : "failed");
            for (const std::string &a : args)
                std::fprintf(stderr, " %s", a.c_str());
            std::fprintf(stderr, ")\n");
        } else {
            // Copy beside the target, then rename over it: a failure leaves no half module.
            const fs::path temp = output.string() + ".tmp." + std::to_string(getpid());
            fs::copy_file(so, temp, fs::copy_options::overwrite_existing, ec);
            if (!ec)
                fs::rename(temp, output, ec);
            if (ec) {
                fs::remove(temp, ec);
                std::fprintf(stderr, "%s: cannot write %s\n", kTool, output.c_str());
            } else {
                status = 0;
            }
        }
    }
    fs::remove_all(dir, ec);
    return status;
}

}  // namespace

int main(int argc, char **argv)
{
    // A write past the file-size limit then fails with an error the writer reports (the
    // previous file stays), instead of killing the program without a word.
    std::signal(SIGXFSZ, SIG_IGN);
    const char *description = nullptr;
    const char *output = nullptr;
    bool shared = false, check = false, print_name = false;
    bool embed = false, embed_option = false, integer_option = false, accumulate_given = false;
    bpgen::EmbedOptions embed_options;
    for (int i = 1; i < argc; i++) {
        const std::string_view a = argv[i];
        const char *value = nullptr;
        if (a == "--help")
            return help();
        if (a == "--version") {
            bp_cli::print_version(kTool);
            return bp_cli::finish_output(kTool);
        }
        if (a == "--shared") {
            shared = true;
        } else if (a == "--check") {
            check = true;
        } else if (a == "--print-name") {
            print_name = true;
        } else if (a == "--embed") {
            embed = true;
        } else if (const bp_cli::OptionMatch me = bp_cli::option_value(argc, argv, i, "--weights", value);
                   me != bp_cli::kNoMatch) {
            if (me == bp_cli::kMissingValue || *value == '\0')
                return bp_cli::usage_error(kTool, "--weights needs a file");
            embed_options.weights = value;
            embed_option = true;
        } else if (const bp_cli::OptionMatch ms = bp_cli::option_value(argc, argv, i, "--seed", value);
                   ms != bp_cli::kNoMatch) {
            std::int64_t s = 0;
            if (ms == bp_cli::kMissingValue || !bp_cli::parse_signed(value, INT32_MIN, INT32_MAX, s))
                return bp_cli::usage_error(kTool, "--seed: expected a whole number from -2147483648 to 2147483647");
            embed_options.seed = static_cast<int>(s);
            embed_option = true;
        } else if (const bp_cli::OptionMatch mr = bp_cli::option_value(argc, argv, i, "--range", value);
                   mr != bp_cli::kNoMatch) {
            if (mr == bp_cli::kMissingValue || !bp_cli::parse_float(value, embed_options.range) ||
                embed_options.range < 0.0f)
                return bp_cli::usage_error(kTool, "--range: expected a finite number, at least 0");
            embed_option = true;
        } else if (const bp_cli::OptionMatch mn = bp_cli::option_value(argc, argv, i, "--test", value);
                   mn != bp_cli::kNoMatch) {
            std::uint64_t n = 0;
            if (mn == bp_cli::kMissingValue || !bp_cli::parse_unsigned(value, 100000, n) || n == 0)
                return bp_cli::usage_error(kTool, "--test: expected a whole number from 1 to 100000");
            embed_options.tests = static_cast<int>(n);
            embed_option = true;
        } else if (const bp_cli::OptionMatch ma = bp_cli::option_value(argc, argv, i, "--accumulate", value);
                   ma != bp_cli::kNoMatch) {
            if (ma == bp_cli::kMissingValue || (std::strcmp(value, "double") != 0 && std::strcmp(value, "float") != 0))
                return bp_cli::usage_error(kTool, "--accumulate: expected double or float");
            embed_options.accumulate =
                std::strcmp(value, "float") == 0 ? bpgen::Accumulate::single : bpgen::Accumulate::exact;
            accumulate_given = true;
            embed_option = true;
        } else if (const bp_cli::OptionMatch mi = bp_cli::option_value(argc, argv, i, "--integer", value);
                   mi != bp_cli::kNoMatch) {
            if (mi == bp_cli::kMissingValue || (std::strcmp(value, "16") != 0 && std::strcmp(value, "8") != 0))
                return bp_cli::usage_error(kTool, "--integer: expected 16 or 8");
            embed_options.integer = std::atoi(value);
            embed_option = true;
        } else if (const bp_cli::OptionMatch mf = bp_cli::option_value(argc, argv, i, "--in-frac-bits", value);
                   mf != bp_cli::kNoMatch) {
            std::int64_t f = 0;
            if (mf == bp_cli::kMissingValue || !bp_cli::parse_signed(value, -16, 30, f))
                return bp_cli::usage_error(kTool, "--in-frac-bits: expected a whole number from -16 to 30");
            embed_options.in_frac_bits = static_cast<int>(f);
            integer_option = true;
        } else if (const bp_cli::OptionMatch mp = bp_cli::option_value(argc, argv, i, "--inputs", value);
                   mp != bp_cli::kNoMatch) {
            if (mp == bp_cli::kMissingValue || *value == '\0')
                return bp_cli::usage_error(kTool, "--inputs needs a file");
            embed_options.inputs = value;
            integer_option = true;
        } else if (a == "-o") {
            if (i + 1 >= argc)
                return bp_cli::usage_error(kTool, "-o needs a value");
            output = argv[++i];
        } else if (const bp_cli::OptionMatch mt = bp_cli::option_value(argc, argv, i, "--output", value);
                   mt != bp_cli::kNoMatch) {
            if (mt == bp_cli::kMissingValue)
                return bp_cli::usage_error(kTool, "--output needs a value");
            output = value;
        } else if (!a.empty() && a[0] != '-' && description == nullptr) {
            description = argv[i];
        } else {
            return bp_cli::unknown_argument(kTool, a);
        }
    }
    if (description == nullptr)
        return bp_cli::usage_error(kTool, "no description file given");
    if (embed_option && !embed)
        return bp_cli::usage_error(kTool, "--weights, --seed, --range, --test and --accumulate go with --embed");
    if (integer_option && embed_options.integer == 0)
        return bp_cli::usage_error(kTool, "--in-frac-bits and --inputs go with --integer");
    if (embed_options.integer != 0 && accumulate_given)
        return bp_cli::usage_error(kTool, "--integer sums in integers: it takes no --accumulate");
    if (embed && (shared || check || print_name))
        return bp_cli::usage_error(kTool, "--embed writes C files: it takes no --shared, --check or --print-name");
    if (embed && output == nullptr)
        return bp_cli::usage_error(kTool, "--embed needs an output folder (-o DIR)");
    if ((check || print_name) && (shared || output != nullptr))
        return bp_cli::usage_error(kTool, "--check and --print-name write no module: they take no -o or --shared");
    if (!check && !print_name && output == nullptr)
        return bp_cli::usage_error(kTool, shared ? "--shared needs -o FILE.so" : "no output folder given (-o DIR)");

    bpgen::Error error;
    const std::optional<bpgen::Model> model = bpgen::load_description(description, error);
    if (!model) {
        std::fprintf(stderr, "%s: %s\n", kTool, error.text.c_str());
        return 1;
    }
    if (print_name) {
        std::printf("%s\n", model->network.c_str());
        return bp_cli::finish_output(kTool);
    }
    if (check) {
        const bpgen::Sizes sz = bpgen::measure(*model);
        std::printf("%s: %d inputs, %zu layers, %lld units, %lld trainable values, %lld floats of state",
                    model->network.c_str(), model->inputs, model->layers.size(), static_cast<long long>(sz.units),
                    static_cast<long long>(sz.trainable), static_cast<long long>(sz.data));
        // Layers with feedback, with their orders.
        const char *lead = "; feedback: ";
        for (const bpgen::Layer &l : model->layers)
            if (l.feedback > 0) {
                std::printf("%s%s (order %d)", lead, l.name.c_str(), l.feedback);
                lead = ", ";
            }
        std::printf("\n");
        return bp_cli::finish_output(kTool);
    }
    const std::string header = bpgen::emit_header(*model);
    const std::string source = bpgen::emit_source(*model);
    if (embed) {
        embed_options.output = output;
        return bpgen::run_embed(*model, embed_options, [&](const std::string &so) {
            return build_shared(*model, header, source, so);
        });
    }
    if (shared)
        return build_shared(*model, header, source, output);

    const fs::path dir = output;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir, ec)) {
        std::fprintf(stderr, "%s: %s is not a folder and cannot be made one\n", kTool, output);
        return 1;
    }
    if (!write_file(dir / (model->network + ".h"), header) || !write_file(dir / (model->network + ".cpp"), source)) {
        std::fprintf(stderr, "%s: cannot write the module into %s\n", kTool, output);
        return 1;
    }
    return 0;
}
