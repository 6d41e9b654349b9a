"""scikit-learn estimators over bpnet networks built at run time.

Every fit writes the description of a feed-forward network (the inputs, the hidden layers,
the output layer), builds it with ``bpnet.Network`` and trains it with ``Network.learn``.
The classifier has one logistic output per class, trained on one-hot targets; the
regressor has one logistic output per target, trained on the targets mapped from their
training range onto [0.1, 0.9] and mapped back when it predicts. (Linear outputs diverge at
the default learning rate and inertia: nothing bounds their steps.)
"""
import numbers

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
from sklearn.utils import check_random_state
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted

from ._bpnet import HIDDEN_UNIT_KINDS, Network

# The unit kinds a hidden layer may take: the library's table less the kinds only an output
# layer may have, as the extension gives it.
UNITS = HIDDEN_UNIT_KINDS
ORDERS = ("sequential", "shuffled")
SCALES = ("zscore", "minmax", None)

# Seeds are drawn below this bound: the initial values take an int.
_SEED_BOUND = 2**31 - 1
# The most rows of a batch: the library counts rows in an int.
_BATCH_BOUND = 2**31 - 1


class _BaseNetworkEstimator(BaseEstimator):
    """What both estimators share: the parameters, the description, the input scaling,
    training and pickling."""

    _output_unit = "logistic"

    def __init__(self, hidden_layer_sizes=(32,), unit="logistic", shortcuts=False, learning_rate=0.2,
                 inertia=0.95, epochs=100, order="shuffled", scale="zscore", batch_size=1, random_state=None):
        self.hidden_layer_sizes = hidden_layer_sizes
        self.unit = unit
        self.shortcuts = shortcuts
        self.learning_rate = learning_rate
        self.inertia = inertia
        self.epochs = epochs
        self.order = order
        self.scale = scale
        self.batch_size = batch_size
        self.random_state = random_state

    # ---- Parameters and the description.

    def _hidden_sizes(self):
        """The hidden layers' sizes as a tuple of positive ints; ValueError otherwise."""
        sizes = self.hidden_layer_sizes
        if isinstance(sizes, numbers.Integral):
            sizes = (sizes,)
        try:
            sizes = tuple(sizes)
        except TypeError:
            raise ValueError(f"hidden_layer_sizes must be a sequence of positive whole numbers, got {sizes!r}")
        for s in sizes:
            if not isinstance(s, numbers.Integral) or isinstance(s, bool) or s < 1:
                raise ValueError(f"hidden_layer_sizes must be a sequence of positive whole numbers, got {sizes!r}")
        return tuple(int(s) for s in sizes)

    def _check_params(self):
        if self.unit not in UNITS:
            raise ValueError(f"unit must be one of {', '.join(UNITS)}; got {self.unit!r}")
        if self.order not in ORDERS:
            raise ValueError(f"order must be 'sequential' or 'shuffled'; got {self.order!r}")
        if self.scale not in SCALES:
            raise ValueError(f"scale must be 'zscore', 'minmax' or None; got {self.scale!r}")
        if not isinstance(self.epochs, numbers.Integral) or isinstance(self.epochs, bool) or self.epochs < 1:
            raise ValueError(f"epochs must be a whole number of at least 1; got {self.epochs!r}")
        if (not isinstance(self.batch_size, numbers.Integral) or isinstance(self.batch_size, bool)
                or not 1 <= self.batch_size <= _BATCH_BOUND):
            raise ValueError(f"batch_size must be a whole number from 1 to {_BATCH_BOUND}; got {self.batch_size!r}")
        if not isinstance(self.learning_rate, numbers.Real) or not 0 <= self.learning_rate < float("inf"):
            raise ValueError(f"learning_rate must be a finite number, at least 0; got {self.learning_rate!r}")
        if not isinstance(self.inertia, numbers.Real) or not 0 <= self.inertia < 1:
            raise ValueError(f"inertia must be a number from 0 up to (not including) 1; got {self.inertia!r}")
        return self._hidden_sizes()

    def _description(self, inputs, outputs):
        """The description text of the network: inputs, hidden layers H1, H2, ... and Out;
        each layer fed by the one before it, or with shortcuts by the inputs and every
        earlier layer."""
        sizes = self._check_params()
        lines = ['network = "mlp"', f"inputs = {inputs}"]
        earlier = ['"$INPUTS"']
        layers = [(f"H{i + 1}", s, self.unit) for i, s in enumerate(sizes)] + [("Out", outputs, self._output_unit)]
        for name, units, unit in layers:
            sources = earlier if self.shortcuts else earlier[-1:]
            lines += ["", "[[layer]]", f'name = "{name}"', f"units = {units}", f'unit = "{unit}"',
                      f"from = [{', '.join(sources)}]"]
            earlier.append(f'"{name}"')
        return "\n".join(lines) + "\n"

    # ---- Input scaling, from the training data of the first fit.

    def _fit_scaling(self, X):
        if self.scale == "zscore":
            offset = X.mean(axis=0)
            spread = X.std(axis=0)
            factor = 1.0 / np.where(spread > 0, spread, 1.0)
        elif self.scale == "minmax":
            low, high = X.min(axis=0), X.max(axis=0)
            span = high - low
            # Each input's range onto [-1, 1]; a constant input goes to 0.
            offset = np.where(span > 0, (low + high) / 2, low)
            factor = np.where(span > 0, 2.0 / np.where(span > 0, span, 1.0), 1.0)
        else:
            offset = np.zeros(X.shape[1])
            factor = np.ones(X.shape[1])
        self._offset, self._factor = offset, factor

    def _inputs(self, X):
        scaled = (X - self._offset) * self._factor
        if not np.all(np.isfinite(scaled.astype(np.float32))):
            raise ValueError("an input, once scaled, is beyond the float range")
        return np.ascontiguousarray(scaled, dtype=np.float32)

    # ---- The network and training.

    def _start(self, X, outputs):
        """A fresh network for X's inputs, its initial values drawn from random_state."""
        self._check_params()
        self._rng = check_random_state(self.random_state)
        self._fit_scaling(X)
        self._text = self._description(X.shape[1], outputs)
        net = Network(self._text)
        net.initialize(seed=int(self._rng.randint(_SEED_BOUND)), range=0.1)
        net.learning_rate = float(self.learning_rate)
        net.inertia = float(self.inertia)
        self.network_ = net
        self.loss_curve_ = []
        self.n_iter_ = 0

    def _train(self, X, T, epochs):
        """Present the rows for `epochs` passes; their mean errors extend loss_curve_."""
        self._check_params()
        net = self.network_
        seed = int(self._rng.randint(_SEED_BOUND))
        X, T = self._inputs(X), np.ascontiguousarray(T, dtype=np.float32)
        # Learning draws from the network's random source, which initialize seeds: seed it
        # from this estimator's own generator, the network's state kept, so that the call's
        # result depends on nothing trained elsewhere in the process meanwhile.
        state, counter = np.array(net.data), net.counter
        net.initialize(seed=seed)
        net.data[:] = state
        net.counter = counter
        net.learning_rate = float(self.learning_rate)
        net.inertia = float(self.inertia)
        errors = net.learn(X, T, epochs=int(epochs), order=self.order, seed=seed, batch=int(self.batch_size))
        self.loss_curve_.extend(float(e) for e in errors)
        self.n_iter_ += int(epochs)
        return self

    def _outputs(self, X):
        """The network's outputs for every row, from block passes over the machine's cores."""
        check_is_fitted(self, "network_")
        X = self._validate_data(X, reset=False, dtype=[np.float64, np.float32])
        return self.network_.forward(self._inputs(X)).astype(np.float64)

    # ---- Pickling: the network as its description and its whole state block.

    def __getstate__(self):
        # A copy: the base class may hand out the instance's own dictionary.
        state = dict(super().__getstate__())
        net = state.pop("network_", None)
        if net is not None:
            state["_network_state"] = {
                "data": np.array(net.data, copy=True), "counter": net.counter,
                "learning_rate": net.learning_rate, "inertia": net.inertia, "threshold": net.threshold}
        return state

    def __setstate__(self, state):
        saved = state.pop("_network_state", None)
        # Estimators pickled before batch_size existed learned one row at a time.
        state.setdefault("batch_size", 1)
        super().__setstate__(state)
        if saved is not None:
            net = Network(self._text)
            net.data[:] = saved["data"]
            net.counter = saved["counter"]
            net.learning_rate = saved["learning_rate"]
            net.inertia = saved["inertia"]
            net.threshold = saved["threshold"]
            self.network_ = net


