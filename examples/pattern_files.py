"""What the example data scripts share: their command lines and the writing of their pattern
files."""
import argparse
import os
import sys


class ArgumentParser(argparse.ArgumentParser):
    """argparse with the tools' convention: a bad argument ends the script with status 1 and
    a one-line message naming the script."""

    def error(self, message):
        sys.exit("%s: %s" % (self.prog, message))


def whole_number(least):
    """An argparse type: a whole number, at least `least`."""
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            value = least - 1
        if value < least:
            raise argparse.ArgumentTypeError("expects a whole number, at least %d: %r" % (least, text))
        return value
    return parse


def write_files(outdir, files):
    """Write each (name, text) into outdir, each through a temporary file that replaces the
    old one only once it is whole."""
    os.makedirs(outdir, exist_ok=True)
    for name, text in files:
        path = os.path.join(outdir, name)
        with open(path + ".tmp", "w") as f:
            f.write(text)
        os.replace(path + ".tmp", path)
