#!/usr/bin/python3
"""bpnet beside scikit-learn's MLPClassifier on the digits split of the examples: the time to
fit 100 epochs with 32 hidden units, and the held-out accuracy, the estimators with the same
parameters.

Usage: bench/python/bench_sklearn.py [--repeats N] [--gen PATH-TO-bpnet-gen]

Contenders, all on the same inputs (standardized from the training part) and the same split
(examples/prepare_dataset.py, seed 1: 1348 training and 449 held-out images):
  bpnet run-time      bpnet.MLPClassifier(hidden_layer_sizes=(32,), max_iter=100,
                      n_iter_no_change=100, scale=None) (adam, scikit-learn's defaults)
  bpnet module        the same estimator over the same description compiled by
                      `bpnet-gen --shared` and opened with Network.from_module
  sklearn default     sklearn.neural_network.MLPClassifier(hidden_layer_sizes=(32,)) (adam)
  sklearn sgd         the same with solver="sgd"
Every contender runs exactly 100 epochs (max_iter=100, n_iter_no_change=100: no stop on the
tolerance). Each figure is the median of N fits (default 5) with random_state=0; the module's
compile is not timed. Exit status 0 when the targets are met (run-time network at least 3x
faster than scikit-learn's default, the module at least 4x, each at most 1 point less
accurate), 1 otherwise.

Then block passes and batches at a larger size: a 784-128-10 network of logistic hidden units
(softmax outputs, the estimators' description) and
5000 rows of synthetic inputs (uniform in [-1, 1], labels drawn at random; the figures depend
on the sizes only):
  forward, k threads  bpnet.Network.forward(X, threads=k) against scikit-learn's
                      MLPClassifier(hidden_layer_sizes=(128,), activation="logistic")
                      .predict_proba(X) with its BLAS limited to k threads (threadpoolctl when
                      installed, else OPENBLAS_NUM_THREADS), for k = 1 and 2
  learning epoch      Network.learn(X, Y, epochs=1, batch=200) against the same classifier
                      with solver="sgd", batch_size=200, one epoch (partial_fit)
scikit-learn always runs in a child process whose environment lacks OPENBLAS_CORETYPE and
OPENBLAS_L2_SIZE (set on some machines for other programs), so that OpenBLAS picks its own
kernels for this processor; the table names the processor and the BLAS that the child found.
"""
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np
from sklearn.datasets import load_digits
from sklearn.exceptions import ConvergenceWarning

import bpnet

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "examples"))
from prepare_dataset import shuffled  # noqa: E402

EPOCHS = 100


def digits_split():
    X, y = load_digits(return_X_y=True)
    order = shuffled(len(X), 1)
    held_out = int(len(X) * 0.25 + 0.5)
    train, test = order[:len(X) - held_out], order[len(X) - held_out:]
    mean, std = X[train].mean(axis=0), X[train].std(axis=0)
    std[std == 0] = 1
    return (X[train] - mean) / std, y[train], (X[test] - mean) / std, y[test]


def timed(fit, predict, repeats):
    """Median fit time over the repeats, and the held-out accuracy of the last fit."""
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        model = fit()
        times.append(time.perf_counter() - start)
    return statistics.median(times), predict(model)


