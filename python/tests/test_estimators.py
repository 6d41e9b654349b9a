"""bpnet.MLPClassifier and bpnet.MLPRegressor: scikit-learn's own estimator checks, and what
those checks do not look at: learning real data, shortcuts, partial_fit and pickling state."""
import pickle

import numpy as np
import pytest
from sklearn.datasets import load_iris
from sklearn.model_selection import train_test_split
from sklearn.utils.estimator_checks import parametrize_with_checks

import bpnet
from conftest import needs_runtime

pytestmark = needs_runtime


@parametrize_with_checks([bpnet.MLPClassifier(), bpnet.MLPRegressor()])
def test_sklearn_estimator_checks(estimator, check):
    check(estimator)


def iris_split():
    X, y = load_iris(return_X_y=True)
    return train_test_split(X, y, test_size=0.25, random_state=0, stratify=y)


@pytest.mark.parametrize("shortcuts", [False, True])
def test_classifier_learns_iris(shortcuts):
    X_train, X_test, y_train, y_test = iris_split()
    clf = bpnet.MLPClassifier(hidden_layer_sizes=(8, 4), shortcuts=shortcuts, random_state=3).fit(X_train, y_train)
    assert clf.score(X_test, y_test) >= 0.9
    # The network is what the parameters say: each layer fed by the one before, or by all.
    assert clf.network_.layers == [("H1", 8), ("H2", 4), ("Out", 3)]
    assert ('from = ["$INPUTS", "H1", "H2"]' in clf._text) == shortcuts
    assert len(clf.loss_curve_) == 100 and clf.loss_curve_[-1] < clf.loss_curve_[0]


def test_regressor_fits_a_smooth_function():
    rng = np.random.default_rng(0)
    X = rng.uniform(-2, 2, (300, 2))
    y = np.sin(X[:, 0]) + 0.5 * X[:, 1] ** 2 + 10.0
    reg = bpnet.MLPRegressor(epochs=200, random_state=0).fit(X[:200], y[:200])
    assert reg.score(X[200:], y[200:]) > 0.9


def test_pickled_estimator_continues_bit_for_bit():
    # The whole state (weights, steps, counter) travels: a partial_fit after a round trip
    # gives the bits of the same partial_fit without one.
    X_train, X_test, y_train, _ = iris_split()
    a = bpnet.MLPClassifier(epochs=5, random_state=1).fit(X_train, y_train)
    b = pickle.loads(pickle.dumps(a))
    assert b.network_ is not a.network_
    assert np.array(b.network_.data).tobytes() == np.array(a.network_.data).tobytes()
    a.partial_fit(X_train, y_train)
    b.partial_fit(X_train, y_train)
    assert np.array(b.network_.data).tobytes() == np.array(a.network_.data).tobytes()
    assert b.loss_curve_ == a.loss_curve_ and len(a.loss_curve_) == 6
    assert np.array_equal(a.predict_proba(X_test), b.predict_proba(X_test))


def test_bad_parameters_are_refused_at_fit():
    X, y = load_iris(return_X_y=True)
    for params in ({"unit": "softsign"}, {"order": "random"}, {"scale": "robust"}, {"epochs": 0},
                   {"hidden_layer_sizes": (4, 0)}, {"inertia": 1.0}, {"batch_size": 0}):
        with pytest.raises(ValueError):
            bpnet.MLPClassifier(**params).fit(X, y)


def test_unit_kinds_are_the_extensions():
    # The estimators take their hidden layers' unit kinds from the extension, which lists the
    # library's table less the output-only kinds: every such kind fits a network, and a refused
    # kind's message lists them all.
    from bpnet import _bpnet, estimators
    assert estimators.UNITS is _bpnet.HIDDEN_UNIT_KINDS
    assert bpnet.UNIT_KINDS is _bpnet.UNIT_KINDS
    assert set(bpnet.UNIT_KINDS) - set(estimators.UNITS) == {"softmax"}
    X, y = load_iris(return_X_y=True)
    for unit in estimators.UNITS:
        reg = bpnet.MLPRegressor(hidden_layer_sizes=(3,), unit=unit, epochs=1, random_state=0).fit(X, y)
        assert f'unit = "{unit}"' in reg._text
    with pytest.raises(ValueError, match=", ".join(estimators.UNITS)):
        bpnet.MLPClassifier(unit="softsign").fit(X, y)


def test_batch_size_reaches_the_network():
    # batch_size 1 is the one-row learning; larger batches learn one update per batch, and
    # still learn iris.
    X_train, X_test, y_train, y_test = iris_split()
    one = bpnet.MLPClassifier(epochs=3, random_state=2).fit(X_train, y_train)
    also_one = bpnet.MLPClassifier(epochs=3, batch_size=1, random_state=2).fit(X_train, y_train)
    assert np.array(one.network_.data).tobytes() == np.array(also_one.network_.data).tobytes()
    batched = bpnet.MLPClassifier(epochs=300, batch_size=8, learning_rate=1.0, random_state=2).fit(X_train, y_train)
    assert len(batched.loss_curve_) == 300 and batched.network_.counter > 0
    assert batched.score(X_test, y_test) >= 0.9
