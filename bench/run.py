"""Benchmark of the engine against what its users would otherwise run.

    python bench/run.py                 # all workloads, about 4-5 minutes on 2 cores
    python bench/run.py --quick         # reduced sizes, under a minute (smoke run)
    python bench/run.py --only W1,W5    # a subset
    python bench/run.py --json PATH     # where the results go (default bench/results/latest.json)

Workloads (seeded synthetic markets, see bench/market.py and bench/README.md):
  W1 rebalance   2000 stocks x 4000 bars, top-50 equal weights re-chosen monthly, default fee and tax,
                 no stops, window 0; peers: vectorbt (numba, rust), the NumPy formula
  W2 stops       W1 + intrabar stops (stop loss 0.08, take profit 0.2, trail 0.05 from 0.05, touched exit)
  W3 close-mode  W1 + the same stops in close mode + excursion window 20, step 5
  W4 scaling     bars 1000..16000, stocks 500..8000, holdings 10..500, one at a time, plus weekly and
                 quarterly rows and a run without periodic trade splits; least-squares fit of the cost
                 per held position-bar, per signal cell of a rebalance and per trade record
  W5 small       50 stocks x 1000 bars: the latency of one call; peer: the Python model in tests/

Exit status 1 when any agreement check fails.
"""

from __future__ import annotations

import argparse
import datetime as _dt
import gc
import json
import os
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
if os.path.join(ROOT, "src") not in sys.path:
    sys.path.insert(1, os.path.join(ROOT, "src"))

from market import Market, Signal, synthetic_market, top_k_signal  # noqa: E402
from measure import machine_info, memory, rss_supported, timed  # noqa: E402
import peers  # noqa: E402

NO_STOPS = dict(stop_loss=np.inf, take_profit=np.inf, trail_stop=np.inf)
STOPS = dict(stop_loss=0.08, take_profit=0.2, trail_stop=0.05, trail_stop_activation=0.05)
OPTIONS = {
    "W1": dict(NO_STOPS),
    "W2": dict(STOPS, touched_exit=True),
    "W3": dict(STOPS, touched_exit=False, orbalt_window=20, orbalt_window_step=5),
}

FULL = dict(
    w1=(2000, 4000, 50), w5=(50, 1000, 10),
    bars=[1000, 2000, 4000, 8000, 16000], stocks=[500, 1000, 2000, 4000, 8000],
    holdings=[10, 20, 50, 100, 200, 500],
    reps=dict(engine=11, engine_budget=3.0, w5=300, w5_budget=2.0, model=5, model_budget=3.0, formula=7,
              formula_budget=4.0, vbt=3, vbt_budget=45.0, w4=5, w4_budget=1.5),
    vbt_tracemalloc=True, slice=(60, 600, 10),
)
QUICK = dict(
    w1=(500, 2000, 50), w5=(50, 1000, 10),
    bars=[1000, 2000, 4000], stocks=[250, 500, 1000], holdings=[10, 50, 100],
    reps=dict(engine=5, engine_budget=1.0, w5=100, w5_budget=0.5, model=2, model_budget=1.0, formula=3,
              formula_budget=1.0, vbt=1, vbt_budget=10.0, w4=3, w4_budget=0.5),
    vbt_tracemalloc=False, slice=(40, 400, 8),
)

TARGETS = {
    "W1 speed-up over vectorbt (best engine)": (">=", 20.0),
    "W1 speed-up over the NumPy formula": (">=", 3.0),
    "ns per held position-bar (W4 fit)": ("<=", 15.0),
    "ns per signal cell of a rebalance (W4 fit)": ("<=", 3.0),
    "W5 latency of one call, ms": ("<", 1.0),
    "W1 peak extra memory, % of inputs (max of tracemalloc, RSS)": ("<=", 2.0),
}


def log(*a):
    print(*a, flush=True)


class Checks:
    def __init__(self):
        self.items = []

    def add(self, workload, name, ok, detail):
        self.items.append(dict(workload=workload, name=name, ok=bool(ok), detail=detail))
        log(f"  check {'ok  ' if ok else 'FAIL'} {workload} {name}: {detail}")

    @property
    def failed(self):
        return [c for c in self.items if not c["ok"]]


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and np.array_equal(a, b, equal_nan=True)


