#!/usr/bin/python3
"""Generate a system identification task: a known nonlinear plant with memory, driven by
random input, as pattern files of nn-train and nn-eval.

Usage: make_plant.py OUTDIR [--seed S] [--train N] [--test N] [--length L]

The plant, started at rest (every earlier u and y taken as 0) at each sequence's start:

    y(t) = 0.7 y(t-1) - 0.3 y(t-2) + tanh(u(t)) + 0.5 u(t-1)

driven by u(t) drawn uniformly from [-2, 2] at every step. Each pattern holds u(t) alone
and its target y(t), so a network must remember the past to predict y. OUTDIR receives
plant-train.csv (N sequences, default 40) and plant-test.csv (N sequences, default 10), L
steps each (default 50), one "u,y" line per step and an empty line after every sequence.
u is drawn first and written with six decimals; y is computed from the written u, so the
files hold the plant exactly to the six decimals of y. The generator is numpy's PCG64 seeded
with S (default 1): the training sequences come first, then the held-out ones. Exit status 1,
with a message, on a bad argument; nothing is written then.
"""
import os
import sys

import numpy as np


def plant(u):
    """The plant's output for the input sequence u, started at rest."""
    y = np.zeros(len(u))
    for t in range(len(u)):
        y1 = y[t - 1] if t >= 1 else 0.0
        y2 = y[t - 2] if t >= 2 else 0.0
        u1 = u[t - 1] if t >= 1 else 0.0
        y[t] = 0.7 * y1 - 0.3 * y2 + np.tanh(u[t]) + 0.5 * u1
    return y


def sequences(rng, count, length):
    """count sequences of length steps as the text of a pattern file."""
    lines = ["# plant: u(t),y(t) with y(t) = 0.7 y(t-1) - 0.3 y(t-2) + tanh(u(t)) + 0.5 u(t-1);"
             " an empty line ends a sequence"]
    for _ in range(count):
        u = np.round(rng.uniform(-2.0, 2.0, length), 6)
        y = plant(u)
        lines.extend("%.6f,%.6f" % (a, b) for a, b in zip(u, y))
        lines.append("")
    return "\n".join(lines) + "\n"


def whole_number(text, name, least):
    try:
        value = int(text)
    except ValueError:
        value = least - 1
    if value < least:
        sys.exit("make_plant.py: %s expects a whole number, at least %d: %r" % (name, least, text))
    return value


def main(argv):
    options = {"--seed": 1, "--train": 40, "--test": 10, "--length": 50}
    rest = []
    i = 0
    while i < len(argv):
        if argv[i] in options:
            if i + 1 == len(argv):
                sys.exit("make_plant.py: %s needs a value" % argv[i])
            options[argv[i]] = whole_number(argv[i + 1], argv[i], 0 if argv[i] == "--seed" else 1)
            i += 2
        elif argv[i] in ("-h", "--help"):
            print(__doc__.strip())
            return 0
        else:
            rest.append(argv[i])
            i += 1
    if len(rest) != 1:
        sys.exit("usage: make_plant.py OUTDIR [--seed S] [--train N] [--test N] [--length L]")
    outdir = rest[0]
    rng = np.random.Generator(np.random.PCG64(options["--seed"]))
    train = sequences(rng, options["--train"], options["--length"])
    test = sequences(rng, options["--test"], options["--length"])
    os.makedirs(outdir, exist_ok=True)
    for name, text in (("plant-train.csv", train), ("plant-test.csv", test)):
        path = os.path.join(outdir, name)
        with open(path + ".tmp", "w") as f:
            f.write(text)
        os.replace(path + ".tmp", path)
    print("make_plant.py: %d training and %d held-out sequences of %d steps in %s"
          % (options["--train"], options["--test"], options["--length"], outdir))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
