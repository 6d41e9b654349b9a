#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the fuzz targets into fuzz/corpus/<target>/.

Seeds are small, valid or nearly valid inputs that take each reader down one of its paths;
the fuzzer mutates them. Run from anywhere: python3 fuzz/make_seeds.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")
SAMPLE = os.path.join(HERE, "..", "tests", "data", "sample.save")

# The records of nn: (layer, array or None, element count), in the order they are written.
LAYERS = [("H1", 4), ("H2", 2), ("Out", 4)]
CONNECTIONS = [("H1", "H16", 8), ("H2", "H25", 4), ("H2", "H24", 8),
               ("Out", "Out3", 8), ("Out", "Out2", 16), ("Out", "Out1", 8)]


def i32(v):
    return struct.pack("<i", v)


def name(s):
    return s.encode() + b"\0"


def values(count, first):
    return b"".join(struct.pack("<f", first + 0.125 * i) for i in range(count))


def layer(n, count, first=0.5):
    return name(n) + i32(count) + values(count, first)


def conn(l, a, count, first=-0.25):
    return name(l) + name(a) + i32(count) + values(count, first)


def record(bb="nn", counter=42, layers=None, conns=None, layer_count=None, conn_count=None):
    layers = layers if layers is not None else [layer(n, c, 0.5 + k) for k, (n, c) in enumerate(LAYERS)]
    conns = conns if conns is not None else [conn(l, a, c, -1.0 + k) for k, (l, a, c) in enumerate(CONNECTIONS)]
    body = name(bb) + i32(counter) + i32(len(layers) if layer_count is None else layer_count)
    body += b"".join(layers)
    body += i32(len(conns) if conn_count is None else conn_count) + b"".join(conns)
    return body


def save_file(records, ident=100, version=7, revision=0, lengths=None, count=None):
    lengths = lengths if lengths is not None else [len(r) for r in records]
    head = i32(ident) + i32(version) + i32(revision) + b"\0" * 256
    head += i32(len(records) if count is None else count) + b"".join(i32(n) for n in lengths)
    return head + b"".join(records)


def binary_seeds():
    seeds = {}
    with open(SAMPLE, "rb") as f:
        seeds["sample.save"] = f.read()
    good = save_file([record()])
    seeds["valid.save"] = good
    seeds["other-compiler.save"] = save_file([record()], ident=99)
    seeds["other-version.save"] = save_file([record()], ident=99, version=6)
    seeds["other-revision.save"] = save_file([record()], revision=1)
    seeds["reordered.save"] = save_file([record(
        layers=[layer("Out", 4), layer("H1", 4), layer("H2", 2)],
        conns=[conn(l, a, c) for (l, a, c) in reversed(CONNECTIONS)])])
    seeds["no-connections.save"] = save_file([record(conns=[])])
    seeds["connection-twice.save"] = save_file([record(
        conns=[conn(l, a, c) for (l, a, c) in CONNECTIONS] + [conn("Out", "Out2", 16, 9.0)])])
    other = record(bb="xx", counter=7)
    seeds["second-record.save"] = save_file([other, record()])
    seeds["other-name.save"] = save_file([other])
    seeds["no-records.save"] = save_file([], count=0)
    seeds["bad-layer-size.save"] = save_file([record(layers=[layer("H1", 4), layer("H2", 3), layer("Out", 4)])])
    seeds["bad-connection-size.save"] = save_file([record(conns=[conn("Out", "Out2", 8)])])
    seeds["layer-count-4.save"] = save_file([record(layer_count=4)])
    seeds["unknown-layer.save"] = save_file([record(layers=[layer("H3", 4), layer("H2", 2), layer("Out", 4)])])
    seeds["unknown-array.save"] = save_file([record(conns=[conn("Out", "Out7", 8)])])
    seeds["long-name.save"] = save_file([record(layers=[layer("H" * 150, 4)], layer_count=3)])
    seeds["negative-count.save"] = save_file([record()], count=-1)
    seeds["huge-count.save"] = save_file([record()], count=0x7fffffff)
    seeds["negative-length.save"] = save_file([other, record()], lengths=[-400, 357])
    seeds["huge-length.save"] = save_file([other, record()], lengths=[0x7fffff00, 357])
    seeds["huge-element-count.save"] = save_file([record(conns=[conn("Out", "Out2", 16)], conn_count=0x7fffffff)])
    seeds["truncated-header.save"] = good[:100]
    seeds["truncated-table.save"] = good[:274]
    seeds["truncated-values.save"] = good[:500]
    seeds["empty.save"] = b""
    return seeds


