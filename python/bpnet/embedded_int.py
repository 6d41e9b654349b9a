"""The integer forms of a fitted estimator: the network's integer form (the files that
``bpnet-gen --embed --integer N`` writes) and NAME_embed_predict in integers alone, so that no
floating point enters the build on a processor without an FPU.

The raw features come in as int32_t fixed point, q standing for q / 2^NAME_EMBED_RAW_FRAC_BITS.
Every scaling step of the estimator (and of the scalers before it) is affine, or a clip, so the
whole of it is one multiply-add per input followed by a clamp: done in 64-bit integers, rounded
to the network's input scale and held within the clips and the value type's range. The
classifier gives the index of the largest integer output (into NAME_embed_classes); the
regressor gives its predictions as int32_t at NAME_EMBED_PRED_FRAC_BITS, the outputs mapped
back to the targets by the same kind of multiply-add.
"""
import math
import re

import numpy as np

from ._bpnet import _INTEGER_TOLERANCE, _embed_texts

# The share of rows (percent) whose class the test program needs to agree with predict: the
# integer outputs are coarse, so two close outputs may swap.
AGREEMENT = {16: 99, 8: 95}

# The largest magnitude of the 64-bit constants: a product of two values below 2^31 plus one
# of them stays below 2^63.
_ADD_LIMIT = 2**61
_MUL_LIMIT = 2**31


def _affine(steps, inputs):
    """The scaling steps as one map per input: x -> clamp(a x + b, low, high), in double."""
    a, b = np.ones(inputs), np.zeros(inputs)
    low, high = np.full(inputs, -np.inf), np.full(inputs, np.inf)
    for step in steps:
        if step[0] == "clip":
            lo, hi = step[1], step[2]
            low, high = np.clip(low, lo, hi), np.clip(high, lo, hi)
            continue
        v = np.asarray(step[1], dtype=np.float64).ravel()
        if len(v) != inputs:
            raise ValueError(f"embed: a scaling step has {len(v)} values, the network {inputs} inputs")
        if step[0] in "-+":
            s = -v if step[0] == "-" else v
            b, low, high = b + s, low + s, high + s
            continue
        f = 1.0 / v if step[0] == "/" else v
        a, b = a * f, b * f
        with np.errstate(invalid="ignore"):
            ends = np.stack([np.where(f == 0, 0.0, low * f), np.where(f == 0, 0.0, high * f)])
        low, high = ends.min(axis=0), ends.max(axis=0)
    if not (np.all(np.isfinite(a)) and np.all(np.isfinite(b))):
        raise ValueError("embed: a constant of the estimator's scaling is not finite: not embedded")
    return a, b, low, high


def _shift_for(mul, add):
    """The fraction bits K of a multiply-add whose constants are the exact values times 2^K
    (mul and add as functions of K): the most, up to 48, that keep them within their limits."""
    for k in range(48, 0, -1):
        m, c = mul(k), add(k)
        if max(abs(x) for x in m) < _MUL_LIMIT and max(abs(x) for x in c) < _ADD_LIMIT:
            return k, m, c
    raise ValueError("embed: the scaling's constants are too large for the integer form")


def _frac_for(largest):
    """The fraction bits that hold |x| <= largest in an int32 (at most 30)."""
    f = 30
    while f > -30 and largest * 2.0**f > 2**31 - 1:
        f -= 1
    return f


def _define(header, what):
    return int(re.search(rf"#define \w+_EMBED_{what} (-?\d+)", header).group(1))


def _ints(items, indent="    "):
    items = list(items)
    lines = [indent + ", ".join(items[i:i + 8]) for i in range(0, len(items), 8)]
    return ",\n".join(lines) + "\n"


def _ll(v):
    """An int64_t constant; the most negative one as an expression."""
    return f"{v}LL" if v > -2**63 else "(-9223372036854775807LL - 1)"


