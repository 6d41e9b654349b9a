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
import sys

from pattern_files import ArgumentParser, write_files


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
    parser = ArgumentParser(prog="export_sunspots.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("outdir", metavar="OUTDIR")
    parser.add_argument("--split", type=int, default=1920, metavar="YEAR")
    args = parser.parse_args(argv)
    split = args.split
    years, values = load()
    first, last = years[0] + 1, years[-1]
    if not first <= split < last:
        sys.exit("export_sunspots.py: --split %d leaves no pair on one side (target years %d to %d)"
                 % (split, first, last))
    write_files(args.outdir, (("sunspots-train.csv", pairs(years, values, first, split, "training span")),
                              ("sunspots-test.csv", pairs(years, values, split + 1, last, "held-out span"))))
    print("export_sunspots.py: %d training pairs (to %d) and %d held-out pairs (%d to %d) in %s"
          % (split - first + 1, split, last - split, split + 1, last, args.outdir))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
