"""The embedded form from Python: ``bpnet.embed`` writes NAME_embed.h, NAME_embed.c and
NAME_embed_test.c, the freestanding C99 forward pass that ``bpnet-gen --embed`` writes, from a
network's values as they stand, with no compiler at run time.

For a fitted estimator (or a scikit-learn Pipeline of StandardScaler and MinMaxScaler steps
ending in one) the C file also holds the input scaling as constants and NAME_embed_predict,
which gives what ``predict`` gives: the scaling in double, rounded once to float as the
estimator rounds it, the forward pass, then the class index (classifier) or the outputs
mapped back (regressor).

The integer forms ("int16", "int8") are the network's in fixed point, as ``bpnet-gen --embed
--integer N`` writes them for the same values: their scales are calibrated on test_X (for a
Network, its inputs as given; for an estimator, test_X scaled as the estimator scales it) and on
random vectors over the representable range. An estimator's NAME_embed_predict there takes raw
features in int32_t fixed point and uses integers alone (embedded_int.py).
"""
import os
import re

import numpy as np

from ._bpnet import Network, _embed_texts, _write_embed_files
from .embedded_int import integer_estimator_files

# The largest deviation of the float form from the network's outputs that its test passes.
_FLOAT_TOLERANCE = "0.015625"


def embed(obj, directory, name=None, form="exact", test_X=None):
    """Write the embedded form of a ``bpnet.Network`` or a fitted bpnet estimator into
    `directory`: NAME_embed.h, NAME_embed.c and, with `test_X`, the test program
    NAME_embed_test.c, which checks the C results on the rows of `test_X` (as float32)
    against the network's outputs (a Network) or the estimator's ``predict`` (an estimator),
    bit for bit in the exact form. `name` (default: the network's name) names the files and
    the C functions; `form` is "exact" (sums in double) or "float" (sums in float). Returns
    the paths written. `form` "int16" or "int8" is the integer form of that width: the network's
    scales calibrated on test_X (as the network sees it), its test within the integer form's
    tolerance; for an estimator NAME_embed_predict takes raw int32_t fixed-point features and
    its test passes when the classes agree on at least 99% (int16) or 95% (int8) of the rows,
    or every prediction is within the tolerance."""
    if name is not None and not (isinstance(name, str) and re.fullmatch(r"[A-Za-z][A-Za-z0-9_]{0,30}", name)):
        raise ValueError(f"embed: name must be a letter then up to 30 letters, digits or '_'; got {name!r}")
    rows = None if test_X is None else _rows(test_X)
    if isinstance(obj, Network):
        files = _embed_texts(obj, name or "", "", form, rows)
    elif form in ("int16", "int8"):
        files = _integer_files(obj, name or "", int(form[3:]), rows)
    else:
        files = _estimator_files(obj, name or "", form, rows)
    _write_embed_files(directory, files)
    return [os.path.join(os.fspath(directory), file) for file, _ in files]


def _rows(X):
    """Test rows as a 2-D float32 array; TypeError for anything but numbers."""
    a = np.asarray(X)
    if a.dtype.kind not in "biuf":
        raise TypeError(f"embed: test_X: expected numbers, got dtype {a.dtype}")
    if a.ndim != 2 or a.shape[0] < 1:
        raise ValueError(f"embed: test_X: expected a 2-D array of at least one row, got shape {a.shape}")
    rows = np.ascontiguousarray(a, dtype=np.float32)
    if not np.all(np.isfinite(rows)):
        raise ValueError("embed: test_X: a value is not finite as a float32")
    return rows


# ---- Estimators.

