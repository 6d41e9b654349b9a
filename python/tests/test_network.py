"""bpnet.Network: the run-time network and the compiled module against each other and
against nn-train, the state view, the ASCII dump, errors and interruption."""
import os
import signal
import subprocess
import threading

import numpy as np
import pytest

import bpnet
from conftest import description, needs_runtime, patterns, program

# Random descriptions: unit kinds, depths, widths and shortcuts.
UNITS = ["logistic", "centred", "tanh", "linear", "quadratic", "relu", "softmax"]
# The kinds a random layer draws: softmax only an output layer may have.
DRAWN = [u for u in UNITS if u != "softmax"]


def random_description(seed, feedback=False):
    """With feedback, every layer has feedback of order 1 or 2 at random."""
    rng = np.random.default_rng(seed)
    depth = int(rng.integers(1, 4))
    layers = [(int(rng.integers(1, 12)), DRAWN[int(rng.integers(len(DRAWN)))],
               int(rng.integers(1, 3)) if feedback else 0) for _ in range(depth)]
    return description(f"r{seed}", int(rng.integers(1, 10)), layers, shortcuts=bool(rng.integers(2)))


def network(kind, text, compile_module):
    return bpnet.Network(text) if kind == "runtime" else bpnet.Network.from_module(compile_module(text))


BACKENDS = [pytest.param("runtime", marks=needs_runtime), "module"]


@needs_runtime
@pytest.mark.parametrize("seed,feedback", [(s, False) for s in range(6)] + [(s, True) for s in range(6, 10)])
def test_runtime_network_is_the_module_bit_for_bit(seed, feedback, compile_module):
    # The same description, initialization and training give the same state, outputs,
    # errors and dumps, whether the network was built at run time or compiled; with
    # feedback, the delays and traces too.
    text = random_description(seed, feedback)
    nets = [bpnet.Network(text), bpnet.Network.from_module(compile_module(text))]
    assert [n.layers for n in nets][0] == nets[1].layers
    X, Y = patterns(23, nets[0].inputs, nets[0].outputs, seed)
    results = []
    for n in nets:
        n.initialize(seed=seed + 7, range=0.5)
        n.learning_rate, n.inertia = 0.1, 0.5
        errors = n.learn(X, Y, epochs=4, order="shuffled", seed=seed)
        results.append((errors, np.array(n.data), n.forward(X), n.ascii_dump(), n.ascii_dump(True), n.counter))
    (e0, d0, f0, a0, l0, c0), (e1, d1, f1, a1, l1, c1) = results
    assert e0.tobytes() == e1.tobytes()
    assert d0.tobytes() == d1.tobytes()
    assert f0.tobytes() == f1.tobytes()
    assert (a0, l0, c0) == (a1, l1, c1)


