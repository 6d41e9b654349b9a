"""scikit-learn estimators over bpnet networks built at run time.

``MLPClassifier`` and ``MLPRegressor`` take scikit-learn's own parameters, with its names and
defaults, so that a script written for scikit-learn's multi-layer perceptrons runs with
bpnet's by changing the import. Every fit writes the description of a feed-forward network
(the inputs, the hidden layers, the output layer), builds it with ``bpnet.Network``, draws its
initial weights as scikit-learn does (Glorot's uniform bound, from ``random_state``) and
trains it one epoch per ``Network.learn`` call, with scikit-learn's stopping rules.

The classifier has one softmax output per class (two for two classes) trained on
cross-entropy against one-hot targets; the regressor has one linear output per target trained
on the squared error, the targets as they are.
"""
import numbers
import os
import tempfile
import warnings

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
from sklearn.exceptions import ConvergenceWarning
from sklearn.model_selection import train_test_split
from sklearn.utils import check_random_state
from sklearn.utils.multiclass import check_classification_targets, type_of_target, unique_labels
from sklearn.metrics import accuracy_score, r2_score
from sklearn.utils.validation import check_is_fitted, column_or_1d

from ._bpnet import HIDDEN_UNIT_KINDS, Network

# scikit-learn's activation names and the unit kinds of bpnet's table that compute them. bpnet's
# tanh unit is 2 logistic(x) - 1, that is tanh(x / 2).
ACTIVATIONS = {"identity": "linear", "logistic": "logistic", "tanh": "tanh", "relu": "relu"}
# The unit kinds a hidden layer may take, as the extension gives them (the table less the
# output-only kinds).
UNITS = HIDDEN_UNIT_KINDS
SOLVERS = ("adam", "sgd")
SCALES = ("zscore", "minmax", None)

# Seeds are drawn below this bound: the network's random source takes an int.
_SEED_BOUND = 2**31 - 1
# The most rows of a batch: the library counts rows in an int.
_BATCH_BOUND = 2**31 - 1
# The library's one-row learning (batch 1) scales the output deltas by this factor times the
# network's learning rate, where batches of several rows take the rate as it is: plain
# gradient descent one row at a time sets the network's rate so that the product is the step
# size asked for.
_DELTA_SCALE = 0.333333
# The presentation error below which the library skips a presentation's update: every row
# learns, as in scikit-learn (errors are never negative).
_NO_THRESHOLD = -1.0


def _sgd_rate(step):
    """The network's learning rate whose delta scale is `step` as a float (or the nearest
    float to step / _DELTA_SCALE when none of its neighbours gives it)."""
    target = np.float32(step)
    rate = np.float32(step / _DELTA_SCALE)
    up, down = rate, rate
    for _ in range(8):
        for candidate in (up, down):
            if np.float32(_DELTA_SCALE * float(candidate)) == target:
                return float(candidate)
        up, down = np.nextafter(up, np.float32(np.inf)), np.nextafter(down, np.float32(-np.inf))
    return float(rate)


def _whole(value, low, name, high=None):
    """value when it is a whole number in [low, high]; ValueError otherwise."""
    if (not isinstance(value, numbers.Integral) or isinstance(value, bool) or value < low
            or (high is not None and value > high)):
        bound = f"from {low} to {high}" if high is not None else f"of at least {low}"
        raise ValueError(f"{name} must be a whole number {bound}; got {value!r}")
    return int(value)


def _real(value, name, low, high, low_open=False, high_open=False):
    """value when it is a real number within the bounds; ValueError otherwise."""
    ok = isinstance(value, numbers.Real) and not isinstance(value, bool) and np.isfinite(value)
    ok = ok and (value > low if low_open else value >= low) and (value < high if high_open else value <= high)
    if not ok:
        lb, hb = "(" if low_open else "[", ")" if high_open else "]"
        raise ValueError(f"{name} must be a number in {lb}{low}, {high}{hb}; got {value!r}")
    return float(value)


