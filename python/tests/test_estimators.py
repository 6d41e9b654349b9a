"""bpnet.MLPClassifier and bpnet.MLPRegressor: scikit-learn's own estimator checks, the
estimators against scikit-learn's own multi-layer perceptrons, scikit-learn's stopping rules
and attributes, and what the checks do not look at: learning real data, shortcuts,
partial_fit, warm starts and pickling state."""
import hashlib
import pickle
import re
import warnings

import numpy as np
import pytest
from sklearn import neural_network
from sklearn.datasets import load_iris
from sklearn.exceptions import ConvergenceWarning
from sklearn.model_selection import train_test_split
from sklearn.utils.estimator_checks import parametrize_with_checks

import bpnet
from conftest import needs_runtime

pytestmark = needs_runtime

# Plain gradient descent without decay, the rule the tests compare step by step.
SGD = dict(solver="sgd", alpha=0.0, learning_rate_init=0.01)


def checked_estimators():
    return [bpnet.MLPClassifier(), bpnet.MLPRegressor()]


@parametrize_with_checks(checked_estimators())
def test_sklearn_estimator_checks(estimator, check):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        check(estimator)


def iris_split():
    X, y = load_iris(return_X_y=True)
    return train_test_split(X, y, test_size=0.25, random_state=0, stratify=y)


def standard_iris():
    X, y = load_iris(return_X_y=True)
    return (X - X.mean(axis=0)) / X.std(axis=0), y


def test_parameters_are_sklearns():
    # Every parameter of scikit-learn's perceptrons is taken, with its default; bpnet adds only
    # its own few.
    for ours, theirs in ((bpnet.MLPClassifier(), neural_network.MLPClassifier()),
                         (bpnet.MLPRegressor(), neural_network.MLPRegressor())):
        mine, sk = ours.get_params(), theirs.get_params()
        assert set(mine) - set(sk) == {"shortcuts", "scale"}
        assert {k: mine[k] for k in sk} == sk


@pytest.mark.parametrize("seed", range(6))
def test_training_is_sklearns_bit_for_bit_in_float(seed):
    # With the same random_state, unshuffled rows and batches of several rows, plain gradient
    # descent with classical momentum draws scikit-learn's initial weights and takes its steps:
    # the losses and weights agree to float precision, epoch after epoch.
    rng = np.random.default_rng(seed)
    X, y = standard_iris()
    layers = tuple(int(s) for s in rng.integers(2, 9, rng.integers(1, 3)))
    kw = dict(hidden_layer_sizes=layers, activation=["relu", "identity"][seed % 2], solver="sgd", alpha=0.0,
              learning_rate_init=float(rng.uniform(0.005, 0.05)), momentum=float(rng.uniform(0, 0.9)),
              nesterovs_momentum=False, batch_size=int(rng.integers(2, 40)), shuffle=False, max_iter=6,
              random_state=int(rng.integers(1000)))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        if seed < 3:
            ours = bpnet.MLPClassifier(scale=None, **kw).fit(X, y)
            theirs = neural_network.MLPClassifier(**kw).fit(X, y)
        else:
            ours = bpnet.MLPRegressor(scale=None, **kw).fit(X[:, :2], X[:, 2:])
            theirs = neural_network.MLPRegressor(**kw).fit(X[:, :2], X[:, 2:])
    assert np.allclose(ours.loss_curve_, theirs.loss_curve_, rtol=1e-5, atol=1e-6)
    for a, b in zip(ours.coefs_ + ours.intercepts_, theirs.coefs_ + theirs.intercepts_):
        assert a.shape == b.shape and np.allclose(a, b, rtol=1e-4, atol=1e-5)
    for name in ("n_iter_", "t_", "n_layers_", "n_outputs_", "out_activation_", "best_loss_"):
        assert getattr(ours, name) == pytest.approx(getattr(theirs, name), rel=1e-5)


