// A network module made by `bpnet-gen --shared`, opened through its descriptor. Every object
// loads a private copy of the module's file, so that two networks of one module do not share
// the module's state (network_data, the rates, the counter, the error text).
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gen/runtime/bpnet_descriptor.h"
#include "python/src/backend.h"
#include "tools/common/module_file.h"

namespace bpy {

float presentation_error(const float *outputs, const float *targets, int n)
{
    double sum = 0.0;
    for (int i = 0; i < n; i++) {
        const float d = static_cast<float>(static_cast<double>(targets[i]) - outputs[i]);
        sum += static_cast<double>(d) * d;
    }
    const float half_sum = static_cast<float>(0.5 * sum);
    return static_cast<float>(static_cast<double>(half_sum) / n);
}

namespace {

// Bounds on what a descriptor may claim before it is believed.
constexpr int kMaxUnits = 1 << 24;
constexpr int kMaxLayers = 4096;

// The library's messages come framed in newlines; Python shows them on one line.
std::string trimmed(const char *text)
{
    std::string s = text == nullptr ? std::string() : std::string(text, strnlen(text, 4096));
    const auto first = s.find_first_not_of(" \n\r\t");
    if (first == std::string::npos)
        return "";
    const auto last = s.find_last_not_of(" \n\r\t");
    return s.substr(first, last - first + 1);
}

// Copy the file at path into a fresh temporary file; returns its name.
std::string private_copy(const std::string &path)
{
    const int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        throw Error(path + ": " + std::strerror(errno));
    const char *dir = std::getenv("TMPDIR");
    std::string name = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/bpnet-module.XXXXXX";
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    const int out = mkstemp(buffer.data());
    if (out < 0) {
        const int e = errno;
        close(in);
        throw Error(path + ": cannot make a private copy of the module: " + std::strerror(e));
    }
    name = buffer.data();
    char chunk[1 << 16];
    bool ok = true;
    for (;;) {
        const ssize_t got = read(in, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        for (ssize_t put = 0; put < got;) {
            const ssize_t n = write(out, chunk + put, static_cast<std::size_t>(got - put));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                ok = false;
                break;
            }
            put += n;
        }
        if (!ok)
            break;
    }
    const int e = errno;
    close(in);
    if (close(out) != 0)
        ok = false;
    if (!ok) {
        unlink(name.c_str());
        throw Error(path + ": cannot make a private copy of the module: " + std::strerror(e));
    }
    return name;
}

// A module opened from its private copy.
class ModuleBackend final : public Backend {
public:
    explicit ModuleBackend(const std::string &path) : path_(path) { open_module(); }
    ~ModuleBackend() override
    {
        if (handle_ != nullptr)
            dlclose(handle_);
    }
    ModuleBackend(const ModuleBackend &) = delete;
    ModuleBackend &operator=(const ModuleBackend &) = delete;

    std::string name() const override { return name_; }
    int inputs() const override { return inputs_; }
    int outputs() const override { return outputs_; }
    int data_size() const override { return data_size_; }
    int trainable() const override { return trainable_; }
    std::vector<Layer> layers() const override { return layers_; }
    float learning_rate() const override { return d_->get_learning_rate_proc(); }
    void set_learning_rate(float v) override { d_->set_learning_rate_proc(v); }
    float inertia() const override { return d_->get_inertia_proc(); }
    void set_inertia(float v) override { d_->set_inertia_proc(v); }
    float threshold() const override { return *threshold_; }
    void set_threshold(float v) override { *threshold_ = v; }
    int counter() const override { return d_->get_backprop_counter_proc(); }
    void set_counter(int v) override { d_->set_backprop_counter_proc(v); }
    float *data() override { return data_; }

    void initialize(int seed, float range) override
    {
        d_->set_random_init_seed_proc(seed);
        d_->set_random_init_range_proc(range);
        d_->init_network_proc();
    }

    void forward(const float *x, float *y) override
    {
        std::memcpy(input_.data(), x, sizeof(float) * input_.size());
        d_->set_input_proc(input_.data());
        d_->propagate_forward_proc();
        std::memcpy(y, d_->get_output_proc(), sizeof(float) * static_cast<std::size_t>(outputs_));
    }

    float learn(const float *x, const float *t) override
    {
        std::memcpy(input_.data(), x, sizeof(float) * input_.size());
        std::memcpy(target_.data(), t, sizeof(float) * target_.size());
        d_->set_input_proc(input_.data());
        d_->set_target_output_proc(target_.data());
        // The vectors are in place already: the pattern function has nothing to do.
        d_->network_learn_proc(1, [] {});
        // The outputs are still the presentation's: the update changes only the weights.
        return presentation_error(d_->get_output_proc(), target_.data(), outputs_);
    }