def trades_list(orbalt):
    return [[int(x) for x in t] for t in orbalt.trades]


def slice_market(mkt, n_bars=None, n_stocks=None):
    """The first bars / stocks of a market, re-laid in Fortran order."""
    b = slice(None, n_bars)
    s = slice(None, n_stocks)
    f = np.asfortranarray
    return Market(open=f(mkt.open[b, s]), high=f(mkt.high[b, s]), low=f(mkt.low[b, s]), close=f(mkt.close[b, s]),
                  index=mkt.index[b].copy(), columns=mkt.columns[s].copy(), hole_count=mkt.hole_count[b, s])


def result_row(name, t, posbars, in_bytes, mem=None):
    row = dict(name=name, **t)
    row["ns_per_position_bar"] = t["wall_median_s"] * 1e9 / posbars if posbars else None
    if mem is not None:
        row["tracemalloc_peak_extra_bytes"] = mem["tracemalloc_peak_extra_bytes"]
    for k in ("tracemalloc_peak_extra_bytes", "rss_peak_extra_bytes"):
        if row.get(k) is not None:
            row[k.replace("_bytes", "_pct_of_inputs")] = 100.0 * row[k] / in_bytes
    return row


# ---------------------------------------------------------------------------
# W1 - W3
# ---------------------------------------------------------------------------

def run_engine_workload(wl, vantrel, orbalt, mkt, sig, cfg, checks, model=None):
    opts = OPTIONS[wl]
    args = peers.engine_args(mkt, sig)
    in_bytes = mkt.input_bytes(sig.weights, sig.index, sig.resample)
    n_bars = mkt.shape[0]
    first = vantrel.backtest_(*args, **opts)  # warm caches; also the reference output
    first_trades = trades_list(orbalt)
    posbars = peers.held_position_bars_from_trades(first_trades, n_bars)
    r = cfg["reps"]
    t, out = timed(lambda: vantrel.backtest_(*args, **opts), r["engine"], budget=r["engine_budget"], rss=True)
    checks.add(wl, "repeated runs give the same bits", same_bits(out, first) and trades_list(orbalt) == first_trades,
               f"{t['runs']} runs, final value {out[-1]:.6f}, {len(first_trades)} trade records")
    mem = memory(lambda: vantrel.backtest_(*args, **opts))
    res = dict(
        params=dict(stocks=mkt.shape[1], bars=n_bars, holdings=int(np.count_nonzero(sig.weights[0])),
                    signal_rows=sig.weights.shape[0], options={k: (str(v) if isinstance(v, float) and not np.isfinite(v) else v)
                                                               for k, v in opts.items()}),
        input_bytes=in_bytes, held_position_bars=posbars, trade_records=len(first_trades),
        signal_cells=int(sig.weights.size), final_value=float(out[-1]),
        results=[result_row("vostra", t, posbars, in_bytes, mem)],
    )
    if wl == "W1":
        want = peers.held_position_bars_from_signal(sig, n_bars)
        checks.add(wl, "held position-bars: trade log = signal", posbars == want, f"{posbars} vs {want}")
    else:
        rebal_bars = set((sig.bars + 1).tolist())
        stop_exits = sum(1 for _, _, x in first_trades if x >= 0 and x not in rebal_bars)
        checks.add(wl, "stops fire between rebalances", stop_exits > 0, f"{stop_exits} exits off rebalance bars")
        res["stop_exits"] = stop_exits
    if model is not None:
        ss, sb, sk = cfg["slice"]
        small = slice_market(mkt, sb, ss)
        ssig = top_k_signal(small, sk)
        sargs = peers.engine_args(small, ssig)
        got = vantrel.backtest_(*sargs, **opts)
        got_trades = trades_list(orbalt)
        want = model.backtest(*sargs, **opts)
        ok = same_bits(got, want.creturn) and got_trades == want.trades
        checks.add(wl, f"engine = Python model bit for bit on the first {ss} stocks x {sb} bars", ok,
                   f"{len(got_trades)} trade records, final value {got[-1]:.6f}")
    return res


