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
import sys

import numpy as np

from pattern_files import ArgumentParser, whole_number, write_files


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


def main(argv):
    parser = ArgumentParser(prog="make_plant.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("outdir", metavar="OUTDIR")
    parser.add_argument("--seed", type=whole_number(0), default=1, metavar="S")
    parser.add_argument("--train", type=whole_number(1), default=40, metavar="N")
    parser.add_argument("--test", type=whole_number(1), default=10, metavar="N")
    parser.add_argument("--length", type=whole_number(1), default=50, metavar="L")
    args = parser.parse_args(argv)
    rng = np.random.Generator(np.random.PCG64(args.seed))
    train = sequences(rng, args.train, args.length)
    test = sequences(rng, args.test, args.length)
    write_files(args.outdir, (("plant-train.csv", train), ("plant-test.csv", test)))
    print("make_plant.py: %d training and %d held-out sequences of %d steps in %s"
          % (args.train, args.test, args.length, args.outdir))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