def _unpack(obj):
    """The scaling steps before the estimator and the estimator, of an estimator or a
    Pipeline of scalers ending in one. A step is (operation, constants per input): "-", "/",
    "*", "+" in double, or ("clip", low, high)."""
    steps = []
    from sklearn.pipeline import Pipeline
    if isinstance(obj, Pipeline):
        from sklearn.preprocessing import MinMaxScaler, StandardScaler
        for label, step in obj.steps[:-1]:
            if step is None or step == "passthrough":
                continue
            if type(step) is StandardScaler:
                if step.with_mean:
                    steps.append(("-", step.mean_))
                if step.with_std:
                    steps.append(("/", step.scale_))
            elif type(step) is MinMaxScaler:
                steps += [("*", step.scale_), ("+", step.min_)]
                if getattr(step, "clip", False):
                    steps.append(("clip", float(step.feature_range[0]), float(step.feature_range[1])))
            else:
                raise TypeError(f"embed: the pipeline's step {label!r} is a {type(step).__name__}; only "
                                "StandardScaler and MinMaxScaler steps before a bpnet estimator are embedded")
        obj = obj.steps[-1][1]
    kind = getattr(obj, "_estimator_type", None)
    if kind not in ("classifier", "regressor") or not type(obj).__module__.startswith("bpnet."):
        raise TypeError(f"embed: expected a bpnet.Network, a bpnet estimator or a Pipeline ending in one; "
                        f"got {type(obj).__name__}")
    network = [v for v in vars(obj).values() if isinstance(v, Network)]
    if len(network) != 1 or not hasattr(obj, "_offset"):
        raise ValueError(f"embed: the {type(obj).__name__} is not fitted")
    steps += [("-", obj._offset), ("*", obj._factor)]
    return steps, obj, network[0], kind


def _integer_files(obj, name, bits, rows):
    """An estimator's integer form: the network's, calibrated on the test rows as the network
    sees them, and the integer predict call."""
    steps, est, net, kind = _unpack(obj)
    scaled = None
    if rows is not None:
        if rows.shape[1] != net.inputs:
            raise ValueError(f"embed: test_X: expected rows of {net.inputs} values, got {rows.shape[1]}")
        X = rows.astype(np.float64)
        if obj is not est:
            X = obj[:-1].transform(X)
        scaled = est._inputs(X)
    classes = None
    if kind == "classifier":
        classes = _classes_table(est.classes_)
        if classes[0] == "const double":
            raise ValueError("embed: the integer forms embed whole-number or text classes, not floating-point ones")
        if len(classes[1]) != net.outputs:
            raise ValueError(f"embed: the classifier's network has {net.outputs} outputs for {len(classes[1])} "
                             "classes; only one output per class is embedded")
    return integer_estimator_files(obj, steps, est, net, kind, name, bits, rows, scaled, classes)


def _output_map(est):
    """The regressor's map from network outputs to predictions, (factor, offset) per output,
    or None when predict gives the outputs as they are."""
    factor, offset = getattr(est, "_y_factor", None), getattr(est, "_y_offset", None)
    if factor is None or offset is None:
        return None
    return np.asarray(factor, dtype=np.float64).ravel(), np.asarray(offset, dtype=np.float64).ravel()


def _double(x):
    """A double as a C constant that reads back as the same double (hexadecimal)."""
    x = float(x)
    if not np.isfinite(x):
        raise ValueError(f"embed: a constant of the estimator is {x}: not embedded")
    return x.hex()


def _single(x):
    """A float32 as a C literal that reads back as the same float."""
    s = "%.9g" % float(np.float32(x))
    return (s if "." in s or "e" in s else s + ".0") + "f"


def _values(items, indent="    "):
    """The elements of a C array initializer, six to a line."""
    items = list(items)
    lines = [indent + ", ".join(items[i:i + 6]) for i in range(0, len(items), 6)]
    return ",\n".join(lines) + "\n"


def _c_string(s):
    """A C string literal of a text's UTF-8 bytes."""
    data = s if isinstance(s, bytes) else str(s).encode("utf-8")
    out = []
    for b in data:
        c = chr(b)
        out.append(c if 32 <= b < 127 and c not in '"\\?' else f"\\{b:03o}")
    return '"' + "".join(out) + '"'