class _Layout:
    """Where the network's thresholds and weights lie in Network.data, read from Network.blocks:
    per layer in forward order its thresholds' positions (units,) and per source its weights'
    positions (units, source units), a row per unit; and all, every trainable position in the
    order of the network's dumps (the order of the weights kept for early stopping)."""

    def __init__(self, net, plan):
        blocks = {(layer, source): (start, count) for layer, source, start, count in net.blocks}
        self.thresholds, self.weights = [], []

        def take(layer, source, count):
            start, found = blocks.pop((layer, source), (None, None))
            if found != count:
                raise RuntimeError(f"the network's block {layer}/{source} is not the one its description gives")
            return np.arange(start, start + count, dtype=np.int64)

        for name, units, _, sources in plan:
            self.thresholds.append(take(name, None, units))
            self.weights.append([take(name, s, units * s_units).reshape(units, s_units) for s, s_units in sources])
        if blocks:
            raise RuntimeError("the network has trainable blocks its description does not give")
        # The dumps' order: layers from the output back, each its thresholds, then its weights
        # from every source in order, a row per unit.
        self.all = np.concatenate([np.concatenate([t] + [w.ravel() for w in ws])
                                   for t, ws in zip(reversed(self.thresholds), reversed(self.weights))])


def _save_bytes(net):
    """The network's save file as bytes: its weights and, once Adam has learned, Adam's
    record (its update count and moments), which lives beside the network's data."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "network.save")
        net.save(path)
        with open(path, "rb") as f:
            return f.read()


def _load_bytes(net, image):
    """Load a save file's bytes from _save_bytes into net."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "network.save")
        with open(path, "wb") as f:
            f.write(image)
        net.load(path)