@pytest.mark.parametrize("seed", range(3))
def test_warm_start_and_partial_fit_are_sklearns(seed):
    # A warm-started fit starts a fresh optimizer from the weights (momentum cleared), and
    # partial_fit goes on with it: fits and partial fits in turn follow scikit-learn's.
    rng = np.random.default_rng(seed)
    X, y = standard_iris()
    kw = dict(hidden_layer_sizes=(int(rng.integers(3, 8)),), solver="sgd", alpha=0.0, learning_rate_init=0.02,
              momentum=0.9, nesterovs_momentum=False, batch_size=int(rng.integers(5, 50)), shuffle=False,
              warm_start=True, random_state=seed)
    pair = [bpnet.MLPClassifier(scale=None, **kw), neural_network.MLPClassifier(**kw)]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        for step, epochs in zip(("fit", "partial_fit", "fit", "partial_fit", "partial_fit"), rng.integers(1, 4, 5)):
            for est in pair:
                est.set_params(max_iter=int(epochs))
                getattr(est, step)(X, y)
    ours, theirs = pair
    assert ours.n_iter_ == theirs.n_iter_ and ours.t_ == theirs.t_
    assert np.allclose(ours.loss_curve_, theirs.loss_curve_, rtol=1e-5, atol=1e-6)
    for a, b in zip(ours.coefs_ + ours.intercepts_, theirs.coefs_ + theirs.intercepts_):
        assert np.allclose(a, b, rtol=1e-4, atol=1e-5)


@pytest.mark.parametrize("seed", range(3))
def test_adam_and_decay_follow_sklearn(seed):
    # Adam with the L2 penalty: unshuffled, the losses and weights follow scikit-learn's (the
    # penalty of an epoch is taken from the weights before and after it, where scikit-learn
    # takes them batch by batch, hence the looser bound on the losses).
    X, y = standard_iris()
    kw = dict(hidden_layer_sizes=(6,), alpha=[0.0, 1e-3, 0.1][seed], learning_rate_init=0.01, shuffle=False,
              batch_size=30, max_iter=20, random_state=seed)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        ours = bpnet.MLPClassifier(scale=None, **kw).fit(X, y)
        theirs = neural_network.MLPClassifier(**kw).fit(X, y)
    assert np.allclose(ours.loss_curve_, theirs.loss_curve_, rtol=1e-3)
    for a, b in zip(ours.coefs_ + ours.intercepts_, theirs.coefs_ + theirs.intercepts_):
        assert np.allclose(a, b, rtol=1e-3, atol=1e-4)


def stop_of(curve, tol, patience, max_iter):
    """The epoch count at which scikit-learn's rule on the training loss stops."""
    best, count = np.inf, 0
    for i, loss in enumerate(curve[:max_iter]):
        count = count + 1 if loss > best - tol else 0
        best = min(best, loss)
        if count > patience:
            return i + 1
    return max_iter


@pytest.mark.parametrize("seed", range(4))
def test_stopping_rule_is_sklearns(seed):
    # The fit stops at the first epoch the rule names on its own loss curve, and warns exactly
    # when it runs out of epochs; best_loss_ is the curve's least.
    rng = np.random.default_rng(seed)
    X, y = load_iris(return_X_y=True)
    tol, patience = float(10 ** rng.uniform(-4, -1)), int(rng.integers(1, 5))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        clf = bpnet.MLPClassifier(hidden_layer_sizes=(5,), tol=tol, n_iter_no_change=patience, max_iter=60,
                                  random_state=seed, **SGD).fit(X, y)
    curve = clf.loss_curve_
    assert clf.n_iter_ == len(curve) == stop_of(curve, tol, patience, 60)
    assert clf.loss_ == curve[-1] and clf.best_loss_ == min(curve)
    warned = any(issubclass(w.category, ConvergenceWarning) for w in caught)
    assert warned == (clf.n_iter_ == 60 and stop_of(curve + [np.inf] * 99, tol, patience, 61) > 60)
    assert clf.t_ == clf.n_iter_ * len(X)


