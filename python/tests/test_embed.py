"""bpnet.embed: the files of a network equal bpnet-gen --embed's for the same values, and the C
form of a fitted estimator gives predict's results, compiled and run."""
import re
import subprocess

import numpy as np
import pytest

import bpnet
from conftest import description, needs_runtime, patterns, program

pytestmark = needs_runtime

# Descriptions with a hidden layer of each hidden unit kind, shortcuts and feedback.
NETWORKS = [
    ("plain", 3, [(5, "logistic"), (2, "logistic")], False),
    ("kinds", 4, [(3, bpnet._bpnet.HIDDEN_UNIT_KINDS[1]), (4, bpnet._bpnet.HIDDEN_UNIT_KINDS[2]), (3, "linear")],
     True),
    ("delays", 2, [(3, "tanh", 2), (2, "logistic")], False),
]


def generated_inputs(text):
    """The float literals of the inputs of a test program that bpnet-gen wrote."""
    block = text[text.index("float inputs[TESTS]"):]
    block = block[:block.index("};")]
    return [float(v) for v in re.findall(r"(-?\d[\d.]*(?:e[-+]?\d+)?)f", block)]


@pytest.mark.parametrize("form", ["exact", "float"])
@pytest.mark.parametrize("name,inputs,layers,shortcuts", NETWORKS)
def test_network_files_equal_bpnet_gen(tmp_path, name, inputs, layers, shortcuts, form):
    gen = program("BPNET_GEN", "bpnet-gen")
    toml = tmp_path / f"{name}.toml"
    toml.write_text(description(name, inputs, layers, shortcuts))
    # Trained values, so that every value differs from the initial draw.
    net = bpnet.Network(str(toml))
    net.initialize(seed=11, range=0.5)
    X, Y = patterns(20, inputs, net.outputs, seed=3)
    net.learn(X, Y, epochs=3)
    net.save(str(tmp_path / "net.save"))
    before = np.array(net.data)
    accumulate = "double" if form == "exact" else "float"
    subprocess.run([gen, "--embed", str(toml), "--weights", str(tmp_path / "net.save"), "--test", "9",
                    "--accumulate", accumulate, "-o", str(tmp_path / "gen")], check=True, capture_output=True)
    test_file = (tmp_path / "gen" / f"{name}_embed_test.c").read_text()
    rows = np.array(generated_inputs(test_file), dtype=np.float32).reshape(9, inputs)

    written = bpnet.embed(net, tmp_path / "py", form=form, test_X=rows)

    assert [p.rsplit("/", 1)[1] for p in written] == [f"{name}_embed.h", f"{name}_embed.c", f"{name}_embed_test.c"]
    for file in (f"{name}_embed.h", f"{name}_embed.c", f"{name}_embed_test.c"):
        assert (tmp_path / "py" / file).read_bytes() == (tmp_path / "gen" / file).read_bytes(), file
    # The network is left as it was, delays included.
    np.testing.assert_array_equal(np.array(net.data), before)


def compile_and_run(folder, name, expect_pass=True, flags=()):
    """Compile NAME_embed.c with its test program by the build's C compiler and run it."""
    cc = program("BPNET_CC", "cc")
    exe = folder / f"{name}-test"
    subprocess.run([cc, "-std=c99", "-Wall", "-Wextra", "-pedantic", "-Werror", "-O2", "-ffp-contract=off", *flags,
                    str(folder / f"{name}_embed.c"), str(folder / f"{name}_embed_test.c"), "-o", str(exe)],
                   check=True)
    run = subprocess.run([str(exe)], capture_output=True, text=True)
    assert (run.returncode == 0) == expect_pass, run.stdout
    return run.stdout


def data(rows, seed, spread=3.0):
    """Inputs with offsets and spreads of their own, so that the scaling matters."""
    rng = np.random.default_rng(seed)
    X = rng.normal(0, 1, (rows, 3)) * [spread, 0.5, 20.0] + [1.0, -4.0, 100.0]
    return X


def estimator(kind):
    """A small fitted estimator, plain or in a pipeline of scalers, and its test rows."""
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import MinMaxScaler, StandardScaler
    X, T = data(120, 1), data(40, 2, spread=5.0)
    if kind.startswith("classifier"):
        score = X[:, 0] - 0.1 * X[:, 2]
        y = np.digitize(score, np.quantile(score, [0.33, 0.66]))
        if kind == "classifier-texts":
            y = np.array(["low", 'mid "?"', "h\u00efgh"])[y]
        est = bpnet.MLPClassifier(hidden_layer_sizes=(6,), max_iter=15, random_state=0)
    else:
        y = np.stack([np.sin(X[:, 0]) * 40 + X[:, 1], X[:, 2] * 0.01], axis=1)
        est = bpnet.MLPRegressor(hidden_layer_sizes=(5, 4), max_iter=15, random_state=0)
    if kind.endswith("pipeline"):
        est = make_pipeline(StandardScaler(), MinMaxScaler(feature_range=(-1, 2), clip=True), est)
    return est.fit(X, y), T


