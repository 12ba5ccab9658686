"""Portfolio estimators that need nothing beyond NumPy: equal weight,
inverse volatility and the top N by a score. They follow scikit-learn's
estimator convention (constructor arguments kept as given, ``get_params`` /
``set_params``, ``fit(X)`` setting ``weights_``), so ``sklearn.base.clone``
copies them and a walk-forward grid names their parameters, without
scikit-learn being imported here.

``X`` is the returns of a window, observations × assets (a DataFrame or an
array); missing returns (NaN) are left out of each asset's figures.
"""

from __future__ import annotations

import copy
import inspect
from collections.abc import Callable
from typing import Any

import numpy as np

__all__ = ["EqualWeight", "InverseVolatility", "TopN", "clone"]


class PortfolioEstimator:
    """Base of the estimators here: scikit-learn's ``BaseEstimator``
    convention, parameters read from ``__init__``'s signature."""

    @classmethod
    def _param_names(cls) -> list[str]:
        names = cls.__dict__.get("_names")
        if names is None:   # read once per class: clones ask on every fit
            signature = inspect.signature(cls.__init__)
            names = [name for name, p in signature.parameters.items()
                     if name != "self" and p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD)]
            cls._names = names
        return names

    def get_params(self, deep: bool = True) -> dict[str, Any]:
        return {name: getattr(self, name) for name in self._param_names()}

    def set_params(self, **params: Any) -> PortfolioEstimator:
        valid = self._param_names()
        for name, value in params.items():
            if name not in valid:
                raise ValueError(f"{type(self).__name__} has no parameter {name!r}; "
                                 f"its parameters are {', '.join(valid) or 'none'}")
            setattr(self, name, value)
        return self

    def __repr__(self) -> str:
        given = [f"{name}={value!r}" for name, value in self.get_params().items()
                 if value is not _default(type(self), name)]
        return f"{type(self).__name__}({', '.join(given)})"

    def _returns(self, X: Any) -> np.ndarray:
        # A frame's own conversion: asarray would probe it for array attributes,
        # each a lookup among its columns.
        to_numpy = getattr(type(X), "to_numpy", None)
        values = to_numpy(X, dtype=np.float64) if to_numpy is not None else np.asarray(X, dtype=np.float64)
        if values.ndim != 2:
            raise ValueError(f"X must be returns, observations × assets; got {values.ndim} dimension(s)")
        if values.shape[1] == 0:
            raise ValueError("X has no assets")
        self.n_features_in_ = values.shape[1]
        return values


def _default(cls: type, name: str) -> Any:
    return inspect.signature(cls.__init__).parameters[name].default


class EqualWeight(PortfolioEstimator):
    """The same weight, 1 / assets, on every asset of the window."""

    def __init__(self) -> None:
        pass

    def fit(self, X: Any, y: Any = None) -> EqualWeight:
        n = self._returns(X).shape[1]
        self.weights_ = np.full(n, 1.0 / n)
        return self


class InverseVolatility(PortfolioEstimator):
    """Weights in proportion to 1 / the standard deviation of each asset's
    returns (``ddof`` degrees of freedom), summing to 1. An asset whose
    returns do not vary in the window (or that has fewer than ``ddof + 1``
    of them) gets no weight; none that varies is an error."""

    def __init__(self, ddof: int = 1) -> None:
        self.ddof = ddof

    def fit(self, X: Any, y: Any = None) -> InverseVolatility:
        values = self._returns(X)
        missing = np.isnan(values)
        if not missing.any():
            usable = np.full(values.shape[1], len(values) > self.ddof)
            variance = values.var(axis=0, ddof=self.ddof) if usable.any() else np.zeros(values.shape[1])
        else:
            counts = len(values) - missing.sum(axis=0)
            usable = counts > self.ddof
            mean = np.divide(np.where(missing, 0.0, values).sum(axis=0), counts,
                             out=np.zeros(values.shape[1]), where=counts > 0)
            squares = (np.where(missing, 0.0, values - mean) ** 2).sum(axis=0)
            variance = np.divide(squares, counts - self.ddof, out=np.zeros(values.shape[1]), where=usable)
        usable &= variance > 0
        if not usable.any():
            raise ValueError("no asset's returns vary in the window: inverse volatility has no weights")
        inverse = np.zeros(values.shape[1])
        inverse[usable] = 1.0 / np.sqrt(variance[usable])
        self.volatility_ = np.where(usable, np.sqrt(variance), np.nan)
        self.weights_ = inverse / inverse.sum()
        return self


def total_return(X: np.ndarray) -> np.ndarray:
    """Each asset's compounded return over the window (missing returns
    count as 0): the default score of :class:`TopN`."""
    return np.prod(1.0 + np.nan_to_num(X, nan=0.0), axis=0) - 1.0


class TopN(PortfolioEstimator):
    """Equal weights on the ``n`` assets with the highest score (all of
    them when there are fewer); ``score(X)`` gives one number per asset
    (NaN: never chosen), by default the compounded return over the window
    (momentum). Ties go to the first asset in the window's order."""

    def __init__(self, n: int = 10, score: Callable[[np.ndarray], Any] | None = None) -> None:
        self.n = n
        self.score = score

    def fit(self, X: Any, y: Any = None) -> TopN:
        if int(self.n) < 1:
            raise ValueError(f"n must be at least 1, got {self.n!r}")
        values = self._returns(X)
        scores = np.asarray((self.score or total_return)(X if self.score is not None else values),
                            dtype=np.float64).reshape(-1)
        if len(scores) != values.shape[1]:
            raise ValueError(f"score gave {len(scores)} values for {values.shape[1]} assets")
        ranked = [k for k in np.argsort(-scores, kind="stable") if not np.isnan(scores[k])]
        chosen = ranked[:int(self.n)]
        weights = np.zeros(values.shape[1])
        if chosen:
            weights[chosen] = 1.0 / len(chosen)
        self.scores_ = scores
        self.weights_ = weights
        return self


def clone(estimator: Any) -> Any:
    """A fresh copy of an estimator with the same parameters and no fitted
    state: rebuilt from ``get_params`` for the estimators here (without
    loading scikit-learn), scikit-learn's ``clone`` for the others (it knows
    pipelines and nested estimators) where it is installed."""
    if not isinstance(estimator, PortfolioEstimator):
        try:
            from sklearn.base import clone as sklearn_clone
        except ImportError:
            pass
        else:
            return sklearn_clone(estimator)
    params = {k: copy.deepcopy(v) for k, v in estimator.get_params(deep=False).items()}
    return type(estimator)(**params)