class MLPClassifier(ClassifierMixin, _BaseNetworkEstimator):
    """A classifier: one logistic output per class, trained on one-hot targets by
    backpropagation; ``predict_proba`` gives the outputs normalized to sum to 1.

    Parameters: hidden_layer_sizes (units of each hidden layer), unit (their unit kind, one
    of UNITS: logistic by default), shortcuts (every layer also fed by every earlier one
    and the inputs), learning_rate, inertia (momentum), epochs (passes of fit), order
    (sequential or shuffled, reshuffled every pass), scale (zscore, minmax or None: the inputs'
    scaling, from the training data), batch_size (rows learned at a time, one update per
    batch; 1: every row its own presentation), random_state (the initial values and the
    shuffle).
    """

    _output_unit = "logistic"

    def _targets(self, y):
        index = np.searchsorted(self.classes_, y)
        if np.any(index >= len(self.classes_)) or np.any(self.classes_[np.minimum(index, len(self.classes_) - 1)] != y):
            unknown = np.setdiff1d(np.unique(y), self.classes_)
            raise ValueError(f"y has labels not given in classes: {unknown!r}")
        T = np.zeros((len(y), len(self.classes_)), dtype=np.float32)
        T[np.arange(len(y)), index] = 1.0
        return T

    def _set_classes(self, classes):
        classes = np.unique(classes)
        if len(classes) < 2:
            raise ValueError(f"a classifier needs at least 2 classes; the data has {len(classes)} class")
        self.classes_ = classes

    def fit(self, X, y):
        """Build a fresh network and train it for `epochs` passes over X, y."""
        self._check_params()
        X, y = self._validate_data(X, y, dtype=[np.float64, np.float32])
        check_classification_targets(y)
        self._set_classes(y)
        self._start(X, len(self.classes_))
        return self._train(X, self._targets(y), self.epochs)

    def partial_fit(self, X, y, classes=None):
        """One pass over X, y; the first call builds the network, for `classes` (or the
        classes of y)."""
        first = not hasattr(self, "network_")
        X, y = self._validate_data(X, y, dtype=[np.float64, np.float32], reset=first)
        check_classification_targets(y)
        if first:
            self._set_classes(y if classes is None else classes)
            self._start(X, len(self.classes_))
        elif classes is not None and not np.array_equal(np.unique(classes), self.classes_):
            raise ValueError(f"classes {np.unique(classes)!r} differ from those of the first call, {self.classes_!r}")
        return self._train(X, self._targets(y), 1)

    def predict_proba(self, X):
        """The outputs for every row, normalized to sum to 1 (n_samples, n_classes)."""
        out = np.clip(self._outputs(X), 0.0, None)
        total = out.sum(axis=1, keepdims=True)
        uniform = np.full_like(out, 1.0 / out.shape[1])
        return np.where(total > 0, out / np.where(total > 0, total, 1.0), uniform)

    def predict(self, X):
        """The class of the largest output for every row."""
        proba = self.predict_proba(X)
        return self.classes_[np.argmax(proba, axis=1)]