class _BaseNetworkEstimator(BaseEstimator):
    """What both estimators share: the parameters, the description, the input scaling,
    initialization, training, stopping and pickling."""

    _output_unit = "linear"

    def __init__(self, hidden_layer_sizes=(100,), activation="relu", *, solver="adam", alpha=0.0001,
                 batch_size="auto", learning_rate="constant", learning_rate_init=0.001, power_t=0.5,
                 max_iter=200, shuffle=True, random_state=None, tol=1e-4, verbose=False, warm_start=False,
                 momentum=0.9, nesterovs_momentum=True, early_stopping=False, validation_fraction=0.1,
                 beta_1=0.9, beta_2=0.999, epsilon=1e-8, n_iter_no_change=10, max_fun=15000,
                 shortcuts=False, scale="zscore"):
        self.hidden_layer_sizes = hidden_layer_sizes
        self.activation = activation
        self.solver = solver
        self.alpha = alpha
        self.batch_size = batch_size
        self.learning_rate = learning_rate
        self.learning_rate_init = learning_rate_init
        self.power_t = power_t
        self.max_iter = max_iter
        self.shuffle = shuffle
        self.random_state = random_state
        self.tol = tol
        self.verbose = verbose
        self.warm_start = warm_start
        self.momentum = momentum
        self.nesterovs_momentum = nesterovs_momentum
        self.early_stopping = early_stopping
        self.validation_fraction = validation_fraction
        self.beta_1 = beta_1
        self.beta_2 = beta_2
        self.epsilon = epsilon
        self.n_iter_no_change = n_iter_no_change
        self.max_fun = max_fun
        self.shortcuts = shortcuts
        self.scale = scale

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
        """Every parameter checked; ValueError names the first that is wrong."""
        if self.activation not in ACTIVATIONS:
            raise ValueError(f"activation must be one of {', '.join(ACTIVATIONS)}; got {self.activation!r}")
        if self.solver == "lbfgs":
            raise ValueError("solver 'lbfgs' is not available: bpnet trains by stochastic gradients; "
                             "use solver='adam' or 'sgd'")
        if self.solver not in SOLVERS:
            raise ValueError(f"solver must be 'adam' or 'sgd'; got {self.solver!r}")
        if self.learning_rate != "constant":
            raise ValueError(f"learning_rate must be 'constant' (bpnet keeps the step size fixed); "
                             f"got {self.learning_rate!r}")
        if self.scale not in SCALES:
            raise ValueError(f"scale must be 'zscore', 'minmax' or None; got {self.scale!r}")
        if self.batch_size != "auto":
            try:
                _whole(self.batch_size, 1, "batch_size", _BATCH_BOUND)
            except ValueError as e:
                raise ValueError(f"{e} (or 'auto')") from None
        _whole(self.max_iter, 1, "max_iter")
        _whole(self.n_iter_no_change, 1, "n_iter_no_change")
        _real(self.alpha, "alpha", 0, np.inf, high_open=True)
        _real(self.learning_rate_init, "learning_rate_init", 0, np.inf, low_open=True, high_open=True)
        _real(self.tol, "tol", 0, np.inf, high_open=True)
        _real(self.momentum, "momentum", 0, 1, high_open=True)
        _real(self.validation_fraction, "validation_fraction", 0, 1, low_open=True, high_open=True)
        _real(self.beta_1, "beta_1", 0, 1, high_open=True)
        _real(self.beta_2, "beta_2", 0, 1, high_open=True)
        _real(self.epsilon, "epsilon", 0, np.inf, low_open=True, high_open=True)
        for name in ("shuffle", "verbose", "warm_start", "early_stopping", "nesterovs_momentum", "shortcuts"):
            if not isinstance(getattr(self, name), (bool, np.bool_)):
                raise ValueError(f"{name} must be True or False; got {getattr(self, name)!r}")
        return self._hidden_sizes()

    def _layer_plan(self, inputs, outputs):
        """(name, units, unit kind, source sizes) of every layer in forward order: each fed by
        the one before it, or with shortcuts by the inputs and every earlier layer."""
        sizes = self._hidden_sizes()
        unit = ACTIVATIONS[self.activation]
        plan, earlier = [], [("$INPUTS", inputs)]
        for name, units, kind in ([(f"H{i + 1}", s, unit) for i, s in enumerate(sizes)]
                                  + [("Out", outputs, self._output_unit)]):
            sources = list(earlier) if self.shortcuts else earlier[-1:]
            plan.append((name, units, kind, sources))
            earlier.append((name, units))
        return plan

    def _description(self, inputs, outputs):
        """The description text of the network."""
        lines = ['network = "mlp"', f"inputs = {inputs}"]
        if self.solver == "adam":
            # Adam's moments in the network's data, so that they travel with it.
            lines.append('optimizer = "adam"')
        for name, units, kind, sources in self._layer_plan(inputs, outputs):
            lines += ["", "[[layer]]", f'name = "{name}"', f"units = {units}", f'unit = "{kind}"',
                      "from = [" + ", ".join(f'"{s}"' for s, _ in sources) + "]"]
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

    # ---- The network's thresholds and weights in scikit-learn's shapes.

    def _layout(self):
        if getattr(self, "_slots", None) is None:
            plan = self._layer_plan(self.n_features_in_, self.n_outputs_)
            self._slots = _Layout(self.network_, plan)
        return self._slots

    def _publish(self):
        """coefs_ and intercepts_: copies of the network's weights, (sources' units, units) per
        layer (with shortcuts the sources stacked in order), and of its thresholds."""
        slots, data = self._layout(), np.asarray(self.network_.data)
        self.coefs_ = [np.concatenate([data[w] for w in ws], axis=1).T.copy() for ws in slots.weights]
        self.intercepts_ = [data[t].copy() for t in slots.thresholds]

    def _penalty(self):
        """The sum of the squared weights (not the thresholds), as scikit-learn's L2 term takes them."""
        data = np.asarray(self.network_.data)
        return float(sum(np.sum(np.square(data[w].astype(np.float64))) for ws in self._layout().weights for w in ws))

    # ---- The network and training.

    def _start(self, X, outputs):
        """A fresh network for X's inputs, its weights and thresholds drawn from the
        estimator's random state as scikit-learn draws them: per layer a uniform
        (fan_in, fan_out) array within sqrt(6 / (fan_in + fan_out)) (2 for logistic units),
        then the thresholds within the same bound."""
        self._fit_scaling(X)
        self.n_outputs_ = outputs
        self.n_layers_ = len(self._hidden_sizes()) + 2
        self._text = self._description(X.shape[1], outputs)
        net = self._new_network(self._text)
        net.initialize(seed=1, range=0.0)
        self.network_ = net
        self._slots = None
        slots = self._layout()
        factor = 2.0 if self.activation == "logistic" else 6.0
        data = net.data
        for ws, ts in zip(slots.weights, slots.thresholds):
            fan_in, fan_out = sum(w.shape[1] for w in ws), len(ts)
            bound = np.sqrt(factor / (fan_in + fan_out))
            coef = self._random_state.uniform(-bound, bound, (fan_in, fan_out)).astype(np.float32)
            intercept = self._random_state.uniform(-bound, bound, fan_out).astype(np.float32)
            start = 0
            for w in ws:
                data[w] = coef[start:start + w.shape[1]].T
                start += w.shape[1]
            data[ts] = intercept
        self.n_iter_ = 0
        self.t_ = 0
        self.loss_curve_ = []
        self._no_improvement_count = 0
        self._best_weights = None
        self._last_penalty = self._penalty()
        if self.early_stopping:
            self.validation_scores_ = []
            self.best_validation_score_ = -np.inf
            self.best_loss_ = None
        else:
            self.validation_scores_ = None
            self.best_validation_score_ = None
            self.best_loss_ = np.inf

    def _new_network(self, text):
        """The network of a description text, built at run time (a subclass may open a module
        of the same description instead: the same bits)."""
        return Network(text)

    def _set_rates(self, batch):
        net = self.network_
        net.threshold = _NO_THRESHOLD
        if self.solver == "sgd":
            step = float(self.learning_rate_init)
            net.learning_rate = _sgd_rate(step) if batch == 1 else step
            net.inertia = float(self.momentum)
        else:
            net.learning_rate = float(self.learning_rate_init)
            net.inertia = 0.0

    def _epoch(self, X, T, batch):
        """One epoch of learn over the rows; the per-row mean of the returned errors."""
        seed = int(self._random_state.randint(_SEED_BOUND)) if self.shuffle else 1
        return float(self.network_.learn(X, T, epochs=1, order="shuffled" if self.shuffle else "sequential",
                                         seed=seed, batch=batch, optimizer=self.solver, decay=float(self.alpha),
                                         beta1=float(self.beta_1), beta2=float(self.beta_2),
                                         epsilon=float(self.epsilon))[0])

    def _run(self, X, T, y, incremental):
        """scikit-learn's stochastic training loop: epochs of learn, the loss of each (the data's
        mean error plus the L2 term), and its stopping rules."""
        net = self.network_
        # Learning draws derivative offsets from the network's random source: seeded from this
        # estimator's random state, so that the call's result depends on nothing trained
        # elsewhere in the process meanwhile. Seeding clears the network's state; what comes
        # back is what scikit-learn keeps: a fit starts a fresh optimizer from the weights
        # (its steps and moments cleared), partial_fit goes on with the optimizer's state,
        # all of it in the network's data for sgd. Adam's update count lies outside what is
        # restored here, so partial_fit with adam goes on without reseeding once the network
        # has learned.
        seed = int(self._random_state.randint(_SEED_BOUND))
        if not incremental or self.solver == "sgd" or self.n_iter_ == 0:
            keep = self._layout().all if not incremental else slice(None)
            state, counter = np.array(net.data, copy=True), net.counter
            net.initialize(seed=seed)
            net.data[keep] = state[keep]
            net.counter = counter

        early_stopping = self.early_stopping and not incremental
        # The record of the rule in use, started here when the earlier calls used the other
        # one (partial_fit after a fit with early stopping, or a warm start that turns it on).
        if early_stopping and self.validation_scores_ is None:
            self.validation_scores_, self.best_validation_score_ = [], -np.inf
        if not early_stopping and self.best_loss_ is None:
            self.best_loss_ = np.inf
        if early_stopping:
            stratify = y if self._stratify() else None
            X, X_val, T, _, y, y_val = train_test_split(X, T, y, random_state=self._random_state,
                                                        test_size=self.validation_fraction, stratify=stratify)
        n = X.shape[0]
        batch = min(200, n) if self.batch_size == "auto" else int(self.batch_size)
        if self.batch_size != "auto" and batch > n:
            warnings.warn("Got `batch_size` less than 1 or larger than sample size. It is going to be clipped")
        batch = max(1, min(batch, n))
        batches = -(-n // batch)
        self._set_rates(batch)
        inputs, targets = self._inputs(X), np.ascontiguousarray(T, dtype=np.float32)
        for _ in range(self.max_iter):
            error = self._epoch(inputs, targets, batch)
            # scikit-learn adds 0.5 alpha |W|^2 / rows of the batch to every batch's loss, with
            # the weights at the batch's start: the weights before and after the epoch stand
            # in for them.
            penalty = self._penalty()
            l2 = 0.5 * float(self.alpha) * batches * 0.5 * (self._last_penalty + penalty) / n
            self._last_penalty = penalty
            self.n_iter_ += 1
            self.loss_ = self._data_loss(error) + l2
            self.t_ += n
            self.loss_curve_.append(self.loss_)
            if self.verbose:
                print("Iteration %d, loss = %.8f" % (self.n_iter_, self.loss_))
            if early_stopping:
                score = self._score_rows(X_val, y_val)
                self.validation_scores_.append(score)
                if self.verbose:
                    print("Validation score: %f" % score)
                if score < self.best_validation_score_ + self.tol:
                    self._no_improvement_count += 1
                else:
                    self._no_improvement_count = 0
                if score > self.best_validation_score_:
                    self.best_validation_score_ = score
                    self._best_weights = np.asarray(net.data)[self._layout().all].copy()
            else:
                if self.loss_curve_[-1] > self.best_loss_ - self.tol:
                    self._no_improvement_count += 1
                else:
                    self._no_improvement_count = 0
                if self.loss_curve_[-1] < self.best_loss_:
                    self.best_loss_ = self.loss_curve_[-1]
            if self._no_improvement_count > self.n_iter_no_change:
                what = "Validation score" if early_stopping else "Training loss"
                if self.verbose:
                    print("%s did not improve more than tol=%f for %d consecutive epochs. Stopping."
                          % (what, self.tol, self.n_iter_no_change))
                break
            if incremental:
                break
            if self.n_iter_ == self.max_iter:
                warnings.warn("Stochastic Optimizer: Maximum iterations (%d) reached and the optimization "
                              "hasn't converged yet." % self.max_iter, ConvergenceWarning)
        if early_stopping and getattr(self, "_best_weights", None) is not None:
            # The best weights seen on the validation rows (in this fit or, warm started, an
            # earlier one), as scikit-learn keeps them.
            net.data[self._layout().all] = self._best_weights
            self._last_penalty = self._penalty()
        self._publish()
        return self

    def _outputs(self, X):
        """The network's outputs for every row, from block passes over the machine's cores."""
        check_is_fitted(self, "network_")
        X = self._validate_data(X, reset=False, dtype=[np.float64, np.float32])
        return self.network_.forward(self._inputs(X)).astype(np.float64)

    def _fit(self, X, y, incremental, classes=None):
        self._check_params()
        first = not hasattr(self, "network_") or (not self.warm_start and not incremental)
        X, y = self._validate_data(X, y, dtype=[np.float64, np.float32], multi_output=True, reset=first,
                                   **self._y_checks())
        if y.ndim == 2 and y.shape[1] == 1:
            y = column_or_1d(y, warn=True)
        T = self._targets(y, first, incremental, classes)
        self._random_state = check_random_state(self.random_state)
        if first:
            self._start(X, T.shape[1])
        elif T.shape[1] != self.n_outputs_:
            raise ValueError(f"y has {T.shape[1]} targets, the network was built for {self.n_outputs_}")
        return self._run(X, T, y, incremental)

    # ---- Pickling: the network as its description and its whole state block.

    def __getstate__(self):
        # A copy: the base class may hand out the instance's own dictionary.
        state = dict(super().__getstate__())
        net = state.pop("network_", None)
        if net is not None:
            state["_network_state"] = {
                "data": np.array(net.data, copy=True), "counter": net.counter,
                "learning_rate": net.learning_rate, "inertia": net.inertia, "threshold": net.threshold,
                "save": _save_bytes(net)}
        return state

    def __setstate__(self, state):
        if "max_iter" not in state:
            # Estimators pickled before they took scikit-learn's parameters had other ones, and
            # a regressor of theirs mapped its outputs back from [0.1, 0.9]: their predictions
            # would be wrong here.
            raise ValueError("this estimator was pickled by an earlier bpnet, whose estimators had other "
                             "parameters and outputs; fit it again")
        saved = state.pop("_network_state", None)
        super().__setstate__(state)
        if saved is not None:
            net = Network(self._text)
            if saved.get("save"):
                # The save file brings back Adam's update count and moments; the data then
                # restores every value of the state block as it was.
                _load_bytes(net, saved["save"])
            net.data[:] = saved["data"]
            net.counter = saved["counter"]
            net.learning_rate = saved["learning_rate"]
            net.inertia = saved["inertia"]
            net.threshold = saved["threshold"]
            self.network_ = net


_PARAMETERS = """
    Parameters are scikit-learn's, with its defaults: hidden_layer_sizes=(100,),
    activation='relu' ('identity', 'logistic', 'tanh': bpnet's tanh unit, tanh(x/2), 'relu'),
    solver='adam' ('adam' or 'sgd'; 'lbfgs' is refused), alpha=0.0001 (L2 penalty),
    batch_size='auto' (min(200, rows)), learning_rate='constant' (the only schedule),
    learning_rate_init=0.001, max_iter=200 (epochs), shuffle=True, random_state=None,
    tol=1e-4, verbose=False, warm_start=False, momentum=0.9 (sgd), early_stopping=False,
    validation_fraction=0.1, beta_1=0.9, beta_2=0.999, epsilon=1e-8 (adam),
    n_iter_no_change=10. power_t (for schedules other than 'constant') and max_fun (for
    'lbfgs') are accepted and have no effect; nesterovs_momentum is accepted and has no effect:
    sgd uses classical momentum. bpnet's own: shortcuts=False (every layer also fed by the
    inputs and every earlier layer) and scale='zscore' ('minmax' or None: the inputs' scaling,
    from the training data of the first fit).

    Fitted attributes are scikit-learn's: loss_, loss_curve_, best_loss_ (None with early
    stopping), validation_scores_, best_validation_score_, n_iter_, t_, out_activation_,
    n_layers_, n_outputs_, n_features_in_, coefs_ and intercepts_ (copies of the network's
    weights, (fan_in, fan_out) per layer, and thresholds); and network_, the bpnet.Network.
"""


class MLPClassifier(ClassifierMixin, _BaseNetworkEstimator):
    __doc__ = """A classifier: one softmax output per class (two for two classes), trained on
    cross-entropy against one-hot targets; ``predict_proba`` gives the softmax outputs.
    """ + _PARAMETERS

    _output_unit = "softmax"

    def _y_checks(self):
        return {}

    def _stratify(self):
        return True

    def _score_rows(self, X, y):
        return accuracy_score(y, self.classes_[np.argmax(self.network_.forward(self._inputs(X)), axis=1)])

    def _data_loss(self, error):
        # The library's error of a row is -sum t ln o, scikit-learn's log loss per row.
        return error

    def _targets(self, y, first, incremental, classes):
        if type_of_target(y).startswith("multilabel"):
            raise ValueError("multilabel targets are not supported: bpnet's classifier has one softmax "
                             "output layer; fit one classifier per label")
        check_classification_targets(y)
        labels = unique_labels(y)
        if first:
            self.classes_ = np.unique(y if classes is None else classes)
            if len(self.classes_) < 2:
                raise ValueError(f"a classifier needs at least 2 classes; the data has {len(self.classes_)} class")
        elif self.warm_start and set(labels) != set(self.classes_):
            raise ValueError("warm_start can only be used where `y` has the same classes as in the previous "
                             f"call to fit. Previously got {self.classes_}, `y` has {labels}")
        elif classes is not None and not np.array_equal(np.unique(classes), self.classes_):
            raise ValueError(f"classes {np.unique(classes)!r} differ from those of the first call, "
                             f"{self.classes_!r}")
        if len(np.setdiff1d(labels, self.classes_)):
            raise ValueError(f"`y` has classes not in `self.classes_`. `self.classes_` has {self.classes_}. "
                             f"'y' has {labels}.")
        self.out_activation_ = "softmax"
        index = np.searchsorted(self.classes_, y)
        T = np.zeros((len(y), len(self.classes_)), dtype=np.float32)
        T[np.arange(len(y)), index] = 1.0
        return T

    def fit(self, X, y):
        """Fit a fresh network (or, with warm_start, go on from the last fit) on X, y."""
        return self._fit(X, y, incremental=False)

    def partial_fit(self, X, y, classes=None):
        """One epoch over X, y; the first call builds the network for `classes` (or the
        classes of y)."""
        return self._fit(X, y, incremental=True, classes=classes)

    def predict_proba(self, X):
        """The softmax outputs for every row (n_samples, n_classes)."""
        return self._outputs(X)

    def predict_log_proba(self, X):
        """The logarithms of predict_proba."""
        return np.log(self.predict_proba(X))

    def predict(self, X):
        """The class of the largest output for every row."""
        out = self._outputs(X)
        return self.classes_[np.argmax(out, axis=1)]


class MLPRegressor(RegressorMixin, _BaseNetworkEstimator):
    __doc__ = """A regressor: one linear output per target, trained on the squared error, the
    targets as they are; a 1-D y (or one target) gives 1-D predictions.
    """ + _PARAMETERS

    _output_unit = "linear"

    def _more_tags(self):
        return {"multioutput": True}

    def _y_checks(self):
        return {"y_numeric": True}

    def _stratify(self):
        return False

    def _score_rows(self, X, y):
        out = self.network_.forward(self._inputs(X)).astype(np.float64)
        return r2_score(y, out.ravel() if self.n_outputs_ == 1 else out)

    def _data_loss(self, error):
        # The library's error of a row is 0.5 sum (t - o)^2 over the targets' count, so that
        # its mean over rows is scikit-learn's squared loss, half the mean over rows and targets.
        return error

    def _targets(self, y, first, incremental, classes):
        self.out_activation_ = "identity"
        return np.asarray(y, dtype=np.float64).reshape(len(y), -1)

    def fit(self, X, y):
        """Fit a fresh network (or, with warm_start, go on from the last fit) on X, y."""
        return self._fit(X, y, incremental=False)

    def partial_fit(self, X, y):
        """One epoch over X, y; the first call builds the network."""
        return self._fit(X, y, incremental=True)

    def predict(self, X):
        """The predicted targets for every row: (n_samples,) for one target, else (n_samples, n_targets)."""
        out = self._outputs(X)
        return out.ravel() if self.n_outputs_ == 1 else out