def main(argv):
    repeats, gen = 5, None
    args = argv[1:]
    while args:
        if args[0] == "--repeats" and len(args) > 1:
            repeats, args = int(args[1]), args[2:]
        elif args[0] == "--gen" and len(args) > 1:
            gen, args = args[1], args[2:]
        else:
            print(__doc__.split("\n\n")[1], file=sys.stderr)
            return 1
    gen = gen or os.environ.get("BPNET_GEN") or shutil.which("bpnet-gen") or \
        os.path.join(ROOT, "build", "release", "gen", "bpnet-gen")
    X_train, y_train, X_test, y_test = digits_split()
    accuracy = lambda predicted: float(np.mean(predicted == y_test))  # noqa: E731
    rows = []

    def bpnet_fit(kind=bpnet.MLPClassifier):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ConvergenceWarning)
            return kind(hidden_layer_sizes=(32,), max_iter=EPOCHS, n_iter_no_change=EPOCHS, scale=None,
                        random_state=0).fit(X_train, y_train)
    rows.append(("bpnet run-time network",) + timed(bpnet_fit, lambda m: accuracy(m.predict(X_test)), repeats))

    # The same estimator over a module of the same description: it learns the same bits.
    reference = bpnet_fit()
    with tempfile.TemporaryDirectory() as folder:
        toml, so = os.path.join(folder, "mlp.toml"), os.path.join(folder, "mlp.so")
        with open(toml, "w") as f:
            f.write(reference._text)
        subprocess.run([gen, "--shared", toml, "-o", so], check=True)

        class ModuleClassifier(bpnet.MLPClassifier):
            def _new_network(self, text):
                return bpnet.Network.from_module(so)
        module_row = ("bpnet compiled module",) + timed(
            lambda: bpnet_fit(ModuleClassifier), lambda m: accuracy(m.predict(X_test)), repeats)
    rows.append(module_row)

    sk = scikit_learn({"case": "digits", "repeats": repeats})
    rows.append(("scikit-learn default (adam)", sk["adam"][0], sk["adam"][1]))
    rows.append(("scikit-learn solver=\"sgd\"", sk["sgd"][0], sk["sgd"][1]))

    base_time, base_accuracy = rows[2][1], rows[2][2]
    print(f"digits, {len(X_train)} training / {len(X_test)} held-out, 32 hidden units, {EPOCHS} epochs, "
          f"median of {repeats} fits; scikit-learn's BLAS: {sk['blas']}")
    print(f"{'contender':30s} {'fit time':>9s} {'held-out':>9s} {'vs sklearn default':>19s}")
    for label, seconds, acc in rows:
        print(f"{label:30s} {seconds:8.3f}s {100 * acc:8.2f}% {base_time / seconds:18.2f}x")
    met = True
    for (label, seconds, acc), target in zip(rows[:2], (3.0, 4.0)):
        ok = base_time / seconds >= target and acc >= base_accuracy - 0.01
        met = met and ok
        print(f"target {label}: at least {target:g}x faster, at most 1 point less accurate: {'met' if ok else 'MISSED'}")
    print()
    blocks_and_batches(repeats)
    return 0 if met else 1


# ---- scikit-learn in a child process, its environment without the OpenBLAS settings.

def scikit_learn(task, threads=None):
    """Run a scikit-learn task (see worker) in a child process whose environment lacks
    OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE; with threads and no threadpoolctl, OpenBLAS is
    limited by OPENBLAS_NUM_THREADS. Returns the child's answer."""
    env = {k: v for k, v in os.environ.items() if k not in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")}
    if threads is not None:
        task = dict(task, threads=threads)
        if not have_threadpoolctl():
            env["OPENBLAS_NUM_THREADS"] = str(threads)
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--worker", json.dumps(task)], env=env,
                          check=True, stdout=subprocess.PIPE, text=True)
    return json.loads(done.stdout)


def have_threadpoolctl():
    try:
        import threadpoolctl  # noqa: F401
        return True
    except ImportError:
        return False


def blas_found():
    """The BLAS numpy uses in this process: threadpoolctl's account, else numpy's build
    configuration, else the libblas.so.3 alternative the system links."""
    import numpy
    if have_threadpoolctl():
        from threadpoolctl import threadpool_info
        for info in threadpool_info():
            if info.get("user_api") == "blas":
                return (f"{info.get('internal_api')} {info.get('version')} ({info.get('threading_layer')}, "
                        f"threads: {info.get('num_threads')}, {os.path.basename(info.get('filepath', ''))})")
    try:
        blas = numpy.__config__.get_info("blas_opt_info") or numpy.__config__.get_info("blas_info")
        if blas and blas.get("libraries"):
            return "numpy built with " + ", ".join(blas["libraries"])
    except Exception:  # numpy without that configuration interface
        pass
    link = "/etc/alternatives/libblas.so.3-x86_64-linux-gnu"
    return "libblas.so.3 -> " + os.path.realpath(link) if os.path.exists(link) else "unknown"


def synthetic(rows=5000, inputs=784, classes=10):
    """Inputs uniform in [-1, 1] and labels drawn at random, the same in every process."""
    rng = np.random.default_rng(0)
    return rng.uniform(-1, 1, (rows, inputs)), rng.integers(0, classes, rows)