def test_early_stopping_keeps_the_best_weights():
    # The validation scores rule the stop, best_loss_ is None, and the weights kept are those
    # of the best epoch: a fit stopped at that epoch ends with the same bits.
    X, y = load_iris(return_X_y=True)
    kw = dict(hidden_layer_sizes=(4,), early_stopping=True, validation_fraction=0.3, n_iter_no_change=3,
              tol=0.0, random_state=5, **SGD)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        long = bpnet.MLPClassifier(max_iter=80, **kw).fit(X, y)
        scores = long.validation_scores_
        assert long.best_loss_ is None and len(scores) == long.n_iter_
        assert long.best_validation_score_ == max(scores)
        best = int(np.argmax(scores)) + 1
        short = bpnet.MLPClassifier(max_iter=best, **kw).fit(X, y)
    for a, b in zip(long.coefs_ + long.intercepts_, short.coefs_ + short.intercepts_):
        assert a.tobytes() == b.tobytes()


def test_verbose_prints_like_sklearn(capsys):
    X, y = load_iris(return_X_y=True)
    clf = bpnet.MLPClassifier(hidden_layer_sizes=(3,), max_iter=4, verbose=True, random_state=0, **SGD)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        clf.fit(X, y)
    lines = capsys.readouterr().out.splitlines()
    assert lines == ["Iteration %d, loss = %.8f" % (i + 1, v) for i, v in enumerate(clf.loss_curve_)]


@pytest.mark.parametrize("activation", ["relu", "identity", "logistic"])
def test_coefs_reproduce_the_outputs(activation):
    # coefs_ and intercepts_ are the network's weights in scikit-learn's shapes: its forward
    # pass written with them in numpy gives the outputs (two classes: two softmax outputs).
    X, y = load_iris(return_X_y=True)
    for labels in (y, y > 0):
        clf = bpnet.MLPClassifier(hidden_layer_sizes=(5, 3), activation=activation, max_iter=3, random_state=1,
                                  **SGD)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ConvergenceWarning)
            clf.fit(X, labels)
        a = (X - clf._offset) * clf._factor
        f = {"relu": lambda v: np.maximum(v, 0), "identity": lambda v: v,
             "logistic": lambda v: 1 / (1 + np.exp(-v))}[activation]
        for i, (w, b) in enumerate(zip(clf.coefs_, clf.intercepts_)):
            a = a @ w + b
            a = f(a) if i + 1 < len(clf.coefs_) else np.exp(a - a.max(axis=1, keepdims=True))
        a /= a.sum(axis=1, keepdims=True)
        assert [w.shape for w in clf.coefs_] == [(4, 5), (5, 3), (3, len(clf.classes_))]
        assert clf.out_activation_ == "softmax" and clf.n_outputs_ == len(clf.classes_) and clf.n_layers_ == 4
        assert np.allclose(clf.predict_proba(X), a, atol=5e-3 if activation == "logistic" else 1e-5)
        assert np.allclose(clf.predict_proba(X).sum(axis=1), 1, atol=1e-6)


def test_same_random_state_same_bits():
    X, y = load_iris(return_X_y=True)
    fits = [bpnet.MLPRegressor(hidden_layer_sizes=(6,), max_iter=3, random_state=rs, **SGD).fit(X[:, :3], X[:, 3])
            for rs in (7, 7, 8)]
    data = [np.array(f.network_.data).tobytes() for f in fits]
    assert data[0] == data[1] != data[2]


def test_sklearn_keywords_just_work():
    # A scikit-learn script's call with every keyword spelled out.
    X_train, X_test, y_train, y_test = iris_split()
    clf = bpnet.MLPClassifier(
        hidden_layer_sizes=(16,), activation="tanh", solver="sgd", alpha=0.0, batch_size=16,
        learning_rate="constant", learning_rate_init=0.05, power_t=0.5, max_iter=300, shuffle=True,
        random_state=0, tol=1e-4, verbose=False, warm_start=False, momentum=0.9, nesterovs_momentum=True,
        early_stopping=True, validation_fraction=0.2, beta_1=0.9, beta_2=0.999, epsilon=1e-8,
        n_iter_no_change=20, max_fun=15000).fit(X_train, y_train)
    assert clf.score(X_test, y_test) >= 0.9
    assert 'unit = "tanh"' in clf._text