def run_w1_peers(res, vantrel, mkt, sig, cfg, checks, use_vectorbt=True):
    in_bytes = res["input_bytes"]
    posbars = res["held_position_bars"]
    r = cfg["reps"]
    # The NumPy formula.
    t, eq = timed(lambda: peers.numpy_formula(mkt.close, sig.weights, sig.bars), r["formula"],
                  budget=r["formula_budget"], rss=True)
    mem = memory(lambda: peers.numpy_formula(mkt.close, sig.weights, sig.bars))
    res["results"].append(result_row("NumPy formula", t, posbars, in_bytes, mem))
    n = min(1000, mkt.shape[0])
    got, want = peers.daily_close_run(vantrel, mkt, sig, n)
    rel = float(np.max(np.abs(got - want) / np.abs(want)))
    checks.add("W1", "NumPy formula = engine rebalancing daily at the close without costs", rel <= 1e-9,
               f"largest relative difference {rel:.3g} over {n} bars")
    res["formula_vs_engine_daily_max_rel"] = rel
    res["formula_final_value"] = float(eq[-1])

    # vectorbt.
    if not use_vectorbt:
        res["vectorbt"] = "skipped (--no-vectorbt)"
        log("  vectorbt skipped: --no-vectorbt")
        return
    vbt, why, engines = peers.vectorbt_status()
    res["vectorbt"] = why
    if vbt is None:
        log(f"  vectorbt skipped: {why}")
        return
    log(f"  {why}, engines: {', '.join(engines)}")
    ours = vantrel.backtest_(*peers.engine_args(mkt, sig), fee_ratio=0.0, tax_ratio=0.0, **OPTIONS["W1"])
    size = peers.vectorbt_orders(mkt, sig)
    close, price, size = peers.vectorbt_frames(mkt, size)
    for eng in engines:
        name = f"vectorbt {eng}"
        t0 = time.perf_counter()
        try:
            curve = peers.vectorbt_run(vbt, close, price, size, eng)  # warm-up (JIT for numba) and check
        except Exception as exc:
            log(f"  {name} skipped: {type(exc).__name__}: {exc}")
            res.setdefault("skipped", {})[name] = f"{type(exc).__name__}: {exc}"
            continue
        warm = time.perf_counter() - t0
        rel = float(np.max(np.abs(curve - ours) / np.abs(ours)))
        checks.add("W1", f"{name} equity = engine's, fee and tax 0", rel <= 1e-9,
                   f"largest relative difference {rel:.3g} over {ours.size} bars (first call {warm:.1f} s)")
        res[f"{name} max_rel_diff"] = rel
        mem = memory(lambda: peers.vectorbt_run(vbt, close, price, size, eng)) if cfg["vbt_tracemalloc"] else None
        t, curve2 = timed(lambda: peers.vectorbt_run(vbt, close, price, size, eng), r["vbt"], min_repeats=1,
                          budget=r["vbt_budget"], rss=True)
        checks.add("W1", f"{name} timed runs give the checked curve", same_bits(curve2, curve), f"{t['runs']} runs")
        row = result_row(name, t, posbars, in_bytes, mem)
        row["first_call_s"] = warm
        res["results"].append(row)


# ---------------------------------------------------------------------------
# W4
# ---------------------------------------------------------------------------

def w4_point(vantrel, orbalt, mkt, sig, label, cfg, opts=None):
    opts = dict(OPTIONS["W1"], **(opts or {}))
    args = peers.engine_args(mkt, sig)
    vantrel.backtest_(*args, **opts)
    trades = trades_list(orbalt)
    r = cfg["reps"]
    t, _ = timed(lambda: vantrel.backtest_(*args, **opts), r["w4"], budget=r["w4_budget"])
    n_bars = mkt.shape[0]
    pt = dict(label=label, bars=n_bars, stocks=mkt.shape[1], price_cells=int(n_bars * mkt.shape[1]),
              holdings=int(np.count_nonzero(sig.weights[0])),
              rebalances=int(sig.weights.shape[0]), signal_cells=int(sig.weights.size),
              held_position_bars=peers.held_position_bars_from_trades(trades, n_bars), trades=len(trades),
              options={k: v for k, v in (opts or {}).items() if k == "periodically_rebalance"}, **t)
    pb = pt["held_position_bars"]
    pt["ns_per_position_bar"] = pt["wall_median_s"] * 1e9 / pb if pb else None
    log(f"    {label:<24} {pt['wall_median_s'] * 1e3:8.2f} ms  cpu {pt['cpu_median_s'] * 1e3:8.2f} ms  "
        f"pos-bars {pb:>9}  cells {pt['signal_cells']:>9}  trades {pt['trades']:>6}  "
        + (f"{pt['ns_per_position_bar']:6.1f} ns/pos-bar" if pb else "idle"))
    return pt