@pytest.mark.parametrize("form", ["exact", "float"])
@pytest.mark.parametrize("kind", ["classifier", "classifier-texts", "classifier-pipeline", "regressor",
                                  "regressor-pipeline"])
def test_fit_to_c_result(tmp_path, kind, form):
    est, T = estimator(kind)
    bpnet.embed(est, tmp_path, name="fitted", form=form, test_X=T)
    out = compile_and_run(tmp_path, "fitted")
    assert "every" in out
    if form == "float":
        return
    if kind.startswith("classifier"):
        # The test program checks something: the rows do not all fall in one class, and a wrong
        # class in its table fails it.
        assert len(set(est.predict(T.astype(np.float32)).tolist())) > 1
        test = tmp_path / "fitted_embed_test.c"
        text = test.read_text()
        table = text[text.index("static const int expected[TESTS] = {"):]
        first = re.search(r"\{\n    (\d+)", table)
        wrong = str((int(first.group(1)) + 1) % len(est.classes_))
        test.write_text(text.replace(first.group(0), first.group(0)[:-len(first.group(1))] + wrong, 1))
        compile_and_run(tmp_path, "fitted", expect_pass=False)
    else:
        # One bit off in one prediction fails the exact test.
        test = tmp_path / "fitted_embed_test.c"
        text = test.read_text()
        bits = re.search(r"0x([0-9a-f]{8})u", text[text.index("expected[TESTS]"):])
        flipped = "0x%08xu" % (int(bits.group(1), 16) ^ 1)
        test.write_text(text.replace(bits.group(0), flipped, 1))
        compile_and_run(tmp_path, "fitted", expect_pass=False)


def test_classes_and_scaling_in_the_c_file(tmp_path):
    est, T = estimator("classifier-texts")
    bpnet.embed(est, tmp_path, name="texts")
    header = (tmp_path / "texts_embed.h").read_text()
    assert "int texts_embed_predict(float *work, const float *in);" in header
    assert "extern const char *const texts_embed_classes[TEXTS_EMBED_CLASSES];" in header
    source = (tmp_path / "texts_embed.c").read_text()
    assert '"mid \\042\\077\\042"' in source and '"h\\303\\257gh"' in source
    # The scaling constants read back as the estimator's doubles.
    offsets = re.search(r"scale0\[3\] = \{\n(.*?)\n\};", source, re.S).group(1)
    assert [float.fromhex(v.strip()) for v in offsets.split(",")] == est._offset.tolist()


def test_refusals(tmp_path, compile_module):
    net = bpnet.Network(description("small", 2, [(2, "logistic")]))
    delays = bpnet.Network(description("delays", 2, [(3, "tanh", 1), (2, "logistic")]))
    for form in ("int16", "int8"):
        with pytest.raises(bpnet.Error, match="no layer with feedback"):
            bpnet.embed(delays, tmp_path / "none", form=form)
    with pytest.raises(ValueError, match="form must be"):
        bpnet.embed(net, tmp_path, form="double")
    with pytest.raises(ValueError, match="name must be"):
        bpnet.embed(net, tmp_path, name="2fast")
    with pytest.raises(ValueError, match="not finite"):
        bpnet.embed(net, tmp_path, test_X=[[0.0, np.inf]])
    with pytest.raises(ValueError, match="not fitted"):
        bpnet.embed(bpnet.MLPClassifier(), tmp_path)
    module = bpnet.Network.from_module(compile_module(description("small", 2, [(2, "logistic")])))
    with pytest.raises(bpnet.Error, match="module's network"):
        bpnet.embed(module, tmp_path)
    net.data[:] = np.nan
    with pytest.raises(bpnet.Error, match="not finite"):
        bpnet.embed(net, tmp_path / "none")
    assert not (tmp_path / "none").exists()


# ---- The integer forms.

def no_floating_point(folder, name):
    """The integer form's own files name no floating-point type."""
    for file in (f"{name}_embed.h", f"{name}_embed.c"):
        text = (folder / file).read_text()
        assert not re.search(r"\b(float|double)\b", text), file


