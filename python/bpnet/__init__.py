"""Backpropagation networks for Python.

``bpnet.Network(description)`` builds a network at run time from a description (the path of
a description file, or its text); ``bpnet.Network.from_module(path)`` opens a module made by
``bpnet-gen --shared``. Both give the same bits for the same description. Failures of the
library arrive as ``bpnet.Error`` with the library's message.

``bpnet.MLPClassifier`` and ``bpnet.MLPRegressor`` are scikit-learn estimators over such
networks. ``bpnet.embed(obj, directory)`` writes the freestanding C form of a network or a
fitted estimator, as ``bpnet-gen --embed`` does.
"""
from ._bpnet import Error, Network, HAVE_RUNTIME_NETWORK, UNIT_KINDS
from .embedded import embed

__all__ = ["Error", "Network", "MLPClassifier", "MLPRegressor", "HAVE_RUNTIME_NETWORK", "UNIT_KINDS", "embed"]


def __getattr__(name):
    # The estimators import scikit-learn, which plain networks do not need.
    if name in ("MLPClassifier", "MLPRegressor"):
        from . import estimators
        return getattr(estimators, name)
    raise AttributeError(f"module 'bpnet' has no attribute {name!r}")
