// The network built at run time from its description, behind the bindings' calls. Its
// library's failures arrive as bpy::Error with the library's message.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "python/src/backend.h"

#if BPNET_PYTHON_RTNET
#include "gen/rtnet/bpnet_network.h"

namespace bpy {
namespace {

// Run f, turning the library's errors into the bindings' own.
template <typename F>
auto checked(F &&f) -> decltype(f())
{
    try {
        return f();
    } catch (const bpnet::Error &e) {
        throw Error(e.what());
    }
}

class RuntimeBackend final : public Backend {
public:
    explicit RuntimeBackend(std::unique_ptr<bpnet::Network> net) : net_(std::move(net)) {}

    std::string name() const override { return net_->name(); }
    int inputs() const override { return net_->inputs(); }
    int outputs() const override { return net_->outputs(); }
    int data_size() const override { return net_->data_size(); }
    int trainable() const override { return net_->trainable(); }
    std::vector<Layer> layers() const override
    {
        std::vector<Layer> out;
        for (const bpnet::LayerSize &l : net_->layers())
            out.push_back({l.name, l.size, l.feedback});
        return out;
    }
    float learning_rate() const override { return net_->learning_rate(); }
    void set_learning_rate(float v) override { net_->set_learning_rate(v); }
    float inertia() const override { return net_->inertia(); }
    void set_inertia(float v) override { net_->set_inertia(v); }
    float threshold() const override { return net_->threshold(); }
    void set_threshold(float v) override { net_->set_threshold(v); }
    int counter() const override { return net_->counter(); }
    void set_counter(int v) override { net_->set_counter(v); }
    void initialize(int seed, float range) override { net_->initialize(seed, range); }
    float *data() override { return net_->data(); }
    void forward(const float *x, float *y) override { net_->forward(x, y); }
    float learn(const float *x, const float *t) override { return net_->learn(x, t); }
    void clear_delays() override { net_->clear_delays(); }
    void save(const std::string &path) override { checked([&] { net_->save(path); }); }
    void load(const std::string &path) override { checked([&] { net_->load(path); }); }
    std::string ascii_dump(bool labelled) override { return net_->ascii_dump(labelled); }
    void load_ascii(const std::string &text) override { checked([&] { net_->load_ascii(text); }); }

private:
    std::unique_ptr<bpnet::Network> net_;
};

}  // namespace

std::unique_ptr<Backend> build_from_file(const std::string &path)
{
    return checked([&] { return std::unique_ptr<Backend>(new RuntimeBackend(bpnet::Network::from_file(path))); });
}

std::unique_ptr<Backend> build_from_text(const std::string &text, const std::string &origin)
{
    return checked(
        [&] { return std::unique_ptr<Backend>(new RuntimeBackend(bpnet::Network::from_text(text, origin))); });
}

bool have_runtime_network()
{
    return true;
}

}  // namespace bpy

#else

namespace bpy {

std::unique_ptr<Backend> build_from_file(const std::string &)
{
    throw Error("this build has no run-time network: use Network.from_module");
}

std::unique_ptr<Backend> build_from_text(const std::string &, const std::string &)
{
    throw Error("this build has no run-time network: use Network.from_module");
}

bool have_runtime_network()
{
    return false;
}

}  // namespace bpy

#endif