def bare_dump(count, vals):
    return "\n\n#\n%d" % count + "".join("\n%.12f " % v for v in vals) + "\n\n#\n"


def ascii_seeds():
    seeds = {}
    with open(os.path.join(HERE, "..", "tests", "data", "init-seed123.txt")) as f:
        seeds["init-seed123.txt"] = f.read()
    with open(os.path.join(HERE, "..", "tests", "data", "init-seed123-labelled.txt")) as f:
        seeds["labelled.txt"] = f.read()
    vals = [0.1 * ((i % 7) - 3) for i in range(62)]
    seeds["valid.txt"] = bare_dump(12, vals)
    seeds["text-before.txt"] = "saved by hand, 2 hidden layers\n" + bare_dump(5, vals)
    seeds["ten-values.txt"] = "#\n3\n" + "".join("%f\n" % v for v in vals[:10])
    seeds["letter.txt"] = "#\n3\n0.5\n0.25\nx\n" + "0.1\n" * 60
    seeds["second-hash.txt"] = "#\n3\n0.5\n#\n" + "0.1\n" * 61
    seeds["exponents.txt"] = "#\n-1\n" + "".join("%e\n" % (v * 1e-5) for v in vals)
    seeds["inf-nan.txt"] = "#\n1\ninf\n-inf\nnan\n-nan\n1e39\n-1e-50\n" + "0x1.8p-3\n" * 56
    seeds["long-digits.txt"] = "#\n7\n" + ("0." + "3" * 300 + "\n") * 62
    seeds["big-count.txt"] = "#\n99999999999\n" + "0.5\n" * 62
    seeds["no-count.txt"] = "#\nabc\n"
    seeds["no-hash.txt"] = "0\n" + "0.5\n" * 62
    seeds["hash-only.txt"] = "#"
    seeds["empty.txt"] = ""
    return seeds


# Networks of other shapes, built at run time by the readers' checks (fuzz/reader_checks.cpp):
# the first byte 0xF1 + k of an input picks shape k and the rest is the file. Each: its name,
# its layer records (thresholds, then the feedback arrays), its connection records, its
# trainable values and whether it has filters.
SHAPE_BYTE = 0xF1
SHAPES = [
    ("fields1d", [("A", 3), ("S", 5), ("Out", 2)], [],
     [("A", "A4", 9), ("S", "S3", 3), ("Out", "Out2", 6), ("Out", "Out1", 10)], 38),
    ("fields2d", [("C", 4), ("K", 4), ("Out", 3)], [],
     [("C", "C5", 16), ("K", "K4", 9), ("Out", "Out3", 48), ("Out", "Out2", 12), ("Out", "Out1", 12)], 108),
    ("fb1", [("H", 3), ("Out", 2)], [("H:a1", 3)], [("H", "H2", 9), ("Out", "Out1", 6)], 23),
    ("fb2", [("H", 2), ("G", 2), ("Out", 2)], [("H:a1", 2), ("H:a2", 2), ("G:a1", 2), ("Out:a1", 2), ("Out:a2", 2)],
     [("H", "H5", 4), ("G", "G4", 8), ("Out", "Out3", 8), ("Out", "Out2", 4), ("Out", "Out1", 4)], 44),
]


def coefficients(array, count, unstable=False):
    """Stable a1 (0.25, 0.3125, ...) and a2 (-0.125, ...); unstable puts 1.5 into unit 1."""
    first, step = (0.25, 0.0625) if array.endswith(":a1") else (-0.125, -0.03125)
    vals = [first + step * i for i in range(count)]
    if unstable:
        vals[1] = 1.5
    return name(array) + i32(count) + b"".join(struct.pack("<f", v) for v in vals)


