"""Shared fixtures: the build's programs and modules compiled from descriptions."""
import hashlib
import os
import shutil
import subprocess

import numpy as np
import pytest

import bpnet

needs_runtime = pytest.mark.skipif(not bpnet.HAVE_RUNTIME_NETWORK,
                                   reason="this build has no run-time network")


def program(variable, name):
    """A program of the build, named by the test's environment (CTest sets it), else on PATH."""
    path = os.environ.get(variable) or shutil.which(name)
    if not path:
        pytest.skip(f"{name} not found (set {variable})")
    return path


@pytest.fixture(scope="session")
def compile_module(tmp_path_factory):
    """A function: description text -> path of its module made by bpnet-gen --shared (one
    compile per distinct text)."""
    gen = program("BPNET_GEN", "bpnet-gen")
    folder = tmp_path_factory.mktemp("modules")
    made = {}

    def compile_text(text):
        key = hashlib.sha1(text.encode()).hexdigest()[:16]
        if key not in made:
            toml = folder / f"{key}.toml"
            toml.write_text(text)
            so = folder / f"{key}.so"
            subprocess.run([gen, "--shared", str(toml), "-o", str(so)], check=True)
            made[key] = str(so)
        return made[key]

    return compile_text


def description(name, inputs, layers, shortcuts=False):
    """A description text: layers are (units, unit) pairs, or (units, unit, feedback order)
    triples, the last the output layer."""
    lines = [f'network = "{name}"', f"inputs = {inputs}"]
    earlier = ['"$INPUTS"']
    for i, (units, unit, *feedback) in enumerate(layers):
        layer = "Out" if i == len(layers) - 1 else f"H{i + 1}"
        sources = earlier if shortcuts else earlier[-1:]
        lines += ["[[layer]]", f'name = "{layer}"', f"units = {units}", f'unit = "{unit}"',
                  f"from = [{', '.join(sources)}]"]
        if feedback and feedback[0]:
            lines.append(f"feedback = {feedback[0]}")
        earlier.append(f'"{layer}"')
    return "\n".join(lines) + "\n"


def patterns(rows, inputs, outputs, seed):
    """Random inputs in [-1, 1] and targets in [0, 1], as float32."""
    rng = np.random.default_rng(seed)
    X = rng.uniform(-1, 1, (rows, inputs)).astype(np.float32)
    Y = rng.uniform(0, 1, (rows, outputs)).astype(np.float32)
    return X, Y