def _classes_table(classes):
    """The C type of the classes table's elements and its initializers: int or long long for
    whole numbers, double for other numbers, a constant pointer to char for texts."""
    c = np.asarray(classes)
    if c.dtype.kind in "biu":
        values = [int(v) for v in c]
        if any(v < -2**63 or v >= 2**63 for v in values):
            raise ValueError("embed: a class is beyond the range of long long")
        if all(-2**31 <= v < 2**31 for v in values):
            return "const int", [str(v) if v != -2**31 else "(-2147483647 - 1)" for v in values]
        return "const long long", [f"{v}LL" if v != -2**63 else "(-9223372036854775807LL - 1)" for v in values]
    if c.dtype.kind == "f":
        return "const double", [_double(v) for v in c]
    if c.dtype.kind in "US" or all(isinstance(v, (str, bytes)) for v in c.ravel()):
        return "const char *const", [_c_string(v) for v in c]
    raise TypeError(f"embed: classes of dtype {c.dtype} are not embedded (whole numbers, numbers or texts are)")


def _estimator_files(obj, name, form, rows):
    steps, est, net, kind = _unpack(obj)
    origin = f"a fitted {type(obj).__name__}"
    files = dict(_embed_texts(net, name, origin, form, None))
    n = name or net.name
    u = n.upper()
    header, source = f"{n}_embed.h", f"{n}_embed.c"
    inputs, outputs = net.inputs, net.outputs
    mapping = _output_map(est) if kind == "regressor" else None

    # The header: the predict call, its working storage and the classes.
    decl = [f"/* Floats of working storage of {n}_embed_predict: the forward pass's, the scaled inputs\n"
            f" * after them{' and the outputs after those' if kind == 'classifier' else ''}. */\n",
            f"#define {u}_EMBED_PREDICT_WORK ({u}_EMBED_WORK + {u}_EMBED_INPUTS"
            f"{f' + {u}_EMBED_OUTPUTS' if kind == 'classifier' else ''})\n"]
    if kind == "classifier":
        ctype, classes = _classes_table(est.classes_)
        if len(classes) != outputs:
            raise ValueError(f"embed: the classifier's network has {outputs} outputs for {len(classes)} classes; "
                             "only one output per class is embedded")
        decl += ["/* The classes, in the order of the outputs. */\n",
                 f"#define {u}_EMBED_CLASSES {len(classes)}\n",
                 f"extern {ctype} {n}_embed_classes[{u}_EMBED_CLASSES];\n",
                 f"/* The class of one row of raw inputs, as the estimator's predict gives it: an index into\n"
                 f" * {n}_embed_classes. work holds {u}_EMBED_PREDICT_WORK floats. */\n",
                 f"int {n}_embed_predict(float *work, const float *in);\n"]
    else:
        decl += [f"/* The predictions for one row of raw inputs, as the estimator's predict gives them, each\n"
                 f" * rounded once to float: out[{u}_EMBED_OUTPUTS]. work holds {u}_EMBED_PREDICT_WORK\n"
                 f" * floats; out must not overlap in or work. */\n",
                 f"void {n}_embed_predict(float *work, const float *in, float *out);\n"]
    h = files[header].decode("utf-8", "surrogateescape")
    tail = "#ifdef __cplusplus\n}\n#endif\n#endif\n"
    files[header] = (h[:-len(tail)] + "".join(decl) + "\n" + tail).encode("utf-8", "surrogateescape")

    # The source: the scaling's constants, the predict call.
    c = ["\n/* The input scaling: each input in double, step by step as Python scales it, rounded once\n"
         " * to float. */\n"]
    ops = []
    for step in steps:
        if step[0] == "clip":
            low, high = _double(step[1]), _double(step[2])
            ops.append(f"        v = v < {low} ? {low} : v > {high} ? {high} : v;\n")
            continue
        values = np.asarray(step[1], dtype=np.float64).ravel()
        if len(values) != inputs:
            raise ValueError(f"embed: a scaling step has {len(values)} values, the network {inputs} inputs")
        i = sum(op.startswith("        v = v ") and "scale" in op for op in ops)
        c += [f"static const double scale{i}[{inputs}] = {{\n", _values(_double(v) for v in values), "};\n"]
        ops.append(f"        v = v {step[0]} scale{i}[i];\n")
    c += ["static void scale_inputs(const float *in, float *x)\n{\n    int i;\n",
          f"    for (i = 0; i < {u}_EMBED_INPUTS; i++) {{\n        double v = (double)in[i];\n"] + ops + \
         ["        x[i] = (float)v;\n    }\n}\n"]
    if kind == "classifier":
        c += [f"\n{ctype} {n}_embed_classes[{u}_EMBED_CLASSES] = {{\n",
              _values(classes), "};\n",
              f"\nint {n}_embed_predict(float *work, const float *in)\n{{\n",
              f"    float *const x = work + {u}_EMBED_WORK;\n",
              f"    float *const y = x + {u}_EMBED_INPUTS;\n",
              "    int j, best = 0;\n",
              "    scale_inputs(in, x);\n",
              f"    {n}_embed_forward(work, x, y);\n",
              "    /* The largest output, the first of equal ones; a row with a NaN output is the class of\n"
              "     * the first NaN, as predict (an argmax) has it. */\n",
              f"    for (j = 0; j < {u}_EMBED_OUTPUTS; j++)\n",
              "        if (y[j] != y[j])\n            return j;\n",
              f"    for (j = 1; j < {u}_EMBED_OUTPUTS; j++)\n",
              "        if (y[j] > y[best])\n",
              "            best = j;\n    return best;\n}\n"]
    else:
        if mapping is not None:
            factor, offset = mapping
            if len(factor) != outputs or len(offset) != outputs:
                raise ValueError(f"embed: the output map has {len(factor)} values, the network {outputs} outputs")
            c += ["\n/* The outputs mapped back to the targets: times the factor, plus the offset. */\n",
                  f"static const double out_factor[{outputs}] = {{\n", _values(_double(v) for v in factor), "};\n",
                  f"static const double out_offset[{outputs}] = {{\n", _values(_double(v) for v in offset), "};\n"]
        c += [f"\nvoid {n}_embed_predict(float *work, const float *in, float *out)\n{{\n",
              f"    float *const x = work + {u}_EMBED_WORK;\n"]
        if mapping is not None:
            c += ["    int j;\n"]
        c += ["    scale_inputs(in, x);\n", f"    {n}_embed_forward(work, x, out);\n"]
        if mapping is not None:
            c += [f"    for (j = 0; j < {u}_EMBED_OUTPUTS; j++)\n",
                  "        out[j] = (float)((double)out[j] * out_factor[j] + out_offset[j]);\n"]
        c += ["}\n"]
    files[source] = files[source] + "".join(c).encode("utf-8")

    if rows is not None:
        if rows.shape[1] != inputs:
            raise ValueError(f"embed: test_X: expected rows of {inputs} values, got {rows.shape[1]}")
        files[f"{n}_embed_test.c"] = _predict_test(n, est, obj, kind, form, rows, mapping).encode("utf-8")
    return list(files.items())


