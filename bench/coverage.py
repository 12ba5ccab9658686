"""Coverage of the bootstrap intervals of the Sharpe ratio on simulated
autocorrelated returns whose true Sharpe ratio is known.

    PYTHONPATH=src python bench/coverage.py                 # 1,000 series
    PYTHONPATH=src python bench/coverage.py --series 200    # a quicker look

Each series is AR(1) returns r_t = mu + phi (r_{t-1} - mu) + e_t with
e_t ~ N(0, sigma^2), started from its stationary distribution, so its Sharpe
ratio is mu sqrt(1 - phi^2) / sigma a bar (times sqrt(252) a year). For each
series the 95 % interval of ``vostra.results.confidence.confidence_table``
(what ``Result.confidence`` computes on a result's bar returns) is taken
with the stationary block bootstrap (the block length estimated as arch
does) and with the i.i.d. bootstrap, and the share of series whose interval
holds the true value is printed for the percentile and BCa intervals, with
the binomial standard error of the share. Goal (issue 42): the block
bootstrap's 95 % interval covers in 93-97 % of series.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src"))

from vostra.results.confidence import confidence_table  # noqa: E402


def ar1(n: int, phi: float, mu: float, sigma: float, rng: np.random.Generator) -> np.ndarray:
    e = rng.standard_normal(n) * sigma
    r = np.empty(n)
    r[0] = mu + e[0] / math.sqrt(1 - phi * phi)
    for t in range(1, n):
        r[t] = mu + phi * (r[t - 1] - mu) + e[t]
    return r


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--series", type=int, default=1000)
    ap.add_argument("--bars", type=int, default=2000)
    ap.add_argument("--samples", type=int, default=2000)
    ap.add_argument("--phi", type=float, default=0.3)
    ap.add_argument("--sharpe", type=float, default=1.0, help="true annual Sharpe ratio")
    ap.add_argument("--seed", type=int, default=2024)
    a = ap.parse_args()
    sigma = 0.01
    mu = a.sharpe / math.sqrt(252) * sigma / math.sqrt(1 - a.phi ** 2)
    truth = mu * math.sqrt(1 - a.phi ** 2) / sigma * math.sqrt(252)
    rng = np.random.default_rng(a.seed)
    methods = ("stationary", "iid")
    kinds = (("low", "high"), ("bca_low", "bca_high"))
    covered = {(m, k[0]): 0 for m in methods for k in kinds}
    blocks = []
    started = time.perf_counter()
    for _ in range(a.series):
        r = ar1(a.bars, a.phi, mu, sigma, rng)
        for method in methods:
            table = confidence_table(r, 252.0, statistics=["sharpe"], method=method, samples=a.samples,
                                     seed=rng)
            if method == "stationary":
                blocks.append(table.attrs["block"])
            for low, high in kinds:
                covered[method, low] += bool(table.at["sharpe", low] <= truth <= table.at["sharpe", high])
    seconds = time.perf_counter() - started
    print(f"{a.series} AR(1) series of {a.bars} bars, phi {a.phi}, true annual Sharpe ratio {truth:.3f}; "
          f"{a.samples} bootstrap samples each; mean block {np.mean(blocks):.2f} bars "
          f"({seconds:.0f} s, load average {os.getloadavg()[0]:.2f})")
    se = math.sqrt(0.95 * 0.05 / a.series) * 100
    for method in methods:
        for low, _ in kinds:
            share = covered[method, low] / a.series * 100
            name = "percentile" if low == "low" else "BCa"
            goal = ""
            if method == "stationary":
                goal = f"   (goal 93-97 %: {'met' if 93 <= share <= 97 else 'not met'})"
            print(f"  {method:<10} {name:<10} 95 % interval covers in {share:5.1f} % (+- {se:.1f}){goal}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
