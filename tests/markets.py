"""Random markets for differential tests: OHLC with NaN holes, shuffled
price columns, long and short weights, random schedules and options."""
import numpy as np


def random_market(seed, *, exits=True, max_bars=40, max_stocks=6):
    rng = np.random.default_rng(seed)
    n_bars = int(rng.integers(1, max_bars + 1))
    n_prices = int(rng.integers(1, max_stocks + 1))
    labels = [f"S{i}" for i in range(n_prices)]

    steps = rng.normal(0, 0.04, size=(n_bars, n_prices))
    close = 20 * np.exp(np.cumsum(steps, axis=0))
    open_ = close * np.exp(rng.normal(0, 0.02, size=close.shape))
    high = np.maximum(open_, close) * (1 + np.abs(rng.normal(0, 0.03, size=close.shape)))
    low = np.minimum(open_, close) * (1 - np.abs(rng.normal(0, 0.03, size=close.shape)))
    trade = close * np.exp(rng.normal(0, 0.01, size=close.shape)) if rng.random() < 0.5 else open_.copy()
    for m in (trade, close, high, low, open_):
        holes = rng.random(m.shape) < rng.choice([0.0, 0.05, 0.2])
        m[holes] = np.nan
    # Prices arrive in Fortran order half of the time, as pandas hands them over.
    if rng.random() < 0.5:
        trade, close, high, low, open_ = (np.asfortranarray(m) for m in (trade, close, high, low, open_))

    price_index = np.cumsum(rng.integers(1, 4, size=n_bars)).astype(np.int64) * 10

    # Signal columns: a shuffled subset of the priced labels, plus maybe an
    # unpriced label that is never traded.
    n_sig = int(rng.integers(1, n_prices + 1))
    sig_labels = list(rng.permutation(labels)[:n_sig])
    unpriced = rng.random() < 0.3
    if unpriced:
        sig_labels.append("NOPRICE")
    n_rows = int(rng.integers(1, 6))
    weights = rng.choice([0.0, 0.0, 0.1, 0.25, 0.5, -0.2, -0.5, 1.0], size=(n_rows, len(sig_labels)))
    if rng.random() < 0.3:
        weights = weights * rng.uniform(0.5, 3)
    # Mostly zeros in some markets, as in a top-k signal (the weight scan then
    # lists the nonzero weights of each row), drawn apart so that the rest of
    # a seed's market stays as it was.
    sparse = np.random.default_rng([seed, 1])
    if sparse.random() < 0.4:
        weights[sparse.random(weights.shape) < 0.8] = 0.0
    if unpriced:
        weights[:, -1] = 0.0
    lo, hi = int(price_index[0]) - 20, int(price_index[-1]) + 20
    pos_index = np.sort(rng.integers(lo, hi, size=n_rows)).astype(np.int64)
    n_res = int(rng.integers(0, 8))
    resample = np.sort(rng.integers(lo, hi, size=n_res)).astype(np.int64)
    if rng.random() < 0.5:
        resample = price_index.copy()

    inf = np.inf
    opts = dict(
        fee_ratio=float(rng.choice([0.0, 0.001425, 0.01])),
        tax_ratio=float(rng.choice([0.0, 0.003])),
        position_limit=float(rng.choice([1.0, 0.3, 0.6])),
        retain_cost_when_rebalance=bool(rng.random() < 0.5),
        periodically_rebalance=bool(rng.random() < 0.5),
        stop_trading_next_period=bool(rng.random() < 0.5),
        orbalt_window=int(rng.choice([0, 1, 3, 7])),
        orbalt_window_step=int(rng.choice([1, 2, 3])),
        touched_exit=bool(rng.random() < 0.5),
    )
    if exits:
        opts.update(
            stop_loss=float(rng.choice([inf, 0.02, 0.05, 0.1, 1.0])),
            take_profit=float(rng.choice([inf, 0.03, 0.08, 0.2])),
            trail_stop=float(rng.choice([inf, 0.02, 0.05])),
            trail_stop_activation=float(rng.choice([0.0, 0.02, 0.05])),
        )
        if rng.random() < 0.4:
            bars = rng.integers(-1, n_bars + 2, size=len(sig_labels)).astype(np.int64)
            bars[rng.random(len(sig_labels)) < 0.5] = -1
            opts["delisting_bars"] = bars
    else:
        opts.update(stop_loss=inf, take_profit=inf, trail_stop=inf)

    arrays = (trade, close, high, low, open_, price_index, np.array(labels, dtype=object), weights, pos_index,
              np.array(sig_labels, dtype=object), resample)
    return arrays, opts