FIT_TERMS = ("overhead", "bars", "stocks", "held_position_bars", "signal_cells", "trades")


def fit(points, key):
    """Least squares of the time (ns) on the work counts of each run:

        time = c + b*bars + k*stocks + a*held_position_bars + s*signal_cells + t*trades

    `bars` takes the work of a bar with nothing held, `stocks` the per-column
    set-up (label mapping, per-stock arrays); without them that cost would be
    charged to the position-bars and signal cells. The idle runs (every bar
    walked, nothing ever held) pin them down.
    R^2 is that of the unweighted times.
    """
    X = np.array([[1.0] + [float(p[k]) for k in FIT_TERMS[1:]] for p in points])
    y = np.array([p[key] * 1e9 for p in points])
    # Relative errors: the runs span two orders of magnitude, and an idle
    # 0.2 ms run should weigh as much as a 100 ms one.
    coef, *_ = np.linalg.lstsq(X / y[:, None], np.ones_like(y), rcond=None)
    pred = X @ coef
    ss_res = float(np.sum((y - pred) ** 2))
    ss_tot = float(np.sum((y - y.mean()) ** 2))
    worst = float(np.max(np.abs(y - pred) / y))
    return dict(time=key, overhead_us=coef[0] / 1e3, ns_per_bar=coef[1], ns_per_stock=coef[2],
                ns_per_position_bar=coef[3], ns_per_signal_cell=coef[4], ns_per_trade=coef[5],
                r2=1.0 - ss_res / ss_tot if ss_tot else None, worst_rel_residual=worst,
                condition=float(np.linalg.cond(X / X.max(axis=0))))


def idle_signal(mkt):
    """One all-zero row dated at the first bar and no rebalance dates: the
    call sets up, walks every bar and never trades."""
    n = mkt.shape[1]
    return Signal(weights=np.zeros((1, n)), index=mkt.index[:1].copy(), bars=np.array([0]),
                  resample=np.empty(0, dtype=np.int64))


def run_w4(vantrel, orbalt, cfg, checks):
    points = []
    base_stocks, base_bars, base_k = cfg["w1"]
    log(f"  bars sweep ({base_stocks} stocks, top {base_k})")
    big = synthetic_market(base_stocks, max(cfg["bars"]), seed=41)
    for nb in cfg["bars"]:
        m = big if nb == big.shape[0] else slice_market(big, n_bars=nb)
        points.append(w4_point(vantrel, orbalt, m, top_k_signal(m, base_k), f"bars={nb}", cfg))
        points.append(w4_point(vantrel, orbalt, m, idle_signal(m), f"bars={nb} idle", cfg))
        del m
    del big
    gc.collect()
    log(f"  stocks sweep ({base_bars} bars, top {base_k})")
    wide = synthetic_market(max(cfg["stocks"]), base_bars, seed=42)
    for ns in cfg["stocks"]:
        m = wide if ns == wide.shape[1] else slice_market(wide, n_stocks=ns)
        points.append(w4_point(vantrel, orbalt, m, top_k_signal(m, base_k), f"stocks={ns}", cfg))
        points.append(w4_point(vantrel, orbalt, m, idle_signal(m), f"stocks={ns} idle", cfg))
        del m
    del wide
    gc.collect()
    log(f"  holdings sweep ({base_stocks} stocks x {base_bars} bars) and schedule variants")
    m = synthetic_market(base_stocks, base_bars, seed=43)
    for k in cfg["holdings"]:
        points.append(w4_point(vantrel, orbalt, m, top_k_signal(m, k), f"holdings={k}", cfg))
    for every in ("W", "Q"):
        points.append(w4_point(vantrel, orbalt, m, top_k_signal(m, base_k, every=every), f"rows every {every}", cfg))
    points.append(w4_point(vantrel, orbalt, m, top_k_signal(m, base_k), "no periodic trade split", cfg,
                           dict(periodically_rebalance=False)))
    del m
    gc.collect()
    fits = {key: fit(points, key) for key in ("wall_median_s", "cpu_median_s")}
    for key, f in fits.items():
        log(f"  fit on {key}: {f['ns_per_position_bar']:.2f} ns/position-bar, {f['ns_per_signal_cell']:.2f} ns/signal "
            f"cell, {f['ns_per_trade']:.0f} ns/trade record; {f['ns_per_bar']:.0f} ns/bar, "
            f"{f['ns_per_stock']:.0f} ns/stock, {f['overhead_us']:.0f} us/call; R^2 {f['r2']:.4f}, "
            f"worst residual {100 * f['worst_rel_residual']:.1f}%, condition {f['condition']:.0f}")
    nb_points = [p for p in points if p["label"].startswith("bars=") and p["held_position_bars"]]
    spread = [p["ns_per_position_bar"] for p in nb_points]
    checks.add("W4", "fit explains the timings", fits["cpu_median_s"]["r2"] > 0.9,
               f"R^2 {fits['cpu_median_s']['r2']:.4f} (CPU), {fits['wall_median_s']['r2']:.4f} (wall); ns/pos-bar over "
               f"the bars sweep {min(spread):.1f}..{max(spread):.1f}")
    return dict(points=points, fit=fits)