def test_refusals_are_clear():
    X, y = load_iris(return_X_y=True)
    for params, words in (({"solver": "lbfgs"}, "lbfgs"), ({"learning_rate": "adaptive"}, "constant"),
                          ({"activation": "softsign"}, "identity, logistic, tanh, relu"),
                          ({"scale": "robust"}, "scale"), ({"max_iter": 0}, "max_iter"),
                          ({"hidden_layer_sizes": (4, 0)}, "hidden_layer_sizes"), ({"momentum": 1.0}, "momentum"),
                          ({"batch_size": 0}, "batch_size"), ({"validation_fraction": 1.0}, "validation_fraction"),
                          ({"n_iter_no_change": 0}, "n_iter_no_change")):
        with pytest.raises(ValueError, match=re.escape(words)):
            bpnet.MLPClassifier(**{**SGD, **params}).fit(X, y)
    with pytest.raises(ValueError, match="multilabel"):
        bpnet.MLPClassifier(**SGD).fit(X, np.c_[y == 0, y == 1].astype(int))


def test_activations_are_unit_kinds():
    # Every activation is a hidden unit kind of the extension's table, and gives its network.
    from bpnet import _bpnet, estimators
    assert estimators.UNITS is _bpnet.HIDDEN_UNIT_KINDS
    assert set(bpnet.UNIT_KINDS) - set(estimators.UNITS) == {"softmax"}
    assert set(estimators.ACTIVATIONS.values()) <= set(estimators.UNITS)
    X, y = load_iris(return_X_y=True)
    for activation, unit in estimators.ACTIVATIONS.items():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ConvergenceWarning)
            reg = bpnet.MLPRegressor(hidden_layer_sizes=(3,), activation=activation, max_iter=1, random_state=0,
                                     **SGD).fit(X, y)
        assert f'unit = "{unit}"' in reg._text and 'unit = "linear"' in reg._text.split("Out")[1]


@pytest.mark.parametrize("shortcuts", [False, True])
def test_classifier_learns_iris(shortcuts):
    X_train, X_test, y_train, y_test = iris_split()
    clf = bpnet.MLPClassifier(hidden_layer_sizes=(8, 4), shortcuts=shortcuts, random_state=3, max_iter=500,
                              **{**SGD, "learning_rate_init": 0.05}).fit(X_train, y_train)
    assert clf.score(X_test, y_test) >= 0.9
    # The network is what the parameters say: each layer fed by the one before, or by all.
    assert clf.network_.layers == [("H1", 8), ("H2", 4), ("Out", 3)]
    assert ('from = ["$INPUTS", "H1", "H2"]' in clf._text) == shortcuts
    assert clf.loss_curve_[-1] < clf.loss_curve_[0]
    # With shortcuts a layer's coefs_ stack its sources' weights in order.
    assert [w.shape[0] for w in clf.coefs_] == ([4, 12, 16] if shortcuts else [4, 8, 4])


def test_regressor_fits_targets_as_they_are():
    # Linear outputs: no squashing, so targets far from [0, 1] are learned, and one target
    # gives 1-D predictions, two give 2-D.
    rng = np.random.default_rng(0)
    X = rng.uniform(-2, 2, (300, 2))
    y = np.sin(X[:, 0]) + 0.5 * X[:, 1] ** 2 + 10.0
    reg = bpnet.MLPRegressor(hidden_layer_sizes=(32,), max_iter=400, batch_size=16, random_state=0,
                             **SGD).fit(X[:200], y[:200])
    assert reg.score(X[200:], y[200:]) > 0.9 and reg.predict(X[200:]).shape == (100,)
    assert reg.out_activation_ == "identity"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        two = bpnet.MLPRegressor(hidden_layer_sizes=(4,), max_iter=2, random_state=0, **SGD).fit(X, np.c_[y, -y])
    assert two.predict(X).shape == (300, 2) and two.n_outputs_ == 2