def shape_save(shape, unstable=False, bad_size=False):
    net, layers, arrays, conns, _ = shape
    body = [layer(n, c, 0.5 + k) for k, (n, c) in enumerate(layers)]
    body += [coefficients(a, c, unstable and k == len(arrays) - 1) for k, (a, c) in enumerate(arrays)]
    links = [conn(l, a, c + (1 if bad_size and k == 0 else 0), -1.0 + k) for k, (l, a, c) in enumerate(conns)]
    return save_file([record(bb=net, layers=body, conns=links)])


def shape_binary_seeds():
    seeds = {}
    for k, shape in enumerate(SHAPES):
        lead, net = bytes([SHAPE_BYTE + k]), shape[0]
        good = shape_save(shape)
        seeds["shape-%s-valid.save" % net] = lead + good
        seeds["shape-%s-bad-size.save" % net] = lead + shape_save(shape, bad_size=True)
        seeds["shape-%s-truncated.save" % net] = lead + good[:len(good) // 2]
        if shape[2]:
            seeds["shape-%s-unstable.save" % net] = lead + shape_save(shape, unstable=True)
    return seeds


def shape_ascii_seeds():
    seeds = {}
    for k, (net, _, arrays, _, trainable) in enumerate(SHAPES):
        lead = chr(SHAPE_BYTE + k)
        vals = [0.1 * ((i % 7) - 3) for i in range(trainable)]
        seeds["shape-%s-valid.txt" % net] = lead + bare_dump(9, vals)
        seeds["shape-%s-short.txt" % net] = lead + bare_dump(9, vals[:-1])
        if arrays:
            seeds["shape-%s-unstable.txt" % net] = lead + bare_dump(9, [1.5] * trainable)
    return seeds


def csv_seeds():
    return {
        "valid.csv": "0.5,-0.25,1,0,0,0\n-0.1,0.2,0,1,0,0\n0,0,0,0,1,0\n0.3,0.3,0,0,0,1\n",
        "comments.csv": "# x0,x1,t0,t1,t2,t3\n\n   \n\t# indented comment\n1,2,0,0,0,1\n",
        "crlf.csv": "1,2,1,0,0,0\r\n3,4,0,1,0,0\r\n\r\n",
        "spaces.csv": " 1 ,\t2, 3 ,4 , 5,6\t\n",
        "exponents.csv": "1e-3,-2.5E+2,+3.,.5,0e0,1e38\n",
        "no-final-newline.csv": "1,2,3,4,5,6",
        "too-few.csv": "1,2,3,4,5\n",
        "too-many.csv": "1,2,3,4,5,6,7\n",
        "empty-field.csv": "1,,3,4,5,6\n",
        "overflow.csv": "1e39,0,0,0,0,0\n",
        "inf.csv": "inf,0,0,0,0,0\n",
        "nan.csv": "nan,0,0,0,0,0\n",
        "hex.csv": "0x10,0,0,0,0,0\n",
        "bad-after-good.csv": "1,2,3,4,5,6\n# c\n1,2,3,4,5,x\n",
        "control.csv": "1,2,3,4,5,\x01\x7f\n",
        "long-field.csv": "1,2,3,4,5," + "9" * 80 + "z\n",
        "cr-only.csv": "1,2,3,4,5,6\r\r\n",
        "empty.csv": "",
    }


def write_all(target, seeds):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    for file_name, content in seeds.items():
        data = content.encode("latin-1") if isinstance(content, str) else content
        with open(os.path.join(folder, file_name), "wb") as f:
            f.write(data)


def main():
    binary = binary_seeds()
    write_all("load_binary", {**binary, **shape_binary_seeds()})
    write_all("startup", binary)
    write_all("load_ascii", {**ascii_seeds(), **shape_ascii_seeds()})
    write_all("parse_csv", csv_seeds())


if __name__ == "__main__":
    main()