    void clear_delays() override { clear_delays_(); }

    void save(const std::string &path) override
    {
        if (d_->dump_network_proc(path.c_str()) != 0)
            throw Error(trimmed(d_->error_string_proc()));
    }

    void load(const std::string &path) override
    {
        if (d_->load_network_proc(path.c_str()) != 0)
            throw Error(trimmed(d_->error_string_proc()));
    }

    std::string ascii_dump(bool labelled) override;
    void load_ascii(const std::string &text) override;

private:
    void open_module();
    void check_layers(bpnet_query_fn query);
    void *symbol(const char *name, bool required = true);

    std::string path_;
    void *handle_ = nullptr;
    bpnet_query_fn query_ = nullptr;
    const bpnet_descriptor *d_ = nullptr;
    std::string name_;
    int inputs_ = 0, outputs_ = 0, layer_count_ = 0, data_size_ = 0, trainable_ = 0;
    std::vector<Layer> layers_;
    float *data_ = nullptr;
    float *threshold_ = nullptr;
    void (*clear_delays_)(void) = nullptr;
    void (*ascii_dump_)(std::FILE *, int) = nullptr;
    int (*load_ascii_)(std::FILE *) = nullptr;
    std::vector<float> input_, target_;
};

void *ModuleBackend::symbol(const char *name, bool required)
{
    dlerror();
    void *p = dlsym(handle_, name);
    if (p == nullptr && required)
        throw Error(path_ + ": not a complete network module (it has no " + name + ")");
    return p;
}

void ModuleBackend::open_module()
{
    // Only a regular file whose segments lie inside it goes to the loader.
    struct stat st;
    if (stat(path_.c_str(), &st) != 0)
        throw Error(path_ + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        throw Error(path_ + ": not a regular file");
    if (std::string problem; !module_file::check(path_, problem))
        throw Error(problem);

    // Load the private copy; its name can go at once, the mapping stays.
    const std::string copy = private_copy(path_);
    handle_ = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    const char *why = handle_ == nullptr ? dlerror() : nullptr;
    unlink(copy.c_str());
    if (handle_ == nullptr) {
        std::string text = why != nullptr ? why : "unknown reason";
        if (text.rfind(copy + ": ", 0) == 0)
            text.erase(0, copy.size() + 2);
        throw Error(path_ + ": cannot load it as a shared module: " + text);
    }
    try {
        query_ = reinterpret_cast<bpnet_query_fn>(symbol("network_query", false));
        if (query_ == nullptr)
            throw Error(path_ + ": not a bpnet network module (it has no network_query)");
        check_layers(query_);
        const auto initialize = reinterpret_cast<void (*)(const char *, int)>(symbol("network_initialize"));
        threshold_ = static_cast<float *>(symbol("BPthreshold"));
        clear_delays_ = reinterpret_cast<void (*)(void)>(symbol("network_clear_delays"));
        // The dumps on the host's streams (modules of this bpnet-gen and later).
        ascii_dump_ = reinterpret_cast<void (*)(std::FILE *, int)>(symbol("network_ascii_dump_file"));
        load_ascii_ = reinterpret_cast<int (*)(std::FILE *)>(symbol("network_load_ascii_file"));

        // network_data and its size, from the symbol table.
        void *data = symbol("network_data");
        Dl_info info;
        void *entry = nullptr;
        const int found = dladdr1(data, &info, &entry, RTLD_DL_SYMENT);
        const ElfW(Sym) *sym = static_cast<const ElfW(Sym) *>(entry);
        if (found == 0 || sym == nullptr ||
            sym->st_size == 0 || sym->st_size % sizeof(float) != 0 || sym->st_size / sizeof(float) > INT_MAX)
            throw Error(path_ + ": damaged network module: the size of its network_data cannot be told");
        data_ = static_cast<float *>(data);
        data_size_ = static_cast<int>(sym->st_size / sizeof(float));

        // Start-up without a save file, which reads nothing and cannot fail.
        initialize(nullptr, 0);
        d_ = query_(0, 0);
        if (d_ == nullptr || d_->init_network_proc == nullptr || d_->network_learn_proc == nullptr ||
            d_->dump_network_proc == nullptr || d_->load_network_proc == nullptr ||
            d_->error_string_proc == nullptr || d_->set_learning_rate_proc == nullptr ||
            d_->set_inertia_proc == nullptr || d_->get_learning_rate_proc == nullptr ||
            d_->get_inertia_proc == nullptr || d_->set_random_init_seed_proc == nullptr ||
            d_->set_random_init_range_proc == nullptr)
            throw Error(path_ + ": damaged network module: the descriptor's network section has a null entry point");
        if (d_->parameter_count <= 0 || d_->parameter_count > data_size_)
            throw Error(path_ + ": damaged network module: it counts " + std::to_string(d_->parameter_count) +
                        " trainable values in " + std::to_string(data_size_) + " floats");
        trainable_ = d_->parameter_count;
    } catch (...) {
        dlclose(handle_);
        handle_ = nullptr;
        throw;
    }
    input_.assign(static_cast<std::size_t>(inputs_), 0.0f);
    target_.assign(static_cast<std::size_t>(outputs_), 0.0f);
}

void ModuleBackend::check_layers(bpnet_query_fn query)
{
    const bpnet_descriptor *d = query(0, 0);
    const std::string damaged = path_ + ": damaged network module: ";
    if (d == nullptr || d->box_name == nullptr || strnlen(d->box_name, 32) == 0 || strnlen(d->box_name, 32) > 31)
        throw Error(damaged + "its descriptor names no black box");
    if (d->layer_count < 1 || d->layer_count > kMaxLayers || d->input_size < 1 || d->input_size > kMaxUnits)
        throw Error(damaged + "the descriptor's layer count or input size is out of range");
    if (d->propagate_forward_proc == nullptr || d->get_output_proc == nullptr || d->set_input_proc == nullptr ||
        d->set_target_output_proc == nullptr || d->get_backprop_counter_proc == nullptr ||
        d->set_backprop_counter_proc == nullptr)
        throw Error(damaged + "the descriptor's black box has a null entry point");
    name_ = d->box_name;
    inputs_ = d->input_size;
    layer_count_ = d->layer_count;
    // Descriptor numbers count from the output layer back; the layers go in forward order.
    std::vector<Layer> layers;
    for (int number = layer_count_ - 1; number >= 0; number--) {
        const bpnet_descriptor *l = query(0, number);
        if (l == nullptr || l->layer_number != number || l->layer_size < 1 || l->layer_size > kMaxUnits ||
            l->layer_name == nullptr || l->layer_thresholds == nullptr ||
            l->layer_connection_count < 1 || l->layer_connection_count > layer_count_ || l->field50 < 0 ||
            l->field50 > 2)
            throw Error(damaged + "the descriptor's layer " + std::to_string(number) + " is not consistent");
        std::string qualified(l->layer_name, strnlen(l->layer_name, 256));
        // "NAME:LAYER": the layer's own name is what a description gives it.
        const auto colon = qualified.find(':');
        // Field 50: the layer's feedback order, 0 in modules without feedback.
        layers.push_back({colon == std::string::npos ? qualified : qualified.substr(colon + 1), l->layer_size, l->field50});
    }
    outputs_ = layers.back().size;
    layers_ = std::move(layers);
}

std::string ModuleBackend::ascii_dump(bool labelled)
{
    // The module writes the dump to a stream in memory.
    char *buffer = nullptr;
    std::size_t size = 0;
    std::FILE *out = open_memstream(&buffer, &size);
    if (out == nullptr)
        throw Error("cannot make the ASCII dump: out of memory");
    ascii_dump_(out, labelled ? 1 : 0);
    const bool ok = std::fclose(out) == 0;
    std::string text = ok && buffer != nullptr ? std::string(buffer, size) : std::string();
    std::free(buffer);
    if (!ok)
        throw Error("cannot make the ASCII dump: out of memory");
    return text;
}

void ModuleBackend::load_ascii(const std::string &text)
{
    // The module reads the bare form itself, every record (feedback coefficients included) and
    // its checks, from a stream over the text; fmemopen refuses an empty buffer, and an empty
    // text is a dump without its first "#" all the same.
    std::string copy = text.empty() ? std::string(" ") : text;
    std::FILE *in = fmemopen(copy.data(), copy.size(), "r");
    if (in == nullptr)
        throw Error("cannot read the ASCII dump: out of memory");
    const int result = load_ascii_(in);
    std::fclose(in);
    if (result != 0)
        throw Error(trimmed(d_->error_string_proc()));
}

}  // namespace

std::unique_ptr<Backend> open_module(const std::string &path)
{
    return std::make_unique<ModuleBackend>(path);
}

}  // namespace bpy
