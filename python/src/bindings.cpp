// The extension bpnet._bpnet: the Network type over a bpnet::Network, built at run time from a
// description or opened from a compiled module. Calls on one network never run concurrently:
// each takes the network's own lock, with the interpreter's lock released, so other Python
// threads go on meanwhile, and networks built at run time work in several threads at once
// (networks of modules are serialized by the library, since modules share the process's
// state). A long learn checks for signals between slices of presentations, so that Ctrl-C
// stops it between two presentations.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <climits>
#include <cstdint>
#include <memory>
#include <mutex>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "gen/embed.h"
#include "gen/rtnet/bpnet_network.h"
#include "gen/rtnet/rtnet_state.h"
#include "gen/units.h"

namespace py = pybind11;

namespace {

// Presentations between two checks for a pending signal.
constexpr std::size_t kSlice = 2048;
// Most rows handed to the library in one call: it counts them in an int.
constexpr py::ssize_t kBlock = INT_MAX;
// Salt separating the shuffle's generator from the demonstration sampler's, as nn-train has it.
constexpr std::uint64_t kShuffleSalt = 0x5DEECE66Dull;

// Run f with the interpreter's lock released.
template <typename F>
auto released(F &&f) -> decltype(f())
{
    py::gil_scoped_release release;
    return f();
}

std::uint64_t splitmix64(std::uint64_t &state)
{
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// A new pass's order: Fisher-Yates driven by splitmix64, as nn-train shuffles.
void reshuffle(std::vector<std::size_t> &order, std::uint64_t &state)
{
    for (std::size_t i = order.size(); i > 1; i--) {
        const std::size_t j = static_cast<std::size_t>(splitmix64(state) % i);
        std::swap(order[i - 1], order[j]);
    }
}

using FloatRows = py::array_t<float, py::array::c_style | py::array::forcecast>;

// A 2-D array of floating-point rows of `width` values, as float32 rows; TypeError for any
// other element type, ValueError for any other shape.
FloatRows float_rows(const py::handle &obj, py::ssize_t width, const char *what)
{
    const py::array a = py::array::ensure(obj);
    if (!a)
        throw py::type_error(std::string(what) + ": expected an array of floating-point numbers");
    if (a.dtype().kind() != 'f')
        throw py::type_error(std::string(what) + ": expected floating-point numbers, got dtype " +
                             std::string(py::str(a.dtype())));
    if (a.ndim() != 2)
        throw py::value_error(std::string(what) + ": expected a 2-D array of rows, got " + std::to_string(a.ndim()) +
                              " dimension" + (a.ndim() == 1 ? "" : "s"));
    if (a.shape(1) != width)
        throw py::value_error(std::string(what) + ": expected rows of " + std::to_string(width) + " values, got " +
                              std::to_string(a.shape(1)));
    return FloatRows::ensure(a);
}

// The thread count of a block call: None for the machine's cores (0 to the library), else a
// whole number of at least 1.
int thread_count(const py::object &threads, const char *what)
{
    if (threads.is_none())
        return 0;
    PyObject *index = PyNumber_Index(threads.ptr());
    if (index == nullptr)
        throw py::error_already_set();
    const py::int_ value = py::reinterpret_steal<py::int_>(index);
    if (value < py::int_(1) || value > py::int_(1024))
        throw py::value_error(std::string(what) + ": threads must be None or a whole number from 1 to 1024");
    return value.cast<int>();
}

// The Python object: the network, its lock, and what Python asks of it.
class PyNetwork {
public:
    explicit PyNetwork(std::unique_ptr<bpnet::Network> b) : b_(std::move(b)) {}
    // A network going away tells the library so (a module's mapping goes under the module
    // lock, which another thread may hold for a while): without the interpreter's lock.
    ~PyNetwork()
    {
        if (PyGILState_Check() != 0)
            released([&] { b_.reset(); });
        else
            b_.reset();
    }
    PyNetwork(const PyNetwork &) = delete;
    PyNetwork &operator=(const PyNetwork &) = delete;

    bpnet::Network &net() { return *b_; }

    // Run f on the network: the interpreter's lock released, the network's lock held.
    template <typename F>
    auto locked(F &&f) -> decltype(f())
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> hold(lock_);
        return f();
    }

    // The outputs of every row of x through block passes over `threads` threads (0: the
    // machine's cores); each row's outputs are the bits of its one-row pass.
    py::array_t<float> forward(const py::handle &x, const py::object &threads_argument)
    {
        const FloatRows in = float_rows(x, b_->inputs(), "forward: X");
        const int threads = thread_count(threads_argument, "forward");
        const py::ssize_t rows = in.shape(0);
        py::array_t<float> out({rows, static_cast<py::ssize_t>(b_->outputs())});
        const float *src = in.data();
        float *dst = out.mutable_data();
        const std::size_t n_in = static_cast<std::size_t>(b_->inputs());
        const std::size_t n_out = static_cast<std::size_t>(b_->outputs());
        // The library counts rows in an int: larger arrays go in blocks of at most kBlock rows.
        locked([&] {
            for (py::ssize_t start = 0; start < rows; start += kBlock) {
                const int block = static_cast<int>(std::min<py::ssize_t>(kBlock, rows - start));
                b_->forward_rows(block, src + static_cast<std::size_t>(start) * n_in,
                                 dst + static_cast<std::size_t>(start) * n_out, threads);
            }
        });
        return out;
    }

    // Learn the rows of x with targets y for `epochs` passes in batches of `batch` rows; the
    // mean error of every pass.
    py::array_t<double> learn(const py::handle &x, const py::handle &y, long long epochs, const std::string &order,
                              const py::object &seed_argument, long long batch, const std::string &optimizer,
                              double decay, double beta1, double beta2, double epsilon)
    {
        const FloatRows in = float_rows(x, b_->inputs(), "learn: X");
        const FloatRows target = float_rows(y, b_->outputs(), "learn: Y");
        if (in.shape(0) != target.shape(0))
            throw py::value_error("learn: X has " + std::to_string(in.shape(0)) + " rows, Y has " +
                                  std::to_string(target.shape(0)));
        if (in.shape(0) == 0)
            throw py::value_error("learn: no rows to learn from");
        if (epochs < 1)
            throw py::value_error("learn: epochs must be at least 1, got " + std::to_string(epochs));
        if (batch < 1 || batch > kBlock)
            throw py::value_error("learn: batch must be a whole number from 1 to " + std::to_string(kBlock) + ", got " +
                                  std::to_string(batch));
        if (order != "sequential" && order != "shuffled")
            throw py::value_error("learn: order must be \"sequential\" or \"shuffled\", got \"" + order + "\"");
        // The optimizer's settings, each refused with its reason (written so that NaN fails).
        if (optimizer != "sgd" && optimizer != "adam")
            throw py::value_error("learn: optimizer must be \"sgd\" or \"adam\", got \"" + optimizer + "\"");
        if (!(decay >= 0.0 && std::isfinite(decay)))
            throw py::value_error("learn: decay must be a finite number, at least 0");
        if (!(beta1 >= 0.0 && beta1 < 1.0) || !(beta2 >= 0.0 && beta2 < 1.0))
            throw py::value_error("learn: beta1 and beta2 must lie in [0, 1)");
        if (!(epsilon > 0.0 && std::isfinite(epsilon)))
            throw py::value_error("learn: epsilon must be a finite number above 0");
        if (optimizer == "adam" && !(locked([&] { return b_->learning_rate(); }) > 0.0f))
            throw py::value_error("learn: adam takes the learning_rate as its step size, which must be above 0");
        try {
            locked([&] { b_->set_optimizer(optimizer, beta1, beta2, epsilon, decay); });
        } catch (const bpnet::Error &e) {
            throw py::value_error(std::string("learn: ") + e.what());
        }
        // The seed is nn-train's --sample-seed: any whole number from 0 to 2^64 - 1 (a
        // Python int or anything that stands for one, such as a numpy integer).
        PyObject *index = PyNumber_Index(seed_argument.ptr());
        if (index == nullptr)
            throw py::error_already_set();
        const py::int_ seed_object = py::reinterpret_steal<py::int_>(index);
        if (seed_object < py::int_(0) || seed_object > py::int_(py::reinterpret_steal<py::object>(
                                                              PyLong_FromUnsignedLongLong(UINT64_MAX))))
            throw py::value_error("learn: seed must be a whole number from 0 to 18446744073709551615");
        const std::uint64_t seed = seed_object.cast<std::uint64_t>();

        const std::size_t rows = static_cast<std::size_t>(in.shape(0));
        const std::size_t n_in = static_cast<std::size_t>(b_->inputs());
        const std::size_t n_out = static_cast<std::size_t>(b_->outputs());
        const float *xs = in.data();
        const float *ts = target.data();
        std::vector<std::size_t> sequence(rows);
        std::iota(sequence.begin(), sequence.end(), std::size_t{0});
        // For a network with feedback the rows are one sequence, as a pattern file without
        // empty lines is to nn-train: presented in order, the delays cleared before every
        // pass; shuffling whole sequences leaves a single one as it is.
        bool feedback = false;
        for (const bpnet::LayerSize &l : b_->layers())
            feedback = feedback || l.feedback > 0;
        // A nonzero state marks the shuffled order; every pass is shuffled, the first too.
        std::uint64_t state = 0;
        if (order == "shuffled" && !feedback) {
            state = seed ^ kShuffleSalt;
            if (state == 0)
                state = kShuffleSalt;
        }
        // Each pass is taken `batch` rows at a time in its order, the last batch of a pass
        // perhaps shorter; the rows go to the library in slices of whole batches (gathered
        // from the pass's order), with a check for signals between slices. The mean error
        // sums each slice's errors from zero, then the slices: with batch 1 the sums that the
        // one-row learning has always made.
        const std::size_t rows_per_batch = static_cast<std::size_t>(batch);
        const std::size_t step = rows_per_batch * std::max<std::size_t>(1, kSlice / rows_per_batch);
        std::vector<float> block_x, block_t, row_errors(std::min(rows, step));
        py::array_t<double> errors(static_cast<py::ssize_t>(epochs));
        double *mean = errors.mutable_data();
        for (long long e = 0; e < epochs; e++) {
            if (state != 0)
                reshuffle(sequence, state);
            if (feedback)
                locked([&] { b_->clear_delays(); });
            double sum = 0.0;
            for (std::size_t start = 0; start < rows; start += step) {
                const std::size_t count = std::min(rows - start, step);
                // The slice's rows: in place in the sequential order, else gathered.
                const float *bx = xs + start * n_in;
                const float *bt = ts + start * n_out;
                if (state != 0) {
                    block_x.resize(count * n_in);
                    block_t.resize(count * n_out);
                    for (std::size_t i = 0; i < count; i++) {
                        const std::size_t k = sequence[start + i];
                        std::copy_n(xs + k * n_in, n_in, block_x.data() + i * n_in);
                        std::copy_n(ts + k * n_out, n_out, block_t.data() + i * n_out);
                    }
                    bx = block_x.data();
                    bt = block_t.data();
                }
                sum += locked([&] {
                    b_->learn_rows(static_cast<int>(count), bx, bt, batch, row_errors.data());
                    double part = 0.0;
                    for (std::size_t i = 0; i < count; i++)
                        part += row_errors[i];
                    return part;
                });
                if (PyErr_CheckSignals() != 0)
                    throw py::error_already_set();
            }
            mean[e] = sum / static_cast<double>(rows);
        }
        return errors;
    }

private:
    std::unique_ptr<bpnet::Network> b_;
    std::mutex lock_;
};

// A description given as a path or as its text: text has more than one line.
std::unique_ptr<bpnet::Network> build(const py::object &description)
{
    const py::module_ os = py::module_::import("os");
    if (!py::isinstance<py::str>(description)) {
        if (!py::hasattr(description, "__fspath__"))
            throw py::type_error("Network: expected a description text or the path of a description file");
        const std::string path = py::str(os.attr("fspath")(description));
        return released([&] { return bpnet::Network::from_file(path); });
    }
    const std::string text = description.cast<std::string>();
    if (text.find('\n') != std::string::npos)
        return released([&] { return bpnet::Network::from_text(text, "<description>"); });
    return released([&] { return bpnet::Network::from_file(text); });
}

// The network of a module, from a private copy of its file; Python needs its network_data.
std::unique_ptr<bpnet::Network> open_module(const std::string &path)
{
    std::unique_ptr<bpnet::Network> n = bpnet::Network::open_module(path);
    if (n->data() == nullptr)
        throw bpnet::Error(path + ": damaged network module: the size of its network_data cannot be told");
    return n;
}

std::string path_of(const py::object &p)
{
    return py::str(py::module_::import("os").attr("fspath")(p));
}

// The embedded forms by name: the sums in double (the network's bits) or in float, or the
// integer form of 16 or 8 bits (`bits`; 0 for the float forms).
bpgen::Accumulate embed_form(const std::string &form, int &bits)
{
    bits = form == "int16" ? 16 : form == "int8" ? 8 : 0;
    if (form == "exact" || bits != 0)
        return bpgen::Accumulate::exact;
    if (form == "float")
        return bpgen::Accumulate::single;
    throw py::value_error("embed: form must be \"exact\", \"float\", \"int16\" or \"int8\", got \"" + form + "\"");
}

// The thresholds, weights and feedback coefficients of a network built at run time, from its
// network data where the layout puts them, in the order the embedded form takes them.
bpgen::EmbedValues embed_values(const bpnet::NetworkState &st)
{
    bpgen::EmbedValues v;
    const bpgen::Model &m = st.model;
    const float *data = st.data.data();
    for (std::size_t li = 0; li < m.layers.size(); li++) {
        const bpgen::LayerOffsets &at = st.layout.layers[li];
        const std::int64_t units = m.layers[li].units;
        v.thresholds.emplace_back(data + at.thr, data + at.thr + units);
        const std::int64_t coefficients = m.layers[li].feedback * units;
        v.coefficients.emplace_back();
        if (coefficients > 0)
            v.coefficients.back().assign(data + at.coef, data + at.coef + coefficients);
    }
    for (std::size_t k = 0; k < st.layout.connections.size(); k++) {
        const std::int64_t w = st.layout.offsets[k].w;
        v.weights.emplace_back(data + w, data + w + st.layout.connections[k].count);
    }
    return v;
}

// The files of a network's embedded form, as (name, text) pairs: its values as they stand, and
// with test rows their outputs from the network's own forward pass (from cleared delays, the
// network left as it was). `name` renames the network, `origin` names where it came from in the
// files' banners (both kept when empty). The integer forms calibrate their scales on
// `calibration` (else the test rows), as the network sees its inputs, then on random vectors.
py::list embed_texts(PyNetwork &n, const std::string &name, const std::string &origin, const std::string &form,
                     const py::object &test_x, const py::object &calibration)
{
    // Step 1: the arguments, while the interpreter's lock is held.
    int bits = 0;
    const bpgen::Accumulate acc = embed_form(form, bits);
    if (n.net().is_module())
        throw bpnet::Error("embed: " + n.net().name() +
                           " is a module's network: bpnet-gen --embed embeds it from its description");
    const bool test = !test_x.is_none();
    const auto rows_of = [&n](const py::object &x, const char *what) {
        const FloatRows r = float_rows(x, n.net().inputs(), what);
        if (r.shape(0) < 1)
            throw py::value_error(std::string(what) + " has no rows");
        return std::vector<float>(r.data(), r.data() + r.size());
    };
    std::vector<float> rows_in, calibrate;
    if (test)
        rows_in = rows_of(test_x, "embed: test_X");
    if (!calibration.is_none())
        calibrate = rows_of(calibration, "embed: calibration rows");
    const std::size_t width = static_cast<std::size_t>(n.net().inputs());
    const int rows = width > 0 ? static_cast<int>(rows_in.size() / width) : 0;

    // Step 2: the values and the test outputs (the integer forms: their calibration and test
    // vectors too), under the network's lock.
    bpgen::Model m;
    bpgen::EmbedValues v;
    bpgen::EmbedFiles files;
    std::string why;
    n.locked([&] {
        bpnet::Network &net = n.net();
        bpnet::NetworkState &st = net.state();
        m = st.model;
        v = embed_values(st);
        if (!name.empty())
            m.network = name;
        if (!origin.empty())
            m.description_file = origin;
        if (bits != 0) {
            // Each vector from cleared delays, as the module's pass starts.
            const std::vector<float> kept = st.data;
            bpgen::IntegerRequest r;
            r.bits = bits;
            r.rows = calibrate.empty() ? rows_in : calibrate;
            r.tests = rows;
            const auto forward = [&](const float *x, std::vector<float> &a) {
                net.clear_delays();
                std::vector<float> y(static_cast<std::size_t>(net.outputs()));
                net.forward(x, y.data());
                a.clear();
                for (std::size_t li = 0; li < st.model.layers.size(); li++) {
                    const float *at = st.data.data() + st.layout.layers[li].act;
                    a.insert(a.end(), at, at + st.model.layers[li].units);
                }
            };
            bpgen::IntegerPlan plan;
            why = bpgen::integer_files(m, v, r, forward, plan, files);
            st.data = kept;
            return;
        }
        if (!test)
            return;
        const std::vector<float> kept = st.data;
        net.clear_delays();
        v.test_inputs = rows_in;
        v.test_outputs.resize(static_cast<std::size_t>(rows) * static_cast<std::size_t>(net.outputs()));
        net.forward_rows(rows, rows_in.data(), v.test_outputs.data(), 1);
        st.data = kept;
    });

    // Step 3: the texts of the float forms.
    if (bits == 0 && why.empty())
        why = released([&] { return bpgen::embed_files(m, v, acc, test, files); });
    if (!why.empty())
        throw bpnet::Error("embed: " + why);
    py::list out;
    for (const auto &[file, text] : files)
        out.append(py::make_tuple(file, py::bytes(text)));
    return out;
}

}  // namespace