# ---------------------------------------------------------------------------
# W5
# ---------------------------------------------------------------------------

def run_w5(vantrel, orbalt, model, cfg, checks):
    ns, nb, k = cfg["w5"]
    mkt = synthetic_market(ns, nb, seed=5)
    sig = top_k_signal(mkt, k)
    args = peers.engine_args(mkt, sig)
    opts = OPTIONS["W1"]
    in_bytes = mkt.input_bytes(sig.weights, sig.index, sig.resample)
    first = vantrel.backtest_(*args, **opts)
    first_trades = trades_list(orbalt)
    posbars = peers.held_position_bars_from_trades(first_trades, nb)
    r = cfg["reps"]
    t, out = timed(lambda: vantrel.backtest_(*args, **opts), r["w5"], budget=r["w5_budget"], rss=True)
    mem = memory(lambda: vantrel.backtest_(*args, **opts))
    res = dict(params=dict(stocks=ns, bars=nb, holdings=k, signal_rows=sig.weights.shape[0]), input_bytes=in_bytes,
               held_position_bars=posbars, trade_records=len(first_trades), signal_cells=int(sig.weights.size),
               final_value=float(out[-1]), results=[result_row("vostra", t, posbars, in_bytes, mem)])
    checks.add("W5", "repeated runs give the same bits", same_bits(out, first), f"{t['runs']} runs")
    if model is None:
        return res
    t, want = timed(lambda: model.backtest(*args, **opts), r["model"], min_repeats=1, budget=r["model_budget"])
    ok = same_bits(first, want.creturn) and first_trades == want.trades
    checks.add("W5", "engine = Python model bit for bit", ok,
               f"{len(first_trades)} trade records, final value {first[-1]:.6f} vs {want.creturn[-1]:.6f}")
    mem = memory(lambda: model.backtest(*args, **opts))
    res["results"].append(result_row("Python model", t, posbars, in_bytes, mem))
    return res


# ---------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------

def fmt_bytes_pct(row, key):
    v = row.get(key + "_pct_of_inputs")
    b = row.get(key + "_bytes")
    if v is None or b is None:
        return "-"
    return f"{b / 2**20:.1f}M {v:.2f}%"