@pytest.mark.parametrize("bits", [16, 8])
@pytest.mark.parametrize("name,inputs,layers,shortcuts", NETWORKS[:2])
def test_network_integer_files_equal_bpnet_gen(tmp_path, name, inputs, layers, shortcuts, bits):
    gen = program("BPNET_GEN", "bpnet-gen")
    toml = tmp_path / f"{name}.toml"
    toml.write_text(description(name, inputs, layers, shortcuts))
    net = bpnet.Network(str(toml))
    net.initialize(seed=5, range=0.5)
    X, Y = patterns(20, inputs, net.outputs, seed=4)
    net.learn(X, Y, epochs=3)
    net.save(str(tmp_path / "net.save"))
    # Inputs beyond [-1, 1], so that they set the inputs' scale.
    rows = (np.random.default_rng(6).normal(0, 1.5, (30, inputs))).astype(np.float32)
    np.savetxt(tmp_path / "rows.csv", rows, fmt="%.9g", delimiter=",")
    subprocess.run([gen, "--embed", str(toml), "--weights", str(tmp_path / "net.save"), "--integer", str(bits),
                    "--inputs", str(tmp_path / "rows.csv"), "--test", str(len(rows)), "-o", str(tmp_path / "gen")],
                   check=True, capture_output=True)

    bpnet.embed(net, tmp_path / "py", form=f"int{bits}", test_X=rows)

    for file in (f"{name}_embed.h", f"{name}_embed.c", f"{name}_embed_test.c"):
        assert (tmp_path / "py" / file).read_bytes() == (tmp_path / "gen" / file).read_bytes(), file
    no_floating_point(tmp_path / "py", name)
    compile_and_run(tmp_path / "py", name)


@pytest.mark.parametrize("form", ["int16", "int8"])
@pytest.mark.parametrize("kind", ["classifier", "classifier-pipeline", "regressor", "regressor-pipeline"])
def test_fit_to_integer_c_result(tmp_path, kind, form):
    est, T = estimator(kind)
    bpnet.embed(est, tmp_path, name="fitted", form=form, test_X=T)
    no_floating_point(tmp_path, "fitted")
    out = compile_and_run(tmp_path, "fitted")
    if kind.startswith("classifier"):
        assert re.search(r"(\d+) of 40 rows agree", out)
        compile_and_run(tmp_path, "fitted", expect_pass=False, flags=["-DFITTED_EMBED_AGREEMENT=101"])
    else:
        assert "0 predictions beyond the tolerance" in out
        # A prediction further off than the tolerance fails the test.
        test = tmp_path / "fitted_embed_test.c"
        text = test.read_text()
        table = text[text.index("tolerance[FITTED_EMBED_OUTPUTS] = {"):]
        first = re.search(r"\{\n    (\d+)LL", table)
        test.write_text(text.replace(first.group(0), first.group(0).replace(first.group(1), "-1"), 1))
        compile_and_run(tmp_path, "fitted", expect_pass=False)


def test_digits_integer_forms_agree_with_predict(tmp_path):
    from sklearn.datasets import load_digits
    from sklearn.model_selection import train_test_split
    X, y = load_digits(return_X_y=True)
    X_train, X_test, y_train, _ = train_test_split(X, y, test_size=0.25, random_state=0)
    clf = bpnet.MLPClassifier(hidden_layer_sizes=(32,), max_iter=30, random_state=0)
    with pytest.warns(Warning):
        clf.fit(X_train, y_train)
    shares = {}
    for form in ("exact", "int16", "int8"):
        folder = tmp_path / form
        bpnet.embed(clf, folder, name="digits", form=form, test_X=X_test)
        out = compile_and_run(folder, "digits")
        if form == "exact":
            assert "every class is predict's" in out
            continue
        no_floating_point(folder, "digits")
        agree = re.search(r"(\d+) of (\d+) rows agree", out)
        assert int(agree.group(2)) == len(X_test)
        shares[form] = int(agree.group(1)) / len(X_test)
    assert shares["int16"] >= 0.99 and shares["int8"] >= 0.95, shares


def test_integer_predict_links_no_floating_point(tmp_path):
    """The estimator's integer form with its test program, built for a Cortex-M0 with software
    floating point, links none of the floating-point routines."""
    import os
    import shutil
    cc, nm = shutil.which("arm-none-eabi-gcc"), shutil.which("arm-none-eabi-nm")
    if not cc or not nm:
        pytest.skip("arm-none-eabi-gcc not found")
    start = os.path.join(os.path.dirname(__file__), "..", "..", "tests", "embed")
    est, T = estimator("regressor-pipeline")
    for kind, (fitted, rows) in (("regressor", (est, T)), ("classifier", estimator("classifier-pipeline"))):
        folder = tmp_path / kind
        bpnet.embed(fitted, folder, name="fitted", form="int16", test_X=rows)
        elf = folder / "m0.elf"
        subprocess.run([cc, "-mcpu=cortex-m0", "-mthumb", "-mfloat-abi=soft", "-Os", "--specs=rdimon.specs",
                        "-nostartfiles", "-T", os.path.join(start, "microbit.ld"), f"-I{folder}",
                        os.path.join(start, "startup.c"), str(folder / "fitted_embed.c"),
                        str(folder / "fitted_embed_test.c"), "-o", str(elf)], check=True)
        symbols = subprocess.run([nm, str(elf)], check=True, capture_output=True, text=True).stdout
        assert "fitted_embed_predict" in symbols
        assert not re.findall(r"__aeabi_[fd]\w*|\w*[sd]f3\b", symbols), kind