def test_partial_fit_and_warm_start_go_on():
    # partial_fit is one epoch, never a warning; warm_start continues the epochs' count, the
    # curve and the weights where the last fit left them.
    X, y = load_iris(return_X_y=True)
    clf = bpnet.MLPClassifier(hidden_layer_sizes=(4,), random_state=0, **SGD)
    with warnings.catch_warnings():
        warnings.simplefilter("error", ConvergenceWarning)
        for i in range(3):
            clf.partial_fit(X, y, classes=[0, 1, 2])
            assert clf.n_iter_ == len(clf.loss_curve_) == i + 1 and clf.t_ == (i + 1) * len(X)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        warm = bpnet.MLPClassifier(hidden_layer_sizes=(4,), max_iter=2, warm_start=True, random_state=0, **SGD)
        warm.fit(X, y)
        first = list(warm.loss_curve_)
        warm.fit(X, y)
        assert warm.n_iter_ == 4 and warm.loss_curve_[:2] == first
        cold = bpnet.MLPClassifier(hidden_layer_sizes=(4,), max_iter=2, random_state=0, **SGD).fit(X, y)
        cold.fit(X, y)
        assert cold.n_iter_ == 2 and cold.loss_curve_ == first
        with pytest.raises(ValueError, match="warm_start"):
            warm.fit(X[y < 2], y[y < 2])


def test_stopping_rules_switch_between_calls():
    # partial_fit after a fit with early stopping, and a warm start that turns it on, start
    # the record of the rule they use and train.
    X, y = load_iris(return_X_y=True)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        clf = bpnet.MLPClassifier((4,), max_iter=3, early_stopping=True, warm_start=True, random_state=0, **SGD)
        clf.fit(X, y).partial_fit(X, y)
        assert clf.best_loss_ == clf.loss_curve_[-1] and clf.n_iter_ == 4
        warm = bpnet.MLPClassifier((4,), max_iter=3, warm_start=True, random_state=0, **SGD).fit(X, y)
        warm.set_params(early_stopping=True).fit(X, y)
        assert len(warm.validation_scores_) == 3 and warm.n_iter_ == 6 and np.isfinite(warm.best_loss_)


def test_pickled_estimator_continues_bit_for_bit():
    # The whole state (weights, steps, counter) travels: a partial_fit after a round trip
    # gives the bits of the same partial_fit without one.
    X_train, X_test, y_train, _ = iris_split()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        a = bpnet.MLPClassifier(hidden_layer_sizes=(8,), max_iter=5, random_state=1, **SGD).fit(X_train, y_train)
    b = pickle.loads(pickle.dumps(a))
    assert b.network_ is not a.network_
    assert np.array(b.network_.data).tobytes() == np.array(a.network_.data).tobytes()
    a.partial_fit(X_train, y_train)
    b.partial_fit(X_train, y_train)
    assert np.array(b.network_.data).tobytes() == np.array(a.network_.data).tobytes()
    assert b.loss_curve_ == a.loss_curve_ and len(a.loss_curve_) == 6
    assert np.array_equal(a.predict_proba(X_test), b.predict_proba(X_test))


def test_adam_partial_fit_goes_on_bit_for_bit_after_pickling():
    # Adam's moments take two floats per trainable value of the data and its update count
    # travels with the pickle: partial_fit after a round trip gives the bits it gives without.
    X, y = load_iris(return_X_y=True)
    fits = [bpnet.MLPClassifier(hidden_layer_sizes=(6,), batch_size=32, learning_rate_init=0.01, random_state=3)
            for _ in range(2)]
    for epoch in range(6):
        fits[1] = pickle.loads(pickle.dumps(fits[1])) if epoch in (1, 4) else fits[1]
        for clf in fits:
            clf.partial_fit(X, y, classes=[0, 1, 2])
    sgd = bpnet.MLPClassifier(hidden_layer_sizes=(6,), solver="sgd").partial_fit(X, y).network_
    assert fits[1].network_.data_size - sgd.data_size == 2 * sgd.trainable
    assert [w.tobytes() for w in fits[0].coefs_ + fits[0].intercepts_] == \
        [w.tobytes() for w in fits[1].coefs_ + fits[1].intercepts_] and fits[0].loss_curve_ == fits[1].loss_curve_


