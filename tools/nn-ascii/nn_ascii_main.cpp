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
#include "tools/common/bpnet_version.h"

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

// Print the network module's message without its surrounding line breaks.
void report_module_message()
{
    std::string_view msg(error_string);
    while (!msg.empty() && (msg.front() == '\n' || msg.front() == ' '))
        msg.remove_prefix(1);
    while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' '))
        msg.remove_suffix(1);
    std::fprintf(stderr, "%s: %.*s\n", kTool, static_cast<int>(msg.size()), msg.data());
}

// Report a failure of the network module; status 1.
int fail_with_module_message()
{
    report_module_message();
    return 1;
}

// Usage error: message, hint, status 1.
int usage_error(const std::string &msg)
{
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kTool, msg.c_str(), kTool);
    return 1;
}

// Flush standard output; 0, or 1 with a message when it could not be written.
int finish_output()
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "%s: cannot write standard output: %s\n", kTool, std::strerror(errno));
        return 1;
    }
    return 0;
}

// show and export: load the save file over a fresh network, print it in one of the forms.
int print_save_file(const char *file, int labelled)
{
    nn_init_network();
    if (nn_load_network(file) != 0)
        return fail_with_module_message();
    // A successful load may leave a warning about the file's origin.
    if (error_string[0] != '\0')
        report_module_message();
    nn_ascii_dump_network(labelled);
    return finish_output();
}

// import: read the bare form from standard input, write the save file atomically.
int import_save_file(const char *file)
{
    nn_init_network();
    if (nn_load_ascii_network() != 0)
        return fail_with_module_message();
    if (std::ferror(stdin)) {
        std::fprintf(stderr, "%s: cannot read standard input: %s\n", kTool, std::strerror(errno));
        return 1;
    }
    if (nn_dump_network(file) != 0)
        return fail_with_module_message();
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
            return finish_output();
        } else if (!options_done && arg == "--version") {
            std::printf("%s (bpnet) %s\n", kTool, BPNET_VERSION);
            return finish_output();
        } else if (!options_done && arg.size() > 1 && arg[0] == '-') {
            return usage_error("unknown option '" + std::string(arg) + "'");
        } else {
            if (operands == 0)
                command = arg;
            else if (operands == 1)
                file = arg;
            else
                return usage_error("too many arguments");
            operands++;
        }
    }
    if (operands == 0)
        return usage_error("missing command (show, export or import)");
    if (operands == 1)
        file = kDefaultFile;
    if (file.empty())
        return usage_error("empty file name");

    if (command == "show")
        return print_save_file(file.c_str(), 1);
    if (command == "export")
        return print_save_file(file.c_str(), 0);
    if (command == "import")
        return import_save_file(file.c_str());
    return usage_error("unknown command '" + command + "'");
}