@pytest.mark.parametrize("kind", BACKENDS)
@pytest.mark.parametrize("order", ["sequential", "shuffled"])
@pytest.mark.parametrize("feedback", [0, 2])
def test_training_gives_nn_trains_save_file(kind, order, feedback, tmp_path, compile_module):
    # Python's learn presents the rows as nn-train does, in the same order from the same
    # seed: the save files are identical, byte for byte. With feedback the rows are one
    # sequence to both, the delays cleared before every pass.
    train = program("BPNET_NN_TRAIN", "nn-train")
    text = description("cmp", 5, [(7, "logistic"), (3, "tanh", feedback), (4, "logistic", feedback // 2)],
                       shortcuts=True)
    X, Y = patterns(37, 5, 4, 11)
    with open(tmp_path / "data.csv", "w") as f:
        for row in np.hstack([X, Y]):
            f.write(",".join(repr(float(v)) for v in row) + "\n")
    so = compile_module(text)
    subprocess.run([train, "--module", so, "--data", str(tmp_path / "data.csv"), "--epochs", "5",
                    "--order", order, "--sample-seed", "99", "--seed", "42", "--range", "0.3",
                    "--rate", "0.15", "--inertia", "0.9", "--output", str(tmp_path / "tool.save")],
                   check=True, stdout=subprocess.DEVNULL)
    net = network(kind, text, compile_module)
    net.initialize(seed=42, range=0.3)
    net.learning_rate, net.inertia = 0.15, 0.9
    errors = net.learn(X, Y, epochs=5, order=order, seed=np.uint64(99))
    assert errors.shape == (5,) and errors[-1] < errors[0]
    net.save(tmp_path / "python.save")
    assert (tmp_path / "python.save").read_bytes() == (tmp_path / "tool.save").read_bytes()


@pytest.mark.parametrize("kind", BACKENDS)
@pytest.mark.parametrize("feedback", [0, 2])
def test_state_view_dumps_and_save_files(kind, feedback, tmp_path, compile_module):
    # With feedback, the dumps carry each layer's coefficients after its connections.
    text = description("st", 3, [(4, "logistic", feedback), (2, "logistic", feedback)])
    net = network(kind, text, compile_module)
    net.initialize()
    X, Y = patterns(9, 3, 2, 1)
    net.learn(X, Y, epochs=3)
    net.clear_delays()
    # data is the network's storage: a write through it changes the outputs.
    before = net.forward(X)
    net.clear_delays()
    view = net.data
    assert view.dtype == np.float32 and view.shape == (net.data_size,)
    assert np.shares_memory(view, net.data)
    saved = view.copy()
    view[:] = 0
    assert not np.array_equal(net.forward(X), before)
    view[:] = saved
    assert net.forward(X).tobytes() == before.tobytes()

    # The bare dump and the save file carry a network over to a fresh one.
    for carry in ("ascii", "save"):
        other = network(kind, text, compile_module)
        other.initialize(seed=5)
        if carry == "ascii":
            other.load_ascii(net.ascii_dump())
        else:
            net.save(tmp_path / "n.save")
            other.load(tmp_path / "n.save")
        assert other.forward(X).tobytes() == before.tobytes()
        assert other.counter == net.counter

    # A dump cut short changes nothing.
    kept = np.array(net.data)
    dump = net.ascii_dump()
    with pytest.raises(bpnet.Error, match="ends after"):
        net.load_ascii(dump[: len(dump) // 2].rsplit("\n", 1)[0])
    assert np.array(net.data).tobytes() == kept.tobytes()


@pytest.mark.parametrize("kind", BACKENDS)
def test_errors_arrive_as_exceptions(kind, tmp_path, compile_module):
    text = description("er", 3, [(4, "logistic"), (2, "logistic")])
    net = network(kind, text, compile_module)
    net.initialize()
    X, Y = patterns(4, 3, 2, 0)
    with pytest.raises(ValueError, match="rows of 3"):
        net.forward(X[:, :2])
    with pytest.raises(ValueError, match="2-D"):
        net.forward(X[0])
    with pytest.raises(TypeError, match="int64"):
        net.forward(np.ones((2, 3), dtype=np.int64))
    with pytest.raises(ValueError, match="rows"):
        net.learn(X, Y[:3])
    with pytest.raises(ValueError, match="order"):
        net.learn(X, Y, order="random")
    with pytest.raises(ValueError, match="epochs"):
        net.learn(X, Y, epochs=0)
    with pytest.raises(ValueError, match="seed"):
        net.learn(X, Y, seed=-1)
    with pytest.raises(TypeError):
        net.learn(X, Y, seed=1.5)
    # Float64 rows are taken, as float32.
    assert net.forward(X.astype(np.float64)).tobytes() == net.forward(X).tobytes()

    # Another network's save file is refused and the network stays as it was.
    other = network(kind, description("another", 3, [(4, "logistic"), (2, "logistic")]), compile_module)
    other.initialize(seed=9)
    other.save(tmp_path / "other.save")
    kept = np.array(net.data)
    with pytest.raises(bpnet.Error) as caught:
        net.load(tmp_path / "other.save")
    assert str(caught.value)
    assert np.array(net.data).tobytes() == kept.tobytes()
    with pytest.raises(bpnet.Error, match="no-such.save"):
        net.load(tmp_path / "no-such.save")


def test_the_extension_lists_the_unit_kinds_of_descriptions():
    # The extension's unit kinds are the ones this file draws from, in the library's order.
    assert bpnet.UNIT_KINDS == tuple(UNITS)
    assert all(isinstance(name, str) for name in bpnet.UNIT_KINDS)


@needs_runtime
def test_an_unknown_unit_kind_is_refused_with_every_kind_listed():
    text = description("kinds", 2, [(3, "softsign"), (1, "logistic")])
    listed = ", ".join(UNITS[:-1]) + " or " + UNITS[-1]
    with pytest.raises(bpnet.Error, match=rf'unknown unit "softsign" \({listed}\)'):
        bpnet.Network(text)


@needs_runtime
def test_bad_descriptions_name_file_line_and_column(tmp_path):
    text = 'network = "bad"\ninputs = 2\n\n[[layer]]\nname = "Out"\nunits = 0\n'
    with pytest.raises(bpnet.Error, match=r"^<description>:\d+:\d+: "):
        bpnet.Network(text)
    path = tmp_path / "bad.toml"
    path.write_text(text)
    with pytest.raises(bpnet.Error, match=rf"^{path}:6:\d+: "):
        bpnet.Network(path)
    with pytest.raises(bpnet.Error, match=rf"^{path}:6:\d+: "):
        bpnet.Network(str(path))


def test_a_file_that_is_no_module_is_refused(tmp_path):
    bad = tmp_path / "bad.so"
    bad.write_bytes(b"\x7fELF" + b"\0" * 60)
    with pytest.raises(bpnet.Error, match="bad.so"):
        bpnet.Network.from_module(bad)
    with pytest.raises(bpnet.Error, match="No such file"):
        bpnet.Network.from_module(tmp_path / "missing.so")


def test_networks_of_one_module_keep_apart(compile_module):
    so = compile_module(description("apart", 2, [(3, "logistic"), (1, "logistic")]))
    a, b = bpnet.Network.from_module(so), bpnet.Network.from_module(so)
    a.initialize(seed=1)
    b.initialize(seed=2)
    kept = np.array(b.data)
    a.learning_rate = 0.7
    a.learn(*patterns(5, 2, 1, 3), epochs=2)
    assert np.array(b.data).tobytes() == kept.tobytes()
    assert b.learning_rate == pytest.approx(0.2) and b.counter == 0


@pytest.mark.parametrize("kind", BACKENDS)
def test_interrupt_stops_a_long_learn(kind, compile_module):
    net = network(kind, description("long", 8, [(16, "logistic"), (4, "logistic")]), compile_module)
    net.initialize()
    X, Y = patterns(1000, 8, 4, 2)
    # A process started with SIGINT ignored (a background job of a script, as CI may run the
    # tests) has no KeyboardInterrupt handler: give it Python's own for this test.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            net.learn(X, Y, epochs=10**6)
    finally:
        timer.cancel()
        signal.signal(signal.SIGINT, previous)
    # It stopped part of the way, between presentations, and the network still works.
    assert 0 < net.counter < 10**9
    assert np.all(np.isfinite(net.forward(X)))



@pytest.mark.parametrize("kind", BACKENDS)
def test_learn_lets_other_threads_run(kind, compile_module):
    # While one thread learns, another goes on running Python: the interpreter's lock is
    # released during the presentations. The learning thread reads this thread's count
    # just before and just after its learn.
    net = network(kind, description("threads", 8, [(16, "logistic"), (4, "logistic")]), compile_module)
    net.initialize()
    X, Y = patterns(500, 8, 4, 4)
    count = [0]
    seen = []

    def learn():
        seen.append(count[0])
        seen.append(net.learn(X, Y, epochs=4000))
        seen.append(count[0])
    worker = threading.Thread(target=learn)
    worker.start()
    while worker.is_alive():
        count[0] += 1
    worker.join()
    before, errors, after = seen
    assert errors.shape == (4000,)
    assert after - before > 200000, (before, after)


@needs_runtime
def test_runtime_networks_in_two_threads_give_the_bits_they_give_alone():
    # Each network built at run time has its own lock and random source: two of them learning
    # in two threads at once end with the state each ends with alone, while the other waits.
    texts = [description("left", 6, [(12, "logistic"), (3, "logistic")]),
             description("right", 4, [(9, "tanh", 2), (2, "logistic")])]

    def train(text, seed):
        net = bpnet.Network(text)
        net.initialize(seed=seed, range=0.5)
        errors = net.learn(*patterns(300, net.inputs, net.outputs, seed), epochs=20, order="shuffled", seed=seed)
        return errors.tobytes(), np.array(net.data).tobytes()

    alone = [train(text, seed) for seed, text in enumerate(texts, 11)]
    together = [None, None]
    start = threading.Barrier(2)

    def run(k):
        start.wait()
        together[k] = train(texts[k], 11 + k)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert together == alone


@pytest.mark.parametrize("kind", BACKENDS)
@pytest.mark.parametrize("seed,feedback", [(s, False) for s in range(20, 24)] + [(s, True) for s in range(24, 26)])
def test_forward_gives_the_row_by_row_bits_for_every_thread_count(kind, seed, feedback, compile_module):
    # Block passes split over any number of threads give each row the bits of its own pass;
    # with feedback the rows are one sequence, as when they are passed one by one.
    text = random_description(seed, feedback)
    net = network(kind, text, compile_module)
    net.initialize(seed=seed, range=1.0)
    X, _ = patterns(301, net.inputs, net.outputs, seed)
    net.clear_delays()
    one_by_one = np.vstack([net.forward(X[i:i + 1]) for i in range(len(X))])
    for threads in (1, 2, 3, None):
        net.clear_delays()
        assert net.forward(X, threads=threads).tobytes() == one_by_one.tobytes(), threads
    with pytest.raises(ValueError, match="threads"):
        net.forward(X, threads=0)


@pytest.mark.parametrize("kind", BACKENDS)
@pytest.mark.parametrize("order", ["sequential", "shuffled"])
@pytest.mark.parametrize("rows,batch", [(37, 5), (2100, 400)])
def test_learning_in_batches_gives_nn_trains_save_file(kind, order, rows, batch, tmp_path, compile_module):
    # Python and nn-train take the batches of every pass over the same order: the same save
    # file, byte for byte, also when a pass ends in a shorter batch and Python hands the rows
    # over in several slices.
    train = program("BPNET_NN_TRAIN", "nn-train")
    text = description("bat", 5, [(7, "logistic"), (4, "logistic")], shortcuts=True)
    X, Y = patterns(rows, 5, 4, 12)
    with open(tmp_path / "data.csv", "w") as f:
        for row in np.hstack([X, Y]):
            f.write(",".join(repr(float(v)) for v in row) + "\n")
    tool = subprocess.run([train, "--module", compile_module(text), "--data", str(tmp_path / "data.csv"),
                           "--epochs", "3", "--order", order, "--sample-seed", "5", "--seed", "8", "--range", "0.3",
                           "--batch", str(batch), "--output", str(tmp_path / "tool.save")],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    assert tool.returncode == 0, tool.stderr
    net = network(kind, text, compile_module)
    net.initialize(seed=8, range=0.3)
    errors = net.learn(X, Y, epochs=3, order=order, seed=5, batch=batch)
    assert errors.shape == (3,)
    net.save(tmp_path / "python.save")
    assert (tmp_path / "python.save").read_bytes() == (tmp_path / "tool.save").read_bytes()


@pytest.mark.parametrize("kind", BACKENDS)
def test_a_network_with_feedback_refuses_batches(kind, compile_module):
    net = network(kind, description("fb", 3, [(4, "tanh", 1), (2, "logistic")]), compile_module)
    net.initialize()
    X, Y = patterns(10, 3, 2, 6)
    kept = np.array(net.data)
    with pytest.raises(bpnet.Error) as caught:
        net.learn(X, Y, batch=2)
    assert "feedback" in str(caught.value)
    assert np.array(net.data).tobytes() == kept.tobytes()
    with pytest.raises(ValueError, match="batch"):
        net.learn(X, Y, batch=0)


@pytest.mark.parametrize("kind", BACKENDS)
@pytest.mark.parametrize("optimizer,decay,batch", [("adam", 0.0, 1), ("adam", 0.01, 6), ("sgd", 0.02, 1),
                                                   ("sgd", 0.003, 4)])
def test_optimizers_give_nn_trains_save_file(kind, optimizer, decay, batch, tmp_path, compile_module):
    # Adam and weight decay from Python and from nn-train: the same save file, byte for byte,
    # adam's moments in it too; learning_rate is adam's step size.
    train = program("BPNET_NN_TRAIN", "nn-train")
    text = description("opt", 4, [(6, "tanh"), (3, "logistic")], shortcuts=True)
    X, Y = patterns(50, 4, 3, 21)
    with open(tmp_path / "data.csv", "w") as f:
        for row in np.hstack([X, Y]):
            f.write(",".join(repr(float(v)) for v in row) + "\n")
    rate = 0.01 if optimizer == "adam" else 0.3
    tool = subprocess.run([train, "--module", compile_module(text), "--data", str(tmp_path / "data.csv"),
                           "--epochs", "4", "--seed", "3", "--range", "0.3", "--rate", str(rate), "--batch", str(batch),
                           "--optimizer", optimizer, "--decay", repr(decay), "--output", str(tmp_path / "tool.save")],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    assert tool.returncode == 0, tool.stderr
    net = network(kind, text, compile_module)
    net.initialize(seed=3, range=0.3)
    net.learning_rate = rate
    net.learn(X, Y, epochs=4, batch=batch, optimizer=optimizer, decay=decay)
    net.save(tmp_path / "python.save")
    saved = (tmp_path / "python.save").read_bytes()
    assert saved == (tmp_path / "tool.save").read_bytes()
    assert (b"opt:adam" in saved) == (optimizer == "adam")


@pytest.mark.parametrize("kind", BACKENDS)
def test_blocks_name_every_trainable_value_once(kind, compile_module):
    # The blocks tile the trainable values: thresholds, coefficients and weights, each value in
    # one block, as many as the network has; writing a block through data changes what it names.
    text = description("blk", 3, [(5, "tanh", 2), (2, "linear")], shortcuts=True)
    net = network(kind, text, compile_module)
    net.initialize(seed=2, range=0.5)
    blocks = net.blocks
    assert sum(count for _, _, _, count in blocks) == net.trainable
    covered = sorted(i for _, _, start, count in blocks for i in range(start, start + count))
    assert len(set(covered)) == len(covered)
    assert [(layer, source) for layer, source, _, _ in blocks] == [
        ("H1", None), ("Out", None), ("H1", "a1"), ("H1", "a2"), ("H1", "$INPUTS"), ("Out", "$INPUTS"),
        ("Out", "H1")]
    X, _ = patterns(4, 3, 2, 1)
    before = net.forward(X)
    layer, source, start, count = blocks[-1]
    net.data[start:start + count] = 0.0
    assert net.forward(X).tobytes() != before.tobytes()


@pytest.mark.parametrize("kind", BACKENDS)
def test_bad_optimizer_settings_are_value_errors(kind, compile_module):
    net = network(kind, description("bad", 2, [(3, "logistic"), (1, "logistic")]), compile_module)
    net.initialize()
    X, Y = patterns(5, 2, 1, 4)
    kept = np.array(net.data)
    for args, what in [({"optimizer": "rmsprop"}, "optimizer"), ({"decay": -1.0}, "decay"),
                       ({"decay": float("nan")}, "decay"), ({"optimizer": "adam", "beta1": 1.0}, "beta1"),
                       ({"optimizer": "adam", "beta2": -0.5}, "beta2"), ({"optimizer": "adam", "epsilon": 0.0}, "epsilon")]:
        with pytest.raises(ValueError, match=what):
            net.learn(X, Y, **args)
    net.learning_rate = 0.0
    with pytest.raises(ValueError, match="learning_rate"):
        net.learn(X, Y, optimizer="adam")
    assert np.array(net.data).tobytes() == kept.tobytes()