PYBIND11_MODULE(_bpnet, m)
{
    m.doc() = "Backpropagation networks: built at run time from a description, or compiled modules.";
    static py::exception<bpnet::Error> error(m, "Error", PyExc_RuntimeError);
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p)
                std::rethrow_exception(p);
        } catch (const bpnet::Error &e) {
            error(e.what());
        }
    });
    m.attr("HAVE_RUNTIME_NETWORK") = true;
    // The unit kinds' names as descriptions write them, in the order of the library's table.
    // HIDDEN_UNIT_KINDS leaves out the kinds only an output layer may have (softmax).
    py::list kinds, hidden;
    for (const bpgen::UnitKind &k : bpgen::kUnitKinds) {
        kinds.append(k.name);
        if (!k.output_only)
            hidden.append(k.name);
    }
    m.attr("UNIT_KINDS") = py::tuple(kinds);
    m.attr("HIDDEN_UNIT_KINDS") = py::tuple(hidden);

    py::class_<PyNetwork>(m, "Network")
        .def(py::init([](const py::object &description) { return new PyNetwork(build(description)); }),
             py::arg("description"),
             "A network built at run time from a description: the path of a description file, "
             "or the description's text.")
        .def_static(
            "from_module",
            [](const py::object &path) {
                const std::string p = path_of(path);
                return new PyNetwork(released([&] { return open_module(p); }));
            },
            py::arg("path"), "The network of a module made by `bpnet-gen --shared`.")
        .def(
            "initialize",
            [](PyNetwork &n, int seed, float range) { n.locked([&] { n.net().initialize(seed, range); }); },
            py::arg("seed") = 123, py::arg("range") = 0.1f,
            "Zero the state and draw every trainable value uniformly from [-range, range].")
        .def_property_readonly("name", [](PyNetwork &n) { return n.net().name(); })
        .def_property_readonly("inputs", [](PyNetwork &n) { return n.net().inputs(); })
        .def_property_readonly("outputs", [](PyNetwork &n) { return n.net().outputs(); })
        .def_property_readonly("data_size", [](PyNetwork &n) { return n.net().data_size(); })
        .def_property_readonly("trainable", [](PyNetwork &n) { return n.net().trainable(); })
        .def_property_readonly(
            "layers",
            [](PyNetwork &n) {
                py::list out;
                for (const bpnet::LayerSize &l : n.net().layers())
                    out.append(py::make_tuple(l.name, l.size));
                return out;
            },
            "(name, units) of every layer, in forward order, the output layer last.")
        .def_property_readonly(
            "blocks",
            [](PyNetwork &n) {
                const std::vector<bpnet::TrainableBlock> blocks = n.locked([&] { return n.net().blocks(); });
                py::list out;
                for (const bpnet::TrainableBlock &b : blocks)
                    out.append(py::make_tuple(b.layer, b.source.empty() ? py::object(py::none()) : py::str(b.source),
                                              b.start, b.count));
                return out;
            },
            "(layer, source, start, count) of every trainable block in the save file's order: each "
            "layer's thresholds (source None), feedback coefficients (source \"a1\", \"a2\"), then the "
            "connections' weights (source \"$INPUTS\" or a layer's name); data[start:start + count] is the "
            "block.")
        .def_property(
            "learning_rate", [](PyNetwork &n) { return n.locked([&] { return n.net().learning_rate(); }); },
            [](PyNetwork &n, float v) { n.locked([&] { n.net().set_learning_rate(v); }); })
        .def_property(
            "inertia", [](PyNetwork &n) { return n.locked([&] { return n.net().inertia(); }); },
            [](PyNetwork &n, float v) { n.locked([&] { n.net().set_inertia(v); }); })
        .def_property(
            "threshold", [](PyNetwork &n) { return n.locked([&] { return n.net().threshold(); }); },
            [](PyNetwork &n, float v) { n.locked([&] { n.net().set_threshold(v); }); })
        .def_property(
            "counter", [](PyNetwork &n) { return n.locked([&] { return n.net().counter(); }); },
            [](PyNetwork &n, int v) { n.locked([&] { n.net().set_counter(v); }); })
        .def_property_readonly(
            "data",
            [](py::object self) {
                PyNetwork &n = self.cast<PyNetwork &>();
                // A view of the network's own storage, kept alive by the network.
                return py::array_t<float>({static_cast<py::ssize_t>(n.net().data_size())},
                                          {static_cast<py::ssize_t>(sizeof(float))}, n.net().data(), self);
            },
            "network_data as a float32 array that shares the network's storage.")
        .def("forward", &PyNetwork::forward, py::arg("X"), py::arg("threads") = py::none(),
             "The outputs for every row of X, a 2-D float array: a new (rows, outputs) float32 array, "
             "each row's the bits of its one-row pass. The rows are split over `threads` threads (None: "
             "the machine's cores); a network with feedback takes them in order, one at a time.")
        .def("learn", &PyNetwork::learn, py::arg("X"), py::arg("Y"), py::arg("epochs") = 1,
             py::arg("order") = "sequential", py::arg("seed") = py::int_(1), py::arg("batch") = 1,
             py::arg("optimizer") = "sgd", py::arg("decay") = 0.0, py::arg("beta1") = 0.9, py::arg("beta2") = 0.999,
             py::arg("epsilon") = 1e-8,
             "Present the rows of X with targets Y for `epochs` passes, in order or reshuffled every "
             "pass from `seed` as nn-train does; returns the mean error of every pass. With batch 1 "
             "every row is one presentation; with batch B above 1 each pass is learned B rows at a "
             "time in its order (one update per batch). For a network with feedback the rows are "
             "one sequence: in order, the delays cleared before every pass (batch 1 only). optimizer "
             "\"sgd\" is the momentum rule; \"adam\" (beta1, beta2, epsilon) takes learning_rate as its "
             "step size and keeps its moments from call to call (initialize clears them); decay is the "
             "L2 weight decay of the weights for either.")
        .def(
            "clear_delays", [](PyNetwork &n) { n.locked([&] { n.net().clear_delays(); }); },
            "Clear the network's delayed values.")
        .def(
            "save", [](PyNetwork &n, const py::object &p) {
                const std::string path = path_of(p);
                n.locked([&] { n.net().save(path); });
            },
            py::arg("path"), "Write a save file; the old file is replaced only by a complete new one.")
        .def(
            "load", [](PyNetwork &n, const py::object &p) {
                const std::string path = path_of(p);
                n.locked([&] { n.net().load(path); });
            },
            py::arg("path"), "Load the network's record of a save file.")
        .def(
            "ascii_dump",
            [](PyNetwork &n, bool labelled) { return n.locked([&] { return n.net().ascii_dump(labelled); }); },
            py::arg("labelled") = false, "The ASCII dump: bare (load_ascii reads it back) or labelled.")
        .def(
            "load_ascii",
            [](PyNetwork &n, const std::string &text) { n.locked([&] { n.net().load_ascii(text); }); },
            py::arg("text"), "Load a bare ASCII dump of this network; nothing changes when it fails.")
        .def("__repr__", [](PyNetwork &n) {
            std::string s = "<bpnet.Network " + n.net().name() + ": " + std::to_string(n.net().inputs()) + " inputs";
            for (const bpnet::LayerSize &l : n.net().layers())
                s += ", " + l.name + " " + std::to_string(l.size);
            return s + ">";
        });

    // The integer forms' test tolerance by width, relative to max(1, largest |output|).
    py::dict tolerance;
    for (const int bits : {16, 8})
        tolerance[py::int_(bits)] = bpgen::integer_tolerance(bits);
    m.attr("_INTEGER_TOLERANCE") = tolerance;
    m.def("_embed_texts", &embed_texts, py::arg("network"), py::arg("name") = "", py::arg("origin") = "",
          py::arg("form") = "exact", py::arg("test_X") = py::none(),
          py::arg("calibration") = py::none(),
          "The files of the network's embedded form as (name, text) pairs; bpnet.embed writes them.");
    m.def(
        "_write_embed_files",
        [](const py::object &folder, const std::vector<std::pair<std::string, std::string>> &files) {
            const std::string dir = path_of(folder);
            const std::string why = released([&] { return bpgen::write_embed_files(dir, files); });
            if (!why.empty())
                throw bpnet::Error("embed: " + why);
        },
        py::arg("folder"), py::arg("files"),
        "Write (name, text) pairs into the folder, every file complete or none.");
}