def median_time(run, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def worker(task):
    """The scikit-learn side, in the child: the digits fits, a forward case or a learning
    epoch; prints its answer as JSON."""
    from sklearn.exceptions import ConvergenceWarning
    from sklearn.neural_network import MLPClassifier as SkMLP
    warnings.simplefilter("ignore", ConvergenceWarning)
    repeats = task["repeats"]
    answer = {"blas": blas_found()}
    if task["case"] == "digits":
        X_train, y_train, X_test, y_test = digits_split()
        for key, params in (("adam", {}), ("sgd", {"solver": "sgd"})):
            def fit(params=params):
                return SkMLP(hidden_layer_sizes=(32,), max_iter=EPOCHS, n_iter_no_change=EPOCHS, random_state=0,
                             **params).fit(X_train, y_train)
            answer[key] = timed(fit, lambda m: float(np.mean(m.predict(X_test) == y_test)), repeats)
    elif task["case"] == "forward":
        X, y = synthetic()
        model = SkMLP(hidden_layer_sizes=(128,), activation="logistic", max_iter=1, random_state=0).fit(X, y)
        if have_threadpoolctl():
            from threadpoolctl import threadpool_limits
            with threadpool_limits(limits=task["threads"], user_api="blas"):
                answer["blas"] = blas_found()
                answer["seconds"] = median_time(lambda: model.predict_proba(X), repeats)
        else:
            answer["seconds"] = median_time(lambda: model.predict_proba(X), repeats)
    elif task["case"] == "learn":
        X, y = synthetic()

        def epoch():
            SkMLP(hidden_layer_sizes=(128,), activation="logistic", solver="sgd", batch_size=200,
                  random_state=0).partial_fit(X, y, classes=np.arange(10))
        answer["seconds"] = median_time(epoch, repeats)
    print(json.dumps(answer))
    return 0


# ---- Block passes and batches: 784-128-10 over 5000 rows.

def blocks_and_batches(repeats):
    X, y = synthetic()
    X32 = X.astype(np.float32)
    Y = np.eye(10, dtype=np.float32)[y]
    text = bpnet.MLPClassifier(hidden_layer_sizes=(128,), activation="logistic")._description(784, 10)

    def fresh():
        net = bpnet.Network(text)
        net.initialize(seed=1)
        return net
    net = fresh()
    rows = []
    for k in (1, 2):
        mine = median_time(lambda: net.forward(X32, threads=k), repeats)
        theirs = scikit_learn({"case": "forward", "repeats": repeats}, threads=k)
        rows.append((f"forward, {k} thread{'s' if k > 1 else ''}", mine, theirs["seconds"]))
    theirs = scikit_learn({"case": "learn", "repeats": repeats})
    blas = theirs["blas"]  # as the child found it, unlimited
    try:
        mine = median_time(lambda: fresh().learn(X32, Y, epochs=1, batch=200), repeats)
    except bpnet.Error as e:
        mine = str(e)
    rows.append(("learning epoch, batches of 200", mine, theirs["seconds"]))
    rows.append(("learning epoch, one row at a time", median_time(lambda: fresh().learn(X32, Y, epochs=1), repeats),
                 None))
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
               "unknown processor")
    print(f"784-128-10 (logistic), 5000 rows, median of {repeats}; processor: {cpu}, {os.cpu_count()} cores; "
          f"scikit-learn's BLAS: {blas}")
    print(f"{'case':36s} {'bpnet':>10s} {'scikit-learn':>13s} {'sklearn/bpnet':>14s}")
    for label, mine, theirs in rows:
        if isinstance(mine, str):
            print(f"{label:36s} {'n/a':>10s} {theirs:12.4f}s   bpnet: {mine}")
            continue
        ratio = f"{theirs / mine:13.2f}x" if theirs else f"{'':>14s}"
        their_text = f"{theirs:12.4f}s" if theirs else f"{'-':>13s}"
        print(f"{label:36s} {mine:9.4f}s {their_text} {ratio}")


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--worker":
        sys.exit(worker(json.loads(sys.argv[2])))
    sys.exit(main(sys.argv))