def integer_estimator_files(obj, steps, est, net, kind, name, bits, rows, scaled, classes):
    """The files of an estimator's integer form. `rows` are the raw test rows (or None),
    `scaled` the same rows as the network sees them (its calibration), `classes` the
    classifier's (C type, initializers)."""
    origin = f"a fitted {type(obj).__name__}"
    files = dict(_embed_texts(net, name, origin, f"int{bits}", None, scaled))
    n = name or net.name
    u = n.upper()
    header, source = f"{n}_embed.h", f"{n}_embed.c"
    h = files[header].decode("utf-8")
    inputs, outputs = net.inputs, net.outputs
    in_frac, out_frac = _define(h, "IN_FRAC_BITS"), _define(h, "OUT_FRAC_BITS")
    qmax = 2**(bits - 1) - 1
    qmin = -qmax - 1

    # Step 1: the scaling as one multiply-add per input at the raw inputs' scale.
    a, b, low, high = _affine(steps, inputs)
    nonzero = np.abs(a) > 0
    reach = qmax * 2.0**-in_frac
    largest = float(np.max(np.where(nonzero, (reach + np.abs(b)) / np.where(nonzero, np.abs(a), 1.0), 0.0)))
    if rows is not None:
        largest = max(largest, float(np.max(np.abs(rows))))
    raw_frac = _frac_for(max(largest, 2.0**-30))
    k, mul, add = _shift_for(lambda k: [round(x * 2.0**(in_frac - raw_frac + k)) for x in a],
                             lambda k: [round(x * 2.0**(in_frac + k)) for x in b])

    def bound(x):
        return int(min(max(round(x * 2.0**in_frac) if np.isfinite(x) else (qmax if x > 0 else qmin), qmin), qmax))

    lows, highs = [bound(x) for x in low], [bound(x) for x in high]

    # Step 2: the header's additions.
    decl = [f"/* The raw inputs of {n}_embed_predict: an int32_t q stands for the feature q / 2^bits\n"
            " * with the fraction bits below. */\n",
            f"#define {u}_EMBED_RAW_FRAC_BITS {raw_frac}\n"]
    if kind == "classifier":
        ctype, initializers = classes
        decl += ["/* The classes, in the order of the outputs. */\n",
                 f"#define {u}_EMBED_CLASSES {len(initializers)}\n",
                 f"extern {ctype} {n}_embed_classes[{u}_EMBED_CLASSES];\n",
                 f"/* The class of one row of raw inputs, as the estimator's predict gives it: an index into\n"
                 f" * {n}_embed_classes. work holds {u}_EMBED_WORK words, zeroed once by {n}_embed_clear;\n"
                 f" * the scaled inputs and the outputs are on the stack. */\n",
                 f"int {n}_embed_predict({n}_embed_word *work, const int32_t *raw);\n"]
    else:
        decl += [f"/* The predictions' fraction bits: out[j] stands for out[j] / 2^{u}_EMBED_PRED_FRAC_BITS. */\n",
                 f"#define {u}_EMBED_PRED_FRAC_BITS PRED_FRAC\n",
                 f"/* The predictions for one row of raw inputs, as the estimator's predict gives them, within\n"
                 f" * the integer form's tolerance: out[{u}_EMBED_OUTPUTS], saturated to int32_t. work holds\n"
                 f" * {u}_EMBED_WORK words, zeroed once by {n}_embed_clear; the scaled inputs and the\n"
                 f" * outputs are on the stack. */\n",
                 f"void {n}_embed_predict({n}_embed_word *work, const int32_t *raw, int32_t *out);\n"]

    # Step 3: the source's additions.
    c = ["\n/* The input scaling folded into one multiply-add per input: (mul raw + add) / 2^SCALE_SHIFT,\n"
         f" * rounded to {u}_EMBED_IN_FRAC_BITS, held within [low, high] (the scalers' clipping and the\n"
         " * value type's range). */\n",
         f"#define SCALE_SHIFT {k}\n",
         f"static const int32_t scale_mul[{u}_EMBED_INPUTS] = {{\n", _ints(str(x) for x in mul), "};\n",
         f"static const int64_t scale_add[{u}_EMBED_INPUTS] = {{\n", _ints(_ll(x) for x in add), "};\n",
         f"static const {n}_embed_value scale_low[{u}_EMBED_INPUTS] = {{\n", _ints(str(x) for x in lows), "};\n",
         f"static const {n}_embed_value scale_high[{u}_EMBED_INPUTS] = {{\n", _ints(str(x) for x in highs), "};\n",
         f"static void scale_inputs(const int32_t *raw, {n}_embed_value *x)\n{{\n    int i;\n",
         f"    for (i = 0; i < {u}_EMBED_INPUTS; i++) {{\n",
         "        const int64_t v = ((int64_t)scale_mul[i] * raw[i] + scale_add[i] + ((int64_t)1 << (SCALE_SHIFT - 1)))\n"
         "                          >> SCALE_SHIFT;\n",
         f"        x[i] = ({n}_embed_value)(v < scale_low[i] ? scale_low[i] : v > scale_high[i] ? scale_high[i] : v);\n",
         "    }\n}\n"]
    pred_frac = None
    if kind == "classifier":
        c += [f"\n{ctype} {n}_embed_classes[{u}_EMBED_CLASSES] = {{\n", _ints(initializers), "};\n",
              f"\nint {n}_embed_predict({n}_embed_word *work, const int32_t *raw)\n{{\n",
              f"    {n}_embed_value x[{u}_EMBED_INPUTS], y[{u}_EMBED_OUTPUTS];\n",
              "    int j, best = 0;\n",
              "    scale_inputs(raw, x);\n",
              f"    {n}_embed_forward(work, x, y);\n",
              "    /* The largest output, the first of equal ones. */\n",
              f"    for (j = 1; j < {u}_EMBED_OUTPUTS; j++)\n",
              "        if (y[j] > y[best])\n            best = j;\n    return best;\n}\n"]
    else:
        from .embedded import _output_map
        mapping = _output_map(est)
        factor, offset = (np.ones(outputs), np.zeros(outputs)) if mapping is None else mapping
        if len(factor) != outputs or len(offset) != outputs:
            raise ValueError(f"embed: the output map has {len(factor)} values, the network {outputs} outputs")
        if not (np.all(np.isfinite(factor)) and np.all(np.isfinite(offset))):
            raise ValueError("embed: a constant of the estimator's output map is not finite: not embedded")
        reach_out = 2.0**(bits - 1 - out_frac)
        pred_frac = _frac_for(max(float(np.max(np.abs(offset) + np.abs(factor) * reach_out)), 2.0**-30))
        k2, omul, oadd = _shift_for(lambda k: [round(x * 2.0**(pred_frac - out_frac + k)) for x in factor],
                                    lambda k: [round(x * 2.0**(pred_frac + k)) for x in offset])
        decl = [d.replace("PRED_FRAC\n", f"{pred_frac}\n") for d in decl]
        c += ["\n/* The outputs mapped back to the targets: (mul y + add) / 2^OUT_SHIFT, rounded to\n"
              f" * {u}_EMBED_PRED_FRAC_BITS and saturated to int32_t. */\n",
              f"#define OUT_SHIFT {k2}\n",
              f"static const int32_t out_mul[{u}_EMBED_OUTPUTS] = {{\n", _ints(str(x) for x in omul), "};\n",
              f"static const int64_t out_add[{u}_EMBED_OUTPUTS] = {{\n", _ints(_ll(x) for x in oadd), "};\n",
              f"\nvoid {n}_embed_predict({n}_embed_word *work, const int32_t *raw, int32_t *out)\n{{\n",
              f"    {n}_embed_value x[{u}_EMBED_INPUTS], y[{u}_EMBED_OUTPUTS];\n",
              "    int j;\n",
              "    scale_inputs(raw, x);\n",
              f"    {n}_embed_forward(work, x, y);\n",
              f"    for (j = 0; j < {u}_EMBED_OUTPUTS; j++) {{\n",
              "        const int64_t v = ((int64_t)out_mul[j] * y[j] + out_add[j] + ((int64_t)1 << (OUT_SHIFT - 1)))\n"
              "                          >> OUT_SHIFT;\n",
              "        out[j] = (int32_t)(v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : v);\n",
              "    }\n}\n"]
    tail = "#ifdef __cplusplus\n}\n#endif\n#endif\n"
    files[header] = (h[:-len(tail)] + "".join(decl) + "\n" + tail).encode("utf-8")
    files[source] = files[source] + "".join(c).encode("utf-8")

    if rows is not None:
        files[f"{n}_embed_test.c"] = _test(n, obj, net, kind, bits, rows, scaled, raw_frac, pred_frac,
                                           est).encode("utf-8")
    return list(files.items())


