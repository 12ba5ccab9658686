"""Momentum with score-weighted positions on the synthetic market.

Run from the repository root:  python examples/momentum.py [OUT_DIR]

Each month-end the 30 stocks with the best 6-1 month return are held with
weights proportional to that return; exits use a trailing stop that arms
after a 10 % gain, tested intrabar against the highs and lows. Replace the
market with your own DataFrames (dates x tickers) to backtest real data.
"""

import sys

import pandas as pd

import vostra


def main(out_dir: str = "out/example") -> None:
    market = vostra.synthetic_market(n_stocks=200, years=8, seed=42)
    close = market.close

    # Only prices known on the signal date: stale closes bridge suspensions,
    # but a stock without a close today is not eligible.
    filled = close.ffill()
    score = (filled.shift(21) / filled.shift(126) - 1).where(close.notna())
    best = score.rank(axis=1, ascending=False) <= 30
    weights = score.where(best & (score > 0), 0.0)
    weights = weights.div(weights.sum(axis=1).where(lambda s: s > 0, 1.0), axis=0)

    result = vostra.backtest(
        weights, close, market.open, market.high, market.low,
        trade_at="open", rebalance="M", fee=0.001, tax=0.001,
        stop_loss=0.15, trail_stop=0.08, trail_activation=0.10, intrabar=True,
        position_limit=0.1, window=20, window_step=10,
    )
    print(result)
    print()
    winners = result.trades.nlargest(5, "return")
    with pd.option_context("display.width", 120):
        print(winners[["ticker", "entry_date", "exit_date", "return", "mae", "mfe", "mfe_10"]])
    print()
    print(result.orders)
    figures = result.plot(out_dir, prefix="momentum_")
    print("plots:", ", ".join(f"{out_dir}/momentum_{name}.png" for name in figures))


if __name__ == "__main__":
    main(*sys.argv[1:])
