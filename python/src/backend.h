// The network behind a Python bpnet.Network: either a network built at run time from its
// description, or a module made by `bpnet-gen --shared` and opened through its descriptor.
// Both answer the same calls, one presentation at a time; the bindings run the loops.
#ifndef PYTHON_SRC_BACKEND_H
#define PYTHON_SRC_BACKEND_H

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace bpy {

// A failure the library reports: the message is the library's own.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One layer's name and unit count.
struct Layer {
    std::string name;
    int size;
    int feedback = 0;  // the order of its units' filters (0: none)
};

// The calls a network answers. None of them ends the process; failures throw Error.
class Backend {
public:
    virtual ~Backend() = default;
    virtual std::string name() const = 0;
    virtual int inputs() const = 0;
    virtual int outputs() const = 0;
    virtual int data_size() const = 0;
    virtual int trainable() const = 0;
    // Forward order, output layer last.
    virtual std::vector<Layer> layers() const = 0;
    virtual float learning_rate() const = 0;
    virtual void set_learning_rate(float v) = 0;
    virtual float inertia() const = 0;
    virtual void set_inertia(float v) = 0;
    virtual float threshold() const = 0;
    virtual void set_threshold(float v) = 0;
    virtual int counter() const = 0;
    virtual void set_counter(int v) = 0;
    virtual void initialize(int seed, float range) = 0;
    // network_data: data_size() floats.
    virtual float *data() = 0;
    // One forward pass: inputs() values in, outputs() values out.
    virtual void forward(const float *x, float *y) = 0;
    // One learning presentation; returns its error.
    virtual float learn(const float *x, const float *t) = 0;
    virtual void clear_delays() = 0;
    virtual void save(const std::string &path) = 0;
    virtual void load(const std::string &path) = 0;
    virtual std::string ascii_dump(bool labelled) = 0;
    virtual void load_ascii(const std::string &text) = 0;
};

// A module made by `bpnet-gen --shared`, opened from a private copy of its file so that two
// networks of the same module keep apart. Throws Error.
std::unique_ptr<Backend> open_module(const std::string &path);

// A network built at run time from a description file or the description text. Throws Error.
std::unique_ptr<Backend> build_from_file(const std::string &path);
std::unique_ptr<Backend> build_from_text(const std::string &text, const std::string &origin);

// Whether the run-time network is part of this build.
bool have_runtime_network();

// The error of a presentation as the learning step measures it: half the sum of squared
// float differences of outputs and targets, formed in double and stored as float, over the
// output count.
float presentation_error(const float *outputs, const float *targets, int n);

}  // namespace bpy

#endif
