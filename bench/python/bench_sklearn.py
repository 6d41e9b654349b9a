#!/usr/bin/python3
"""bpnet beside scikit-learn's MLPClassifier on the digits split of the examples: the time to
fit 100 epochs with 32 hidden units, and the held-out accuracy.

Usage: bench/python/bench_sklearn.py [--repeats N] [--gen PATH-TO-bpnet-gen]

Contenders, all on the same inputs (standardized from the training part) and the same split
(examples/prepare_dataset.py, seed 1: 1348 training and 449 held-out images):
  bpnet run-time      bpnet.MLPClassifier(hidden_layer_sizes=(32,), epochs=100, scale=None)
  bpnet module        the same description compiled by `bpnet-gen --shared`, opened with
                      Network.from_module, trained with learn from the same seeds
  sklearn default     sklearn.neural_network.MLPClassifier(hidden_layer_sizes=(32,)) (adam)
  sklearn sgd         the same with solver="sgd"
scikit-learn runs exactly 100 epochs (max_iter=100, n_iter_no_change=100: no stop on its
tolerance). Each figure is the median of N fits (default 5) with random_state=0; the module's
compile is not timed. Exit status 0 when the targets are met (run-time network at least 3x
faster than scikit-learn's default, the module at least 4x, each at most 1 point less
accurate), 1 otherwise.
"""
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
from sklearn.neural_network import MLPClassifier as SkMLP

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

    def bpnet_fit():
        return bpnet.MLPClassifier(hidden_layer_sizes=(32,), epochs=EPOCHS, scale=None, random_state=0).fit(
            X_train, y_train)
    rows.append(("bpnet run-time network",) + timed(bpnet_fit, lambda m: accuracy(m.predict(X_test)), repeats))

    # The module of the same description, trained as the estimator trains its network.
    reference = bpnet_fit()
    with tempfile.TemporaryDirectory() as folder:
        toml, so = os.path.join(folder, "mlp.toml"), os.path.join(folder, "mlp.so")
        with open(toml, "w") as f:
            f.write(reference._text)
        subprocess.run([gen, "--shared", toml, "-o", so], check=True)
        X32 = X_train.astype(np.float32)
        T = np.eye(10, dtype=np.float32)[y_train]
        rng = np.random.RandomState(0)
        init_seed, learn_seed = int(rng.randint(2**31 - 1)), int(rng.randint(2**31 - 1))

        def module_fit():
            net = bpnet.Network.from_module(so)
            net.initialize(seed=init_seed)
            # The estimator seeds the random source for learning with its second seed.
            state = np.array(net.data)
            net.initialize(seed=learn_seed)
            net.data[:] = state
            net.learn(X32, T, epochs=EPOCHS, order="shuffled", seed=learn_seed)
            return net
        module_row = ("bpnet compiled module",) + timed(
            module_fit, lambda n: accuracy(np.argmax(n.forward(X_test.astype(np.float32)), axis=1)), repeats)
    rows.append(module_row)

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        for label, params in (("scikit-learn default (adam)", {}), ("scikit-learn solver=\"sgd\"", {"solver": "sgd"})):
            def sk_fit(params=params):
                return SkMLP(hidden_layer_sizes=(32,), max_iter=EPOCHS, n_iter_no_change=EPOCHS, random_state=0,
                             **params).fit(X_train, y_train)
            rows.append((label,) + timed(sk_fit, lambda m: accuracy(m.predict(X_test)), repeats))

    base_time, base_accuracy = rows[2][1], rows[2][2]
    print(f"digits, {len(X_train)} training / {len(X_test)} held-out, 32 hidden units, {EPOCHS} epochs, "
          f"median of {repeats} fits")
    print(f"{'contender':30s} {'fit time':>9s} {'held-out':>9s} {'vs sklearn default':>19s}")
    for label, seconds, acc in rows:
        print(f"{label:30s} {seconds:8.3f}s {100 * acc:8.2f}% {base_time / seconds:18.2f}x")
    met = True
    for (label, seconds, acc), target in zip(rows[:2], (3.0, 4.0)):
        ok = base_time / seconds >= target and acc >= base_accuracy - 0.01
        met = met and ok
        print(f"target {label}: at least {target:g}x faster, at most 1 point less accurate: {'met' if ok else 'MISSED'}")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