class MLPRegressor(RegressorMixin, _BaseNetworkEstimator):
    """A regressor: one logistic output per target, trained by backpropagation on the targets
    mapped from their training range onto [0.1, 0.9]; its predictions are mapped back, so they
    stay within a quarter of that range beyond it. The parameters are the classifier's (see
    ``MLPClassifier``)."""

    _output_unit = "logistic"

    def _more_tags(self):
        return {"multioutput": True}

    def _targets(self, y):
        T = (np.asarray(y, dtype=np.float64).reshape(len(y), -1) - self._y_offset) / self._y_factor
        return T.astype(np.float32)

    def fit(self, X, y):
        """Build a fresh network and train it for `epochs` passes over X, y."""
        return self._fit(X, y, self.epochs)

    def _fit(self, X, y, epochs):
        self._check_params()
        X, y = self._validate_data(X, y, dtype=[np.float64, np.float32], multi_output=True, y_numeric=True)
        Y = y.reshape(len(y), -1).astype(np.float64)
        self._y_1d = y.ndim == 1
        # Each target's range onto [0.1, 0.9]; a constant target goes to 0.5.
        low, high = Y.min(axis=0), Y.max(axis=0)
        span = high - low
        self._y_factor = np.where(span > 0, span / 0.8, 1.0)
        self._y_offset = np.where(span > 0, low - 0.1 * self._y_factor, low - 0.5)
        self._start(X, Y.shape[1])
        return self._train(X, self._targets(Y), epochs)

    def partial_fit(self, X, y):
        """One pass over X, y; the first call builds the network and takes the targets'
        scaling from its y."""
        if not hasattr(self, "network_"):
            return self._fit(X, y, 1)
        X, y = self._validate_data(X, y, dtype=[np.float64, np.float32], multi_output=True, y_numeric=True,
                                   reset=False)
        Y = y.reshape(len(y), -1)
        if Y.shape[1] != len(self._y_offset):
            raise ValueError(f"y has {Y.shape[1]} targets, the network was built for {len(self._y_offset)}")
        return self._train(X, self._targets(Y), 1)

    def predict(self, X):
        """The predicted targets for every row: (n_samples,) for a 1-D y, else (n_samples, n_targets)."""
        out = self._outputs(X) * self._y_factor + self._y_offset
        return out.ravel() if self._y_1d else out
