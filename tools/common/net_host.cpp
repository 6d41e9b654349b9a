// The network a tool works on: the built-in nn, a loaded module or a description's network.
#include "tools/common/net_host.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "gen/rtnet/bpnet_network.h"
#include "network/nn_linked.h"

namespace {

// The open network, and where it came from.
std::unique_ptr<bpnet::Network> g_network;
bool g_built_in = false;
std::string g_source;  // the description file of a network built at run time

// A black-box name as the description format allows it: a letter, then letters, digits and
// underscores, at most 31 characters.
bool valid_name(const std::string &text)
{
    if (text.empty() || text.size() > 31)
        return false;
    const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (!letter(text[0]))
        return false;
    for (std::size_t i = 1; i < text.size(); i++)
        if (!letter(text[i]) && !(text[i] >= '0' && text[i] <= '9') && text[i] != '_')
            return false;
    return true;
}

// Open a network through make, which throws bpnet::Error with the message.
template <typename Make>
bool open_with(Make &&make, std::string &error)
{
    g_network.reset();
    try {
        g_network = make();
    } catch (const bpnet::Error &e) {
        error = e.what();
        return false;
    }
    return true;
}

// Read a NUL-terminated name of at most 31 characters at offset at of fd.
bool read_name_at(int fd, std::int64_t at, std::string &name)
{
    char buffer[33] = {};
    const ssize_t got = pread(fd, buffer, 32, static_cast<off_t>(at));
    if (got <= 0)
        return false;
    const std::size_t n = strnlen(buffer, static_cast<std::size_t>(got));
    if (n == 0 || n == static_cast<std::size_t>(got))
        return false;
    name.assign(buffer, n);
    return valid_name(name);
}

}  // namespace

namespace net_host {

bool open_network(const std::string &module_path, std::string &error)
{
    g_built_in = module_path.empty();
    g_source.clear();
    // One network for the tool's run: the module is loaded from its file, not a copy.
    if (g_built_in)
        return open_with([] { return bpnet::Network::from_descriptor(nn_linked::module()); }, error);
    return open_with([&] { return bpnet::Network::open_module(module_path, false); }, error);
}

bool open_description(const std::string &description_path, std::string &error)
{
    g_built_in = false;
    g_source = description_path;
    return open_with([&] { return bpnet::Network::from_file(description_path); }, error);
}

bool is_open()
{
    return g_network != nullptr;
}

bpnet::Network &network()
{
    return *g_network;
}

bool built_in()
{
    return g_built_in;
}

bool has_feedback()
{
    return g_network->feedback() > 0;
}

std::string network_label()
{
    if (g_built_in)
        return "network " + g_network->name();
    if (!g_source.empty())
        return "network " + g_network->name() + " of description " + g_source;
    return "network " + g_network->name() + " of module " + g_network->module_path();
}

std::string error_text()
{
    return g_network ? g_network->error_text() : std::string();
}

std::string other_network_in(const std::string &save_file)
{
    if (!g_network)
        return "";
    const int fd = open(save_file.c_str(), O_RDONLY);
    if (fd < 0)
        return "";
    // The header: three compiler words, 256 reserved bytes, the record count, one length per
    // record; the records follow, each starting with its black box's name.
    std::string other;
    struct stat st;
    std::int32_t count = 0;
    constexpr std::int64_t kCountAt = 12 + 256;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && pread(fd, &count, 4, kCountAt) == 4 && count >= 1 &&
        count <= 64) {
        std::int64_t at = kCountAt + 4 + 4 * static_cast<std::int64_t>(count);
        bool ours = false;
        for (std::int32_t i = 0; i < count && at < st.st_size; i++) {
            std::int32_t length = 0;
            std::string name;
            if (pread(fd, &length, 4, kCountAt + 4 + 4 * i) != 4 || length <= 0 || !read_name_at(fd, at, name))
                break;
            ours = ours || name == g_network->name();
            if (other.empty())
                other = name;
            at += length;
        }
        if (ours)
            other.clear();
    }
    close(fd);
    return other;
}

}  // namespace net_host