def print_table(report):
    head = (f"{'workload':<9} {'implementation':<15} {'wall ms':>10} {'cpu ms':>10} {'runs':>4} {'x vostra':>9} "
            f"{'x (cpu)':>8} {'ns/pos-bar':>10} {'tracemalloc':>14} {'RSS':>14}")
    lines = [head, "-" * len(head)]
    for wl in ("W1", "W2", "W3", "W5"):
        w = report["workloads"].get(wl)
        if not w:
            continue
        base = w["results"][0]
        for row in w["results"]:
            ratio = row["wall_median_s"] / base["wall_median_s"]
            cratio = row["cpu_median_s"] / base["cpu_median_s"]
            npb = row.get("ns_per_position_bar")
            lines.append(
                f"{wl:<9} {row['name']:<15} {row['wall_median_s'] * 1e3:>10.3f} {row['cpu_median_s'] * 1e3:>10.3f} "
                f"{row['runs']:>4} {ratio:>9.1f} {cratio:>8.1f} {npb if npb is None else format(npb, '.1f'):>10} "
                f"{fmt_bytes_pct(row, 'tracemalloc_peak_extra'):>14} {fmt_bytes_pct(row, 'rss_peak_extra'):>14}")
    w4 = report["workloads"].get("W4")
    if w4:
        for key, f in w4["fit"].items():
            lines.append(f"W4 fit ({key.split('_')[0]}): {f['ns_per_position_bar']:.2f} ns/held position-bar, "
                         f"{f['ns_per_signal_cell']:.2f} ns/signal cell, {f['ns_per_trade']:.0f} ns/trade record "
                         f"(+ {f['ns_per_bar']:.0f} ns/bar, {f['ns_per_stock']:.0f} ns/stock, "
                         f"{f['overhead_us']:.0f} us/call), R^2 {f['r2']:.4f}")
    print("\n".join(lines))


def targets(report):
    out = {}
    wls = report["workloads"]
    w1 = wls.get("W1")
    if w1:
        rows = {r["name"]: r for r in w1["results"]}
        ours, ours_cpu = rows["vostra"]["wall_median_s"], rows["vostra"]["cpu_median_s"]
        vb = [(r["wall_median_s"], r["cpu_median_s"]) for n, r in rows.items() if n.startswith("vectorbt")]
        if vb:
            out["W1 speed-up over vectorbt (best engine)"] = (min(v[0] for v in vb) / ours,
                                                              min(v[1] for v in vb) / ours_cpu)
        if "NumPy formula" in rows:
            f = rows["NumPy formula"]
            out["W1 speed-up over the NumPy formula"] = (f["wall_median_s"] / ours, f["cpu_median_s"] / ours_cpu)
        v = rows["vostra"]
        mems = [v.get("tracemalloc_peak_extra_pct_of_inputs"), v.get("rss_peak_extra_pct_of_inputs")]
        mems = [m for m in mems if m is not None]
        if mems:
            out["W1 peak extra memory, % of inputs (max of tracemalloc, RSS)"] = max(mems)
    if wls.get("W4"):
        f, fc = wls["W4"]["fit"]["wall_median_s"], wls["W4"]["fit"]["cpu_median_s"]
        out["ns per held position-bar (W4 fit)"] = (f["ns_per_position_bar"], fc["ns_per_position_bar"])
        out["ns per signal cell of a rebalance (W4 fit)"] = (f["ns_per_signal_cell"], fc["ns_per_signal_cell"])
    if wls.get("W5"):
        r = wls["W5"]["results"][0]
        out["W5 latency of one call, ms"] = (r["wall_median_s"] * 1e3, r["cpu_median_s"] * 1e3)
    res = {}
    for name, value in out.items():
        value, cpu = value if isinstance(value, tuple) else (value, None)
        op, goal = TARGETS[name]
        met = value >= goal if op == ">=" else value <= goal if op == "<=" else value < goal
        res[name] = dict(value=value, goal=f"{op} {goal:g}", met=bool(met))
        if cpu is not None:
            res[name]["cpu_value"] = cpu
    return res