def _test(n, obj, net, kind, bits, rows, scaled, raw_frac, pred_frac, est):
    """The test program: the raw rows in fixed point, what predict gives for them, and the check:
    the classes agree on at least the share of rows, or every prediction is within the tolerance."""
    u = n.upper()
    predicted = np.asarray(obj.predict(rows.astype(np.float64)))
    raw = np.clip(np.round(rows.astype(np.float64) * 2.0**raw_frac), -2**31, 2**31 - 1).astype(np.int64)
    t = [f"/* Test: {n}_embed_predict against the estimator's predict on the same rows"
         f"{', the share of agreeing classes' if kind == 'classifier' else ', within a tolerance'}. */\n",
         "#include <stdint.h>\n#include <stdio.h>\n\n", f'#include "{n}_embed.h"\n\n',
         f"#define TESTS {len(rows)}\n\n",
         f"/* The test rows at {u}_EMBED_RAW_FRAC_BITS. */\n",
         f"static const int32_t inputs[TESTS][{u}_EMBED_INPUTS] = {{\n",
         ",\n".join("    {\n" + _ints((str(int(v)) if v > -2**31 else "INT32_MIN" for v in r), "        ") + "    }"
                    for r in raw), "\n};\n\n",
         f"static {n}_embed_word work[{u}_EMBED_WORK];\n\n"]
    t += ["/* A whole number as text (no printf, so that no floating point is linked). */\n",
          "static void put_int(long long v)\n{\n    char text[24];\n    int at = 23;\n",
          "    unsigned long long m = v < 0 ? 0ULL - (unsigned long long)v : (unsigned long long)v;\n",
          "    text[at] = '\\0';\n    do {\n        text[--at] = (char)('0' + m % 10);\n        m /= 10;\n",
          "    } while (m > 0);\n    if (v < 0)\n        text[--at] = '-';\n    fputs(text + at, stdout);\n}\n\n"]
    if kind == "classifier":
        index = {c: i for i, c in enumerate(est.classes_.tolist())}
        want = [index[c] for c in predicted.tolist()]
        t += [f"/* The share of rows (percent) whose class must be predict's. */\n",
              f"#ifndef {u}_EMBED_AGREEMENT\n#define {u}_EMBED_AGREEMENT {AGREEMENT[bits]}\n#endif\n\n",
              "/* The class indices predict gives. */\n", "static const int expected[TESTS] = {\n",
              _ints(str(i) for i in want), "};\n\n",
              "int main(void)\n{\n    long agree = 0;\n    int t;\n",
              f"    {n}_embed_clear(work);\n",
              "    for (t = 0; t < TESTS; t++) {\n",
              f"        const int got = {n}_embed_predict(work, inputs[t]);\n",
              "        if (got == expected[t]) {\n            agree++;\n            continue;\n        }\n",
              f'        fputs("{n}_embed: row ", stdout);\n',
              "        put_int(t);\n",
              '        fputs(": class ", stdout);\n',
              "        put_int(got);\n",
              '        fputs(", predict gives ", stdout);\n',
              "        put_int(expected[t]);\n",
              '        fputs("\\n", stdout);\n',
              "    }\n",
              f'    fputs("{n}_embed: ", stdout);\n',
              "    put_int(agree);\n",
              '    fputs(" of ", stdout);\n',
              "    put_int(TESTS);\n",
              '    fputs(" rows agree with predict (", stdout);\n',
              "    put_int((agree * 1000 + TESTS / 2) / TESTS / 10);\n",
              '    fputs(".", stdout);\n',
              "    put_int((agree * 1000 + TESTS / 2) / TESTS % 10);\n",
              '    fputs("%), at least ", stdout);\n',
              f"    put_int({u}_EMBED_AGREEMENT);\n",
              '    fputs("% needed\\n", stdout);\n',
              f"    return agree * 100 >= (long){u}_EMBED_AGREEMENT * TESTS ? 0 : 1;\n}}\n"]
        return "".join(t)
    from .embedded import _output_map
    outputs = predicted.reshape(len(rows), -1)
    mapping = _output_map(est)
    factor = np.ones(outputs.shape[1]) if mapping is None else np.abs(mapping[0])
    network_out = np.asarray(net.forward(scaled), dtype=np.float64)
    largest = max(1.0, float(np.max(np.abs(network_out))))
    tol = [math.ceil(_INTEGER_TOLERANCE[bits] * largest * f * 2.0**pred_frac) + 2 for f in factor]
    want = np.round(outputs.astype(np.float64) * 2.0**pred_frac).astype(np.int64)
    t += [f"/* What predict gives, at {u}_EMBED_PRED_FRAC_BITS. */\n",
          f"static const int64_t expected[TESTS][{u}_EMBED_OUTPUTS] = {{\n",
          ",\n".join("    {\n" + _ints((_ll(int(v)) for v in r), "        ") + "    }" for r in want), "\n};\n\n",
          f"/* The largest deviation that passes, per output: {_INTEGER_TOLERANCE[bits]} x max(1, largest |network\n"
          " * output|) times how far the prediction moves per unit of output, and two units of rounding. */\n",
          f"static const int64_t tolerance[{u}_EMBED_OUTPUTS] = {{\n", _ints(_ll(v) for v in tol), "};\n\n",
          "int main(void)\n{\n", f"    int32_t out[{u}_EMBED_OUTPUTS];\n    int t, j, bad = 0;\n",
          f"    {n}_embed_clear(work);\n",
          "    for (t = 0; t < TESTS; t++) {\n", f"        {n}_embed_predict(work, inputs[t], out);\n",
          f"        for (j = 0; j < {u}_EMBED_OUTPUTS; j++) {{\n",
          "            const int64_t d = out[j] > expected[t][j] ? out[j] - expected[t][j] : expected[t][j] - out[j];\n",
          "            if (d > tolerance[j]) {\n",
          f'                fputs("{n}_embed: row ", stdout);\n',
          "                put_int(t);\n",
          '                fputs(", output ", stdout);\n',
          "                put_int(j);\n",
          '                fputs(": ", stdout);\n',
          "                put_int(out[j]);\n",
          '                fputs(", predict gives ", stdout);\n',
          "                put_int(expected[t][j]);\n",
          f'                fputs(" (at {pred_frac} fraction bits)\\n", stdout);\n',
          "                bad++;\n            }\n        }\n    }\n",
          f'    fputs("{n}_embed: ", stdout);\n',
          "    put_int(TESTS);\n",
          '    fputs(" rows of ", stdout);\n',
          f"    put_int({u}_EMBED_OUTPUTS);\n",
          '    fputs(" outputs: ", stdout);\n',
          "    put_int(bad);\n",
          '    fputs(" predictions beyond the tolerance\\n", stdout);\n',
          "    return bad ? 1 : 0;\n}\n"]
    return "".join(t)