def test_fixed_fits_keep_their_bits():
    # Digests of coefs_ and intercepts_ of fixed fits, taken before the weights were placed
    # through Network.blocks and Adam's moments moved into the data; all the dumps' order.
    rs = np.random.RandomState(3)
    X = rs.normal(size=(90, 4))
    y = (X[:, 0] + X[:, 1] * X[:, 2] > 0).astype(int) + (X[:, 3] > 0.5)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        fits = {"c182d317451393d2": bpnet.MLPClassifier((5, 3), shortcuts=True, random_state=0, max_iter=8).fit(X, y),
                "e39f057e732f7bd6": bpnet.MLPClassifier((6,), early_stopping=True, random_state=0,
                                                        max_iter=8).fit(X, y),
                "baf4c1c21a9bc077": bpnet.MLPClassifier((6,), solver="sgd", batch_size=1, random_state=0,
                                                        max_iter=8).fit(X, y)}
    for digest, est in fits.items():
        assert hashlib.sha256(b"".join(a.tobytes() for a in est.coefs_ + est.intercepts_)).hexdigest()[:16] == digest
    net, n = fits["c182d317451393d2"].network_, fits["c182d317451393d2"].network_.trainable
    net.load_ascii("#\n0\n" + "\n".join(map(str, range(1, n + 1))) + "\n\n#\n")
    assert np.array_equal(net.data[fits["c182d317451393d2"]._layout().all], np.arange(1, n + 1))


def test_pickles_of_the_former_estimators_are_refused():
    # The former estimators had epochs and inertia, and a regressor mapped its outputs back
    # from [0.1, 0.9]: unpickled here they would predict wrongly, so they are refused.
    X, y = load_iris(return_X_y=True)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        reg = bpnet.MLPRegressor(hidden_layer_sizes=(3,), max_iter=1, random_state=0, **SGD).fit(X, y)
    state = reg.__getstate__()
    for name in reg.get_params():
        state.pop(name)
    state.update(epochs=1, inertia=0.95, unit="logistic", _y_factor=np.ones(1), _y_offset=np.zeros(1))
    with pytest.raises(ValueError, match="fit it again"):
        bpnet.MLPRegressor().__setstate__(state)


def test_batch_size_reaches_the_network():
    # batch_size 1 is the one-row learning; 'auto' is min(200, rows); a larger batch_size is
    # clipped to the rows with scikit-learn's warning.
    X_train, X_test, y_train, y_test = iris_split()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        auto = bpnet.MLPClassifier(hidden_layer_sizes=(4,), max_iter=2, random_state=2, **SGD).fit(X_train, y_train)
        every = bpnet.MLPClassifier(hidden_layer_sizes=(4,), max_iter=2, batch_size=len(X_train), random_state=2,
                                    **SGD).fit(X_train, y_train)
        assert np.array(auto.network_.data).tobytes() == np.array(every.network_.data).tobytes()
        with pytest.warns(UserWarning, match="clipped"):
            big = bpnet.MLPClassifier(hidden_layer_sizes=(4,), max_iter=2, batch_size=1000, random_state=2,
                                      **SGD).fit(X_train, y_train)
        assert np.array(big.network_.data).tobytes() == np.array(auto.network_.data).tobytes()
    one = bpnet.MLPClassifier(hidden_layer_sizes=(8,), max_iter=200, batch_size=1, random_state=2,
                              **SGD).fit(X_train, y_train)
    assert one.network_.counter > 0 and one.score(X_test, y_test) >= 0.9