def engine_build(vantrel, orbalt):
    """Which native build was measured: the working tree's build changes under us."""
    import hashlib

    out = {}
    for mod in (vantrel, orbalt):
        path = os.path.realpath(mod.__file__)
        with open(path, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()[:16]
        mtime = _dt.datetime.fromtimestamp(os.path.getmtime(path)).astimezone().isoformat(timespec="seconds")
        out[mod.__name__] = dict(path=path, sha256_16=digest, mtime=mtime)
    return out


def git_state():
    try:
        head = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=ROOT, capture_output=True, text=True,
                              timeout=10).stdout.strip()
        dirty = subprocess.run(["git", "status", "--porcelain", "--untracked-files=no"], cwd=ROOT,
                               capture_output=True, text=True, timeout=10).stdout.strip()
        return dict(commit=head, dirty=bool(dirty))
    except Exception:
        return None


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="reduced sizes and repeats (smoke run, under a minute)")
    ap.add_argument("--only", default="W1,W2,W3,W4,W5", help="comma-separated workloads, e.g. W1,W5")
    ap.add_argument("--json", default=os.path.join(HERE, "results", "latest.json"), help="where to write results")
    ap.add_argument("--no-vectorbt", action="store_true", help="skip the vectorbt peer")
    ap.add_argument("--no-model", action="store_true", help="skip the Python model checks and timing")
    a = ap.parse_args(argv)
    only = {w.strip().upper() for w in a.only.split(",") if w.strip()}
    unknown = only - {"W1", "W2", "W3", "W4", "W5"}
    if unknown:
        ap.error(f"unknown workloads: {', '.join(sorted(unknown))}")
    cfg = QUICK if a.quick else FULL

    from vostra.core import orbalt, vantrel

    model = None if a.no_model else peers.load_model()
    started = time.perf_counter()
    machine = machine_info()
    log(f"vostra bench {'(quick: reduced sizes, not comparable with the targets) ' if a.quick else ''}"
        f"on {machine.get('cpu', '?')}, {machine['cpus']} cpus, load {machine.get('load_average')}")
    build = engine_build(vantrel, orbalt)
    b = build["vostra.core.vantrel"]
    log(f"engine: {b['path']} (sha256 {b['sha256_16']}, built {b['mtime']})")
    if not rss_supported():
        log("RSS peaks unavailable (no /proc/self/clear_refs): reported as -")
    checks = Checks()
    report = dict(date=_dt.datetime.now().astimezone().isoformat(timespec="seconds"), quick=a.quick,
                  machine=machine, git=git_state(), engine_build=build, numpy=np.__version__, workloads={})

    if only & {"W1", "W2", "W3"}:
        ns, nb, k = cfg["w1"]
        t0 = time.perf_counter()
        mkt = synthetic_market(ns, nb, seed=1)
        sig = top_k_signal(mkt, k)
        log(f"market {ns} stocks x {nb} bars, {sig.weights.shape[0]} monthly rows of top {k}, "
            f"{100 * np.isnan(mkt.close).mean():.1f}% NaN, built in {time.perf_counter() - t0:.1f} s")
        for wl in ("W1", "W2", "W3"):
            if wl not in only:
                continue
            log(f"{wl}:")
            res = run_engine_workload(wl, vantrel, orbalt, mkt, sig, cfg, checks, model)
            if wl == "W1":
                run_w1_peers(res, vantrel, mkt, sig, cfg, checks, use_vectorbt=not a.no_vectorbt)
            report["workloads"][wl] = res
        del mkt, sig
        gc.collect()
    if "W4" in only:
        log("W4:")
        report["workloads"]["W4"] = run_w4(vantrel, orbalt, cfg, checks)
    if "W5" in only:
        log("W5:")
        report["workloads"]["W5"] = run_w5(vantrel, orbalt, model, cfg, checks)

    report["targets"] = targets(report)
    report["checks"] = checks.items
    report["elapsed_s"] = time.perf_counter() - started
    report["machine"]["load_average_end"] = os.getloadavg()

    print()
    print_table(report)
    print()
    if a.quick:
        print("targets below are for orientation only: --quick runs reduced sizes")
    for name, t in report["targets"].items():
        cpu = f", on CPU time {t['cpu_value']:.3g}" if "cpu_value" in t else ""
        print(f"target {'met    ' if t['met'] else 'not met'} {name}: {t['value']:.3g} (goal {t['goal']}){cpu}")
    print(f"checks: {len(checks.items) - len(checks.failed)} passed, {len(checks.failed)} failed; "
          f"{report['elapsed_s']:.0f} s; load average at the end {report['machine']['load_average_end']}")
    os.makedirs(os.path.dirname(os.path.abspath(a.json)), exist_ok=True)
    with open(a.json, "w") as f:
        json.dump(report, f, indent=1, default=_json_default)
    print(f"results written to {a.json}")
    return 1 if checks.failed else 0


def _json_default(o):
    if isinstance(o, np.generic):
        return o.item()
    if isinstance(o, np.ndarray):
        return o.tolist()
    raise TypeError(type(o).__name__)


if __name__ == "__main__":
    sys.exit(main())