def _bits(x):
    return "0x%08xu" % int(np.float32(x).view(np.uint32))


def _predict_test(n, est, obj, kind, form, rows, mapping):
    """The test program: the rows, what predict gives for them (the rows widened to float64,
    the estimator's own dtype), and the check of NAME_embed_predict against it."""
    u = n.upper()
    exact = form == "exact"
    predicted = np.asarray(obj.predict(rows.astype(np.float64)))
    t = [f"/* Test: {n}_embed_predict against the estimator's predict on the same rows"
         f"{', bit for bit' if exact else ', within a tolerance'}. */\n",
         "#include <stdint.h>\n#include <stdio.h>\n#include <string.h>\n\n", f'#include "{n}_embed.h"\n\n']
    if not exact:
        t += ["/* The largest deviation of an output from the network's that passes. */\n",
              f"#ifndef {u}_EMBED_TOLERANCE\n#define {u}_EMBED_TOLERANCE {_FLOAT_TOLERANCE}\n#endif\n\n"]
    t += [f"#define TESTS {len(rows)}\n\n", "/* The test rows. */\n",
          f"static const float inputs[TESTS][{u}_EMBED_INPUTS] = {{\n"]
    t += [",\n".join("    {\n" + _values((_single(v) for v in r), "        ") + "    }" for r in rows), "\n};\n\n"]
    t += ["static float work[" + u + "_EMBED_PREDICT_WORK];\n\n"]
    if kind == "classifier":
        index = {c: i for i, c in enumerate(est.classes_.tolist())}
        want = [index[c] for c in predicted.tolist()]
        t += ["/* The class indices predict gives. */\n", "static const int expected[TESTS] = {\n",
              _values(str(i) for i in want), "};\n\n",
              "int main(void)\n{\n    int t;\n    for (t = 0; t < TESTS; t++) {\n",
              f"        const int got = {n}_embed_predict(work, inputs[t]);\n"]
        if exact:
            t += ["        if (got != expected[t]) {\n"]
        else:
            # Float sums may swap two outputs within twice the tolerance of each other.
            t += [f"        const float *y = work + {u}_EMBED_WORK + {u}_EMBED_INPUTS;\n",
                  "        const double a = y[got] > 0.0f ? y[got] : 0.0f;\n",
                  "        const double b = y[expected[t]] > 0.0f ? y[expected[t]] : 0.0f;\n",
                  f"        if (got != expected[t] && !(a - b <= 2 * {u}_EMBED_TOLERANCE)) {{\n"]
        t += [f'            printf("{n}_embed: row %d: class %d, predict gives %d\\n", t, got, expected[t]);\n',
              "            return 1;\n        }\n    }\n",
              f'    printf("{n}_embed: %d rows: every class is predict\'s'
              f'{"" if exact else " or within the tolerance of a tie"}\\n", TESTS);\n',
              "    return 0;\n}\n"]
        return "".join(t)
    outputs = predicted.reshape(len(rows), -1)
    t += ["/* What predict gives, as float bits. */\n",
          f"static const uint32_t expected[TESTS][{u}_EMBED_OUTPUTS] = {{\n",
          ",\n".join("    {\n" + _values((_bits(v) for v in r), "        ") + "    }" for r in outputs), "\n};\n\n"]
    if not exact:
        factor = np.ones(outputs.shape[1]) if mapping is None else np.abs(mapping[0])
        t += ["/* How far each prediction moves per unit of its output. */\n",
              f"static const double spread[{u}_EMBED_OUTPUTS] = {{\n", _values(_double(v) for v in factor), "};\n\n"]
    t += ["static float as_float(uint32_t b)\n{\n    float f;\n    memcpy(&f, &b, sizeof f);\n    return f;\n}\n\n",
          "int main(void)\n{\n", f"    float out[{u}_EMBED_OUTPUTS];\n    int t, j;\n",
          "    for (t = 0; t < TESTS; t++) {\n", f"        {n}_embed_predict(work, inputs[t], out);\n",
          f"        for (j = 0; j < {u}_EMBED_OUTPUTS; j++) {{\n",
          "            const float want = as_float(expected[t][j]);\n",
          "            uint32_t got;\n            memcpy(&got, &out[j], sizeof got);\n"]
    if exact:
        t += ["            if (got != expected[t][j] && !(out[j] != out[j] && want != want)) {\n"]
    else:
        t += ["            const double d = out[j] > want ? (double)out[j] - want : (double)want - out[j];\n",
              f"            if (!(d <= {u}_EMBED_TOLERANCE * spread[j] + 1e-6 * (want > 0 ? want : -want)) &&\n",
              "                !(out[j] != out[j] && want != want)) {\n"]
    t += [f'                printf("{n}_embed: row %d, output %d: %.9g, predict gives %.9g\\n", t, j, '
          "(double)out[j], (double)want);\n",
          "                return 1;\n            }\n        }\n    }\n",
          f'    printf("{n}_embed: %d rows of %d outputs: every prediction is predict\'s'
          f'{", bit for bit" if exact else ", within the tolerance"}\\n", TESTS, {u}_EMBED_OUTPUTS);\n',
          "    return 0;\n}\n"]
    return "".join(t)
