#!/usr/bin/python3
"""The digits and iris data sets through a scikit-learn pipeline: the inputs standardized by
scikit-learn's StandardScaler, then bpnet.MLPClassifier (one hidden layer of 32 units, the
rest scikit-learn's defaults: relu, adam, up to 200 epochs), scored by 5-fold cross-validation
with cross_val_score.

Usage: examples/python/pipeline.py [digits|iris]...   (both by default)
"""
import sys
import time
import warnings

from sklearn.datasets import load_digits, load_iris
from sklearn.exceptions import ConvergenceWarning
from sklearn.model_selection import cross_val_score
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

import bpnet

SETS = {"digits": load_digits, "iris": load_iris}


def main(argv):
    names = argv[1:] or list(SETS)
    if any(n not in SETS for n in names):
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 1
    # On iris, scikit-learn's default 200 epochs of one batch each end before its stopping
    # rule does; the scores are what this example shows.
    warnings.simplefilter("ignore", ConvergenceWarning)
    for name in names:
        X, y = SETS[name](return_X_y=True)
        # The scaler is the pipeline's, so the estimator's own scaling is off.
        model = make_pipeline(StandardScaler(), bpnet.MLPClassifier(hidden_layer_sizes=(32,), scale=None,
                                                                    random_state=0))
        start = time.perf_counter()
        scores = cross_val_score(model, X, y, cv=5)
        elapsed = time.perf_counter() - start
        print(f"{name}: 5-fold accuracy {100 * scores.mean():.2f}% (+/- {100 * scores.std():.2f}), "
              f"folds {', '.join(f'{100 * s:.1f}' for s in scores)}; {elapsed:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
