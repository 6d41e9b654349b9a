#!/usr/bin/python3
"""Train and evaluate a network on the digits or the iris data set from Python: the same
split, scaling, network and training as examples/run-dataset, with bpnet.Network in place of
the command-line tools, and so the same held-out accuracy to the last pattern.

Usage: examples/python/dataset.py digits|iris [--module FILE.so]

The data come from Debian's python3-sklearn (load_digits, load_iris: the files that
run-dataset reads). The split is prepare_dataset.py's (a splitmix64 shuffle with seed 1, the
last quarter held out); the inputs are scaled as nn-train --scale minmax scales them; the
network is examples/networks/SET.toml, built at run time, or with --module the module that
`bpnet-gen --shared examples/networks/SET.toml -o FILE.so` made.
"""
import os
import sys
import time

import numpy as np
from sklearn.datasets import load_digits, load_iris

import bpnet

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from prepare_dataset import shuffled  # noqa: E402  (the split of run-dataset)

# run-dataset's training options for each set.
OPTIONS = {"digits": {"epochs": 80, "rate": 0.05, "load": load_digits},
           "iris": {"epochs": 300, "rate": 0.2, "load": load_iris}}


def split(X, y, seed=1):
    """prepare_dataset.py's split: shuffled by seed, the last quarter (rounded) held out."""
    order = shuffled(len(X), seed)
    held_out = int(len(X) * 0.25 + 0.5)
    train, test = order[:len(X) - held_out], order[len(X) - held_out:]
    return X[train], y[train], X[test], y[test]


def minmax(train, *others):
    """Each input's training range onto [-1, 1], rounded as nn-train rounds it."""
    low, high = train.min(axis=0), train.max(axis=0)
    offset = ((low.astype(np.float64) + high) / 2.0).astype(np.float32)
    with np.errstate(divide="ignore"):
        factor = (2.0 / (high.astype(np.float64) - low)).astype(np.float32)
    factor = np.where((high > low) & np.isfinite(factor) & (factor != 0), factor, np.float32(1))
    return [((x.astype(np.float64) - offset) * factor).astype(np.float32) for x in (train,) + others]


def main(argv):
    if len(argv) not in (2, 4) or argv[1] not in OPTIONS or (len(argv) == 4 and argv[2] != "--module"):
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 1
    name = argv[1]
    options = OPTIONS[name]
    X, y = options["load"](return_X_y=True)
    X_train, y_train, X_test, y_test = split(X.astype(np.float32), y)
    X_train, X_test = minmax(X_train, X_test)
    classes = int(y.max()) + 1
    Y_train = np.eye(classes, dtype=np.float32)[y_train]

    description = os.path.join(os.path.dirname(HERE), "networks", f"{name}.toml")
    net = bpnet.Network.from_module(argv[3]) if len(argv) == 4 else bpnet.Network(description)
    print(f"{name}: {len(X_train)} training and {len(X_test)} held-out patterns, {net}")
    net.initialize(seed=123, range=0.1)
    net.learning_rate = options["rate"]
    start = time.perf_counter()
    errors = net.learn(X_train, Y_train, epochs=options["epochs"], order="shuffled", seed=1)
    elapsed = time.perf_counter() - start
    predicted = np.argmax(net.forward(X_test), axis=1)
    correct = int(np.sum(predicted == y_test))
    print(f"{name}: {options['epochs']} epochs in {elapsed:.2f} s, mean error {errors[0]:.6f} -> {errors[-1]:.6f}")
    print(f"{name}: held-out accuracy {100.0 * correct / len(y_test):.2f}% ({correct}/{len(y_test)})")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
