// nn-ascii: show, export and import network save files as text.
//   show   [FILE]  the labelled form, for people
//   export [FILE]  the bare form, one value per line
//   import [FILE]  the bare form on standard input, written to FILE atomically
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "network/nn.h"
#include "tools/common/cli.h"

namespace {

constexpr const char *kTool = "nn-ascii";
constexpr const char *kDefaultFile = "Network.save";

void print_help()
{
    std::printf(
        "Usage: nn-ascii COMMAND [FILE]\n"
        "Read, edit and rebuild a network save file as text.\n"
        "\n"
        "Commands:\n"
        "  show [FILE]    print the save file in the labelled form (headings, node labels)\n"
        "  export [FILE]  print the save file in the bare form: a \"#\" line, the iteration\n"
        "                 count, the 62 thresholds and weights one per line, a closing \"#\"\n"
        "  import [FILE]  read the bare form on standard input and write the save file;\n"
        "                 the file is replaced only when the whole input has been read\n"
        "                 and written, otherwise it is left as it was\n"
        "\n"
        "FILE defaults to \"%s\" in the current folder.\n"
        "Text before the first \"#\" of the input is skipped, and so is everything after\n"
        "the 62 values.\n"
        "\n"
        "Precision: the bare form keeps twelve digits after the decimal point. A value\n"
        "whose magnitude is at least 0.0001 comes back bit for bit, so a save file\n"
        "exported and imported again is byte-identical when all its values are at least\n"
        "that large; smaller values may come back as a nearby, different float.\n"
        "\n"
        "Options:\n"
        "  --help     show this help and exit\n"
        "  --version  show the version and exit\n"
        "\n"
        "Exit status: 0 on success, 1 on any error (message on standard error).\n",
        kDefaultFile);
}

// show and export: load the save file over a fresh network, print it in one of the forms.
int print_save_file(const char *file, int labelled)
{
    nn_init_network();
    if (nn_load_network(file) != 0)
        return bp_cli::module_error(kTool);
    // A successful load may leave a warning about the file's origin.
    if (error_string[0] != '\0')
        bp_cli::report_module_message(kTool);
    nn_ascii_dump_network(labelled);
    return bp_cli::finish_output(kTool);
}

// import: read the bare form from standard input, write the save file atomically.
int import_save_file(const char *file)
{
    nn_init_network();
    if (nn_load_ascii_network() != 0)
        return bp_cli::module_error(kTool);
    if (std::ferror(stdin)) {
        std::fprintf(stderr, "%s: cannot read standard input: %s\n", kTool, std::strerror(errno));
        return 1;
    }
    if (nn_dump_network(file) != 0)
        return bp_cli::module_error(kTool);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    // Options first; "--" ends them.
    std::string command;
    std::string file;
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
    if (operands == 0)
        return bp_cli::usage_error(kTool, "missing command (show, export or import)");
    if (operands == 1)
        file = kDefaultFile;
    if (file.empty())
        return bp_cli::usage_error(kTool, "empty file name");

    if (command == "show")
        return print_save_file(file.c_str(), 1);
    if (command == "export")
        return print_save_file(file.c_str(), 0);
    if (command == "import")
        return import_save_file(file.c_str());
    return bp_cli::usage_error(kTool, "unknown command '" + command + "'");
}
