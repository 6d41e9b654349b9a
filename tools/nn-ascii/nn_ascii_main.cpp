// nn-ascii: show, export and import network save files as text, for the built-in network nn
// or the network of a module given with --module.
//   show   [FILE]  the labelled form, for people
//   export [FILE]  the bare form, one value per line
//   import [FILE]  the bare form on standard input, written to FILE atomically
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "tools/common/cli.h"
#include "tools/common/net_host.h"
#include "tools/common/tool_setup.h"

namespace {

constexpr const char *kTool = "nn-ascii";
constexpr const char *kDefaultFile = "Network.save";

void print_help()
{
    std::printf(
        "Usage: nn-ascii COMMAND [FILE]\n"
        "   or: nn-ascii --module MODULE COMMAND [FILE]\n"
        "   or: nn-ascii --description FILE.toml COMMAND [FILE]\n"
        "Read, edit and rebuild a network save file as text.\n"
        "\n"
        "Commands:\n"
        "  show [FILE]    print the save file in the labelled form (headings, node labels)\n"
        "  export [FILE]  print the save file in the bare form: a \"#\" line, the iteration\n"
        "                 count, the thresholds and weights one per line (62 for nn), a\n"
        "                 closing \"#\"\n"
        "  import [FILE]  read the bare form on standard input and write the save file;\n"
        "                 the file is replaced only when the whole input has been read\n"
        "                 and written, otherwise it is left as it was\n"
        "\n"
        "FILE defaults to \"%s\" in the current folder.\n"
        "Text before the first \"#\" of the input is skipped, and so is everything after\n"
        "the network's values.\n"
        "\n"
        "Precision: the bare form keeps twelve digits after the decimal point. A value\n"
        "whose magnitude is at least 0.0001 comes back bit for bit, so a save file\n"
        "exported and imported again is byte-identical when all its values are at least\n"
        "that large; smaller values may come back as a nearby, different float.\n"
        "\n"
        "Options:\n"
        "  --module MODULE  the network of the shared module MODULE (made by\n"
        "                   \"bpnet-gen --shared\") instead of the built-in nn\n"
        "  --description FILE.toml\n"
        "                   the network of the description FILE.toml, built at run\n"
        "                   time (not with --module)\n"
        "  --help           show this help and exit\n"
        "  --version        show the version and exit\n"
        "\n"
        "Exit status: 0 on success, 1 on any error (message on standard error).\n",
        kDefaultFile);
}

// show and export: load the save file over a fresh network, print it in one of the forms.
int print_save_file(const char *file, int labelled)
{
    bpnet::Network &net = net_host::network();
    net.initialize();
    if (!tool_setup::load_save_file(kTool, file))
        return 1;
    // A successful load may leave a warning about the file's origin.
    if (!net_host::error_text().empty())
        bp_cli::report_module_message(kTool);
    net.ascii_dump(stdout, labelled != 0);
    return bp_cli::finish_output(kTool);
}

// Read all of standard input; false when it cannot be read.
bool read_input(std::string &text)
{
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, stdin)) > 0)
        text.append(buf, n);
    return !std::ferror(stdin);
}

// The number of words between the first "#" and the next one, or -1 when the text has no
// two "#": a bare dump holds the iteration count and the network's values there.
long long dump_words(const std::string &text)
{
    const std::size_t open = text.find('#');
    const std::size_t close = open == std::string::npos ? open : text.find('#', open + 1);
    if (close == std::string::npos)
        return -1;
    long long words = 0;
    bool in_word = false;
    for (std::size_t i = open + 1; i < close; i++) {
        const bool space = std::isspace(static_cast<unsigned char>(text[i])) != 0;
        words += !space && !in_word;
        in_word = !space;
    }
    return words;
}

// Put `text` back on standard input, from its start, for the module's loader. The stream
// reads the text from memory (the C library lets a program point stdin at another stream):
// a copy in a temporary file could fail for reasons that have nothing to do with the save,
// a full temporary folder or a file-size limit smaller than the dump's text.
bool restore_input(std::string &text)
{
    if (text.empty())
        return true;  // standard input is at its end already, as the text is
    FILE *memory = fmemopen(text.data(), text.size(), "r");
    if (memory == nullptr)
        return false;
    stdin = memory;
    return true;
}

