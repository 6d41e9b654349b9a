#!/usr/bin/python3
"""Export the yearly sunspot numbers that Debian's python3-statsmodels ships
(statsmodels.datasets.sunspots: the yearly mean sunspot number, 1700 to 2008) as pattern
files of nn-train and nn-eval: the input is this year's number, the target next year's.

Usage: export_sunspots.py OUTDIR [--split YEAR]

Numbers are divided by 100 (the yearly means lie between 0 and 190), so inputs and targets
are of the order of 1. OUTDIR receives sunspots-train.csv, the pairs whose target year is
1701 to YEAR (default 1920), and sunspots-test.csv, the held-out pairs whose target year is
YEAR + 1 to 2008; each file is one sequence, one "x(t),x(t+1)" line per year in order.
Exit status 1, with a message, when the data cannot be read or YEAR leaves no pair on a
side; nothing is written then.
"""
import os
import sys


def load():
    """Years and numbers, in year order, as statsmodels ships them."""
    try:
        from statsmodels.datasets import sunspots
    except ImportError:
        sys.exit("export_sunspots.py: statsmodels is missing (Debian: sudo apt-get install python3-statsmodels)")
    data = sunspots.load_pandas().data
    years = [int(y) for y in data["YEAR"]]
    values = [float(v) for v in data["SUNACTIVITY"]]
    if years != list(range(years[0], years[0] + len(years))):
        sys.exit("export_sunspots.py: the shipped years are not consecutive")
    return years, values


def pairs(years, values, first_target, last_target, title):
    """The lines of (x(t), x(t+1)) for the target years first_target..last_target."""
    lines = ["# %s: sunspot number / 100 of year t, then of year t+1 (target years %d to %d)"
             % (title, first_target, last_target)]
    start = years[0]
    for target in range(first_target, last_target + 1):
        lines.append("%.3f,%.3f" % (values[target - 1 - start] / 100.0, values[target - start] / 100.0))
    return "\n".join(lines) + "\n"


def main(argv):
    split = 1920
    rest = []
    i = 0
    while i < len(argv):
        if argv[i] == "--split" and i + 1 < len(argv):
            try:
                split = int(argv[i + 1])
            except ValueError:
                sys.exit("export_sunspots.py: --split expects a year: %r" % argv[i + 1])
            i += 2
        elif argv[i] in ("-h", "--help"):
            print(__doc__.strip())
            return 0
        else:
            rest.append(argv[i])
            i += 1
    if len(rest) != 1:
        sys.exit("usage: export_sunspots.py OUTDIR [--split YEAR]")
    years, values = load()
    first, last = years[0] + 1, years[-1]
    if not first <= split < last:
        sys.exit("export_sunspots.py: --split %d leaves no pair on one side (target years %d to %d)"
                 % (split, first, last))
    files = (("sunspots-train.csv", pairs(years, values, first, split, "training span")),
             ("sunspots-test.csv", pairs(years, values, split + 1, last, "held-out span")))
    os.makedirs(rest[0], exist_ok=True)
    for name, text in files:
        path = os.path.join(rest[0], name)
        with open(path + ".tmp", "w") as f:
            f.write(text)
        os.replace(path + ".tmp", path)
    print("export_sunspots.py: %d training pairs (to %d) and %d held-out pairs (%d to %d) in %s"
          % (split - first + 1, split, last - split, split + 1, last, rest[0]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
