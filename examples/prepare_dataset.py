#!/usr/bin/env python3
"""Convert one of the data sets that Debian's python3-sklearn ships as CSV files into the
pattern files of nn-train and nn-eval, split at random into a training and a held-out part.

Usage: prepare_dataset.py SET SOURCE OUTDIR [--seed S]

  SET     digits (sklearn/datasets/data/digits.csv.gz: 8x8 images of handwritten digits,
          64 pixel values 0..16 then the digit on each line) or iris (sklearn/datasets/data/
          iris.csv: a header line, then 4 measurements and the class 0..2 on each line)
  SOURCE  the shipped file (gzip-compressed or plain text), or a slice of it
  OUTDIR  where SET-train.csv and SET-test.csv are written

Each output line holds the inputs, then the class index ("nn-train --targets class").
The split is a shuffle by the seeded generator splitmix64 (the same on every machine and
Python version), then the last quarter (rounded to the nearest pattern) is held out; the
lines keep the source's text of each number. Exit status 1, with a message, on any error;
nothing is written then.
"""
import gzip
import os
import sys

MASK = (1 << 64) - 1

# The data sets: inputs per line, classes, and whether a header line comes first.
SETS = {
    "digits": {"inputs": 64, "classes": 10, "header": False},
    "iris": {"inputs": 4, "classes": 3, "header": True},
}


def splitmix64(state):
    """The next state and value of the splitmix64 generator."""
    state = (state + 0x9E3779B97F4A7C15) & MASK
    z = state
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return state, z ^ (z >> 31)


def shuffled(count, seed):
    """0..count-1 in the order of a Fisher-Yates shuffle driven by splitmix64."""
    order = list(range(count))
    state = seed & MASK
    for i in range(count - 1, 0, -1):
        state, value = splitmix64(state)
        j = value % (i + 1)
        order[i], order[j] = order[j], order[i]
    return order


def read_lines(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] == b"\x1f\x8b":
        data = gzip.decompress(data)
    return data.decode("ascii").splitlines()


def is_number(text):
    try:
        value = float(text)
    except ValueError:
        return False
    return value == value and abs(value) != float("inf")


def parse(name, path, lines):
    """The patterns of the file as lists of field texts, checked; raises ValueError."""
    data_set = SETS[name]
    patterns = []
    for number, line in enumerate(lines, start=1):
        fields = [f.strip() for f in line.split(",")]
        if number == 1 and data_set["header"]:
            # iris.csv starts with "150,4,setosa,versicolor,virginica": count, inputs, class names.
            if len(fields) != 2 + data_set["classes"] or fields[1] != str(data_set["inputs"]):
                raise ValueError(f"{path}:1: not the header of the {name} data set: {line[:60]!r}")
            continue
        if not line.strip():
            continue
        if len(fields) != data_set["inputs"] + 1:
            raise ValueError(f"{path}:{number}: expected {data_set['inputs'] + 1} fields, found {len(fields)}")
        for i, f in enumerate(fields[:-1]):
            if not is_number(f):
                raise ValueError(f"{path}:{number}: field {i + 1} is not a number: {f[:40]!r}")
        label = fields[-1]
        if not label.isdigit() or int(label) >= data_set["classes"]:
            raise ValueError(f"{path}:{number}: the class {label[:40]!r} is not 0 to {data_set['classes'] - 1}")
        patterns.append(fields[:-1] + [str(int(label))])
    if len(patterns) < 2:
        raise ValueError(f"{path}: fewer than two patterns")
    return patterns


def write_all(files):
    """Write every (path, text) to a temporary file first, then rename them all into place."""
    temps = []
    try:
        for path, text in files:
            temp = f"{path}.tmp.{os.getpid()}"
            temps.append(temp)
            with open(temp, "w", encoding="ascii") as f:
                f.write(text)
        for (path, _), temp in zip(files, temps):
            os.replace(temp, path)
    finally:
        for temp in temps:
            if os.path.exists(temp):
                os.unlink(temp)


def main(argv):
    args = argv[1:]
    seed = 1
    if "--seed" in args:
        at = args.index("--seed")
        if at + 1 >= len(args) or not args[at + 1].isdigit():
            print("prepare_dataset: --seed needs a whole number", file=sys.stderr)
            return 1
        seed = int(args[at + 1])
        del args[at:at + 2]
    if len(args) == 1 and args[0] in ("-h", "--help"):
        print(__doc__.strip())
        return 0
    if len(args) != 3 or args[0] not in SETS:
        print("usage: prepare_dataset.py digits|iris SOURCE OUTDIR [--seed S]", file=sys.stderr)
        return 1
    name, source, outdir = args
    try:
        patterns = parse(name, source, read_lines(source))
    except (OSError, UnicodeDecodeError, EOFError, ValueError) as e:
        print(f"prepare_dataset: {e}", file=sys.stderr)
        return 1

    order = shuffled(len(patterns), seed)
    held_out = (len(patterns) + 2) // 4
    train = [patterns[k] for k in order[: len(patterns) - held_out]]
    test = [patterns[k] for k in order[len(patterns) - held_out:]]
    data_set = SETS[name]
    head = (f"# {name}: {data_set['inputs']} inputs, then the class 0..{data_set['classes'] - 1}; "
            f"split of {os.path.basename(source)} with seed {seed}\n")
    try:
        os.makedirs(outdir, exist_ok=True)
        write_all([(os.path.join(outdir, f"{name}-{part}.csv"), head + "".join(",".join(r) + "\n" for r in rows))
                   for part, rows in (("train", train), ("test", test))])
    except OSError as e:
        print(f"prepare_dataset: {e}", file=sys.stderr)
        return 1
    print(f"prepare_dataset: {name}: {len(train)} training and {len(test)} held-out patterns in {outdir}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