// import: read the bare form from standard input, write the save file atomically.
int import_save_file(const char *file)
{
    bpnet::Network &net = net_host::network();
    // A complete dump of another network would load its first values and drop the rest:
    // the values between the two "#" lines must be exactly this network's.
    std::string text;
    if (!read_input(text)) {
        std::fprintf(stderr, "%s: cannot read standard input: %s\n", kTool, std::strerror(errno));
        return 1;
    }
    const long long words = dump_words(text);
    if (words >= 0 && words != 1LL + net.trainable()) {
        std::fprintf(stderr, "%s: the dump holds %lld values after its iteration count, the network %s has %d\n",
                     kTool, words - 1 < 0 ? 0 : words - 1, net.name().c_str(), net.trainable());
        return 1;
    }
    if (!restore_input(text)) {
        std::fprintf(stderr, "%s: cannot keep standard input for reading: %s\n", kTool, std::strerror(errno));
        return 1;
    }
    net.initialize();
    try {
        net.load_ascii(stdin);
    } catch (const bpnet::Error &) {
        return bp_cli::module_error(kTool);
    }
    if (std::ferror(stdin)) {
        std::fprintf(stderr, "%s: cannot read standard input: %s\n", kTool, std::strerror(errno));
        return 1;
    }
    try {
        net.save(file);
    } catch (const bpnet::Error &) {
        return bp_cli::module_error(kTool);
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    // A write past the file-size limit then fails with an error the writer reports (the
    // previous file stays), instead of killing the program without a word.
    std::signal(SIGXFSZ, SIG_IGN);
    // Options first; "--" ends them.
    std::string command;
    std::string file;
    std::string module;
    std::string description;
    int operands = 0;
    bool options_done = false;
    for (int i = 1; i < argc; i++) {
        const std::string_view arg(argv[i]);
        if (!options_done && arg == "--") {
            options_done = true;
        } else if (!options_done && (arg == "--help" || arg == "-h")) {
            print_help();
            return bp_cli::finish_output(kTool);
        } else if (!options_done && arg == "--version") {
            bp_cli::print_version(kTool);
            return bp_cli::finish_output(kTool);
        } else if (!options_done && (arg == "--module" || arg.rfind("--module=", 0) == 0)) {
            const char *value = nullptr;
            if (bp_cli::option_value(argc, argv, i, "--module", value) != bp_cli::kMatched)
                return bp_cli::usage_error(kTool, "option '--module' needs a value");
            if (*value == '\0')
                return bp_cli::usage_error(kTool, "invalid value '' for --module: empty file name");
            module = value;
        } else if (!options_done && (arg == "--description" || arg.rfind("--description=", 0) == 0)) {
            const char *value = nullptr;
            if (bp_cli::option_value(argc, argv, i, "--description", value) != bp_cli::kMatched)
                return bp_cli::usage_error(kTool, "option '--description' needs a value");
            if (*value == '\0')
                return bp_cli::usage_error(kTool, "invalid value '' for --description: empty file name");
            description = value;
        } else if (!options_done && arg.size() > 1 && arg[0] == '-') {
            return bp_cli::usage_error(kTool, "unknown option '" + std::string(arg) + "'");
        } else {
            if (operands == 0)
                command = arg;
            else if (operands == 1)
                file = arg;
            else
                return bp_cli::usage_error(kTool, "too many arguments");
            operands++;
        }
    }
    if (!module.empty() && !description.empty())
        return bp_cli::usage_error(kTool, "--module and --description cannot be given together");
    if (operands == 0)
        return bp_cli::usage_error(kTool, "missing command (show, export or import)");
    if (operands == 1)
        file = kDefaultFile;
    if (file.empty())
        return bp_cli::usage_error(kTool, "empty file name");

    if (command != "show" && command != "export" && command != "import")
        return bp_cli::usage_error(kTool, "unknown command '" + command + "'");

    // The network, checked before anything of it is used.
    if (description.empty() ? !tool_setup::open_network(kTool, module)
                            : !tool_setup::open_description(kTool, description))
        return 1;
    if (command == "show")
        return print_save_file(file.c_str(), 1);
    if (command == "export")
        return print_save_file(file.c_str(), 0);
    if (command == "import")
        return import_save_file(file.c_str());
    return bp_cli::usage_error(kTool, "unknown command '" + command + "'");
}
