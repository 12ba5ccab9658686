"""Native entry of the front end: backtests as NumPy arrays, thread-safe,
without module state (the interpreter lock is released while a run
simulates)."""

from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

EXIT_REASONS: tuple[str, ...]
"""Names of the ``trades["reason"]`` codes: rebalance, stop_loss,
take_profit, trail_stop, delisting, open."""

class RunResult(NamedTuple):
    equity: npt.NDArray[np.float64]
    """Portfolio value at every bar: the curve ``backtest_`` returns."""
    trades: dict[str, np.ndarray]
    """Per-trade columns in the recorder's row order (closed trades in exit
    order, then the open ones by stock id): ``sid``, ``entry_bar``,
    ``exit_bar`` (-1 open), ``fill_entry_bar``, ``fill_exit_bar``, ``weight``,
    ``entry_price``, ``exit_price`` (the fills, after slippage: the
    share-weighted mean of the fills that built or closed the record; a
    sale before its close keeps the entry, the cost per share), ``pnl``
    (in the currency of ``capital``, or units of the starting capital, net
    of the fee, tax and borrow fees charged to the trade; open trades marked
    at the last close), ``return`` (pnl over the target value at entry),
    ``shares`` (signed shares the record held when it ended; NaN without
    the account options) and ``reason`` (index into EXIT_REASONS)."""
    excursions: npt.NDArray[np.float64]
    """trades x groups x 6: the recorder's excursion arrays, one per row."""
    traded: npt.NDArray[np.float64]
    costs: npt.NDArray[np.float64]
    gross: npt.NDArray[np.float64]
    holdings: npt.NDArray[np.int32]
    report: dict[str, Any]
    first_rebalance: int
    """Bar of the first executed rebalance that traded, -1 when none."""
    entry_order: npt.NDArray[np.int64]
    """Positions of the trade rows sorted by entry fill bar, then stock id
    (stable): the order of ``Result.trades``."""
    interest: npt.NDArray[np.float64]
    """Interest earned (negative: paid) on the cash per bar, with ``cash_rate``."""
    shares: npt.NDArray[np.float64] | None
    fills: dict[str, npt.NDArray[Any]] | None
    orders: dict[str, npt.NDArray[Any]] | None
    """Every order of an account run: ``bar``, ``sid``, ``target`` (shares),
    ``shares`` (the change asked for), ``price`` (the trading price then),
    ``reason`` and ``cut`` (the cash cut the purchase short, which ended it)."""
    waiting: npt.NDArray[np.int64] | None
    dividends: npt.NDArray[np.float64]
    """Dividends per bar: received (negative: paid by shorts) in cash with
    capital, else reinvested in the holdings."""
    flows: npt.NDArray[np.float64]
    """Cash deposited (negative: withdrawn) per bar, with ``cash_flows``."""
    """Shares held per signal column after the last bar; None without the
    account options."""
    final: dict[str, Any]
    """The account after the last bar: per stock id of the position map
    (flat ones included) ``sid``, ``value`` (carried at the last trading
    price), ``marked`` (at the last close, as the equity), ``cr``, ``maxcr``,
    ``mincr`` (cumulative return since entry at the trading price, its
    running maximum and minimum) and ``reference_price`` (the trading price
    the next bar's return is taken from), ``mark`` (int8: the EXIT_REASONS
    code of a close-mode mark to be sold on the next bar, -1 for none); then
    ``cash`` and
    ``rebalance_due`` (the next bar rebalances)."""

def run(price_values: Any, close_values: Any, high_values: Any, low_values: Any, open_values: Any,
        price_index: Any, price_columns: Any, pos_values: Any, pos_index: Any, pos_columns: Any,
        resample: Any, *, capital: float | None = None, lot_size: Any = None, min_fee: float = 0.0,
        slippage: float = 0.0, leverage: float = 1.0, borrow_rate: float = 0.0, cash_rate: float = 0.0,
        periods_per_year: float = 252.0, credit_gaps: bool = False, rebase_stops: bool = False,
        weight_scan: WeightScan | None = None, **options: Any) -> RunResult:
    """One backtest with the options of ``backtest_``; the account options
    (a number or one per signal column for ``lot_size``) simulate an account
    in currency, and at their defaults the run is ``backtest_``'s.
    ``credit_gaps`` (the front end's runs; always so in an account) keeps a
    holding without a price on a rebalance bar, with its last price, and
    sells a delisting without a price at its last mark.
    ``rebase_stops`` (the front end's runs), in an account with
    ``retain_cost_when_rebalance``: a fill that adds to a position on its
    side (a purchase into a long, a sale into a short) measures the stops
    from the trade record's new entry, the mean of the fills that built it;
    the best and worst prices since the entry are kept, so a trailing stop
    stays ``trail_stop`` x entry below the best price.
    ``weight_scan``, the scan :func:`scan_weights` made of this very
    ``pos_values`` array (unchanged since), spares the run its own pass."""

def run_many(price_values: Any, close_values: Any, high_values: Any, low_values: Any, open_values: Any,
             price_index: Any, price_columns: Any, pos_values: Any, pos_index: Any, pos_columns: Any,
             resample: Any, *, jobs: list[dict[str, Any]], threads: int = 0, return_exceptions: bool = False,
             **options: Any) -> list[RunResult | BaseException]: ...

def last_valid_rows(matrix: npt.NDArray[np.float64], columns: npt.NDArray[np.int64] | None = None, /
                    ) -> npt.NDArray[np.int64]:
    """Per column of a 2-D float64 matrix (or per column listed in
    ``columns``), the last row that is not NaN (-1 for none), read from the
    end of each column."""

def held_last_rows(close: npt.NDArray[np.float64], price_col: npt.NDArray[np.int64],
                   traded: npt.NDArray[np.bool_], market_end: int = -1, /
                   ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.int64],
                              npt.NDArray[np.int64], int]:
    """For every weight column ``traded`` marks, the last row of its close
    column ``price_col[j]`` that is not NaN (``last``, per close column, -1
    for none and for the columns not asked for); the marked weight columns
    without a close column (``unknown``) and those whose closes are all NaN
    (``empty``); per weight column the row after its last close when that
    comes before ``market_end``, else -1 (``delisting``), and how many
    columns that delists."""

def volume_fault(matrix: npt.NDArray[np.float64], columns: npt.NDArray[np.int64] | None = None,
                 /) -> tuple[int, int] | None:
    """``(row, column)`` of the first value of a 2-D float64 volume matrix
    (in the ``columns`` given only, when given) that is negative or
    infinite (the first in its memory order); None when every value read is
    >= 0 or NaN."""

def heavy_rows(weights: npt.NDArray[np.float64], bound: float, /) -> tuple[int, int, float]:
    """``(count, first, sum)``: of the rows of a 2-D float64 weight matrix
    whose absolute weights add up to more than ``bound`` (a finite sum)
    and that hold a weight whose magnitude is not 1, how many there are, the
    first (-1 for none) and what it adds up to."""

def weight_columns(matrix: npt.NDArray[np.float64], /) -> npt.NDArray[np.bool_] | None:
    """Per column of a 2-D float64 weight matrix, whether any row gives it a
    nonzero weight; None when some weight is NaN or infinite, or a row's
    absolute weights add up beyond the largest float."""

class WeightScan:
    """The opaque scan of one weight matrix that :func:`scan_weights` returns."""

def scan_weights(matrix: npt.NDArray[np.float64], /) -> tuple[npt.NDArray[np.bool_], WeightScan] | None:
    """``(traded, scan)``: ``traded`` as :func:`weight_columns` gives it and
    the whole pass, with each row's nonzero weights, for :func:`run` and
    :func:`run_many` to take as ``weight_scan`` with this same array as
    ``pos_values``; None when some weight is NaN or infinite, or a row's
    absolute weights add up beyond the largest float."""

def trade_figures(entry_order: npt.NDArray[np.int64], exit_bar: npt.NDArray[np.int64],
                  entry_bar: npt.NDArray[np.int64], returns: npt.NDArray[np.float64],
                  excursions: npt.NDArray[np.float64], averages: bool = False, /
                  ) -> tuple[dict[str, float], npt.NDArray[np.float64] | None, npt.NDArray[np.float64] | None]:
    """The trade figures of a run's statistics from its ledger columns: a dict
    of ``trades`` and, over the closed trades, ``win_rate`` and
    ``avg_holding_bars`` (figures without a value are left out); then the
    closed trades' MAE and MFE at the exit, in ``entry_order``. With
    ``averages`` (and at most 8192 closed trades) the dict also holds
    ``avg_mae`` and ``avg_mfe``, averaged as the statistics average them,
    and the MAE and MFE are None."""

def window_figures(equity: npt.NDArray[np.float64], first: int, periods_per_year: float,
                   traded: npt.NDArray[np.float64] | None, holdings: npt.NDArray[Any] | None,
                   dates: npt.NDArray[np.int64] | None, risk_free: float, /) -> dict[str, float]:
    """The statistics of an equity curve that need neither its trades nor a
    benchmark, in the bits of :mod:`vostra.stats`: ``equity`` the whole curve
    (at most 8192 values from the window's anchor on), ``first`` the
    window's first bar, ``traded`` the traded value on the window's bars,
    ``holdings`` the positions on the return bars, ``dates`` the wall-clock
    nanoseconds of the window's values (each None for none). Figures without
    a value are left out."""

def printed_figures(keys: tuple[str, ...], equity: npt.NDArray[np.float64], first: int,
                    periods_per_year: float, traded: npt.NDArray[np.float64] | None,
                    holdings: npt.NDArray[Any] | None, dates: npt.NDArray[np.int64] | None, risk_free: float,
                    entry_order: npt.NDArray[np.int64], exit_bar: npt.NDArray[np.int64],
                    entry_bar: npt.NDArray[np.int64], returns: npt.NDArray[np.float64],
                    excursions: npt.NDArray[np.float64], /
                    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64] | None,
                               npt.NDArray[np.float64] | None]:
    """:func:`window_figures` and :func:`trade_figures` (with the averages) in
    one call, as a float64 array laid out as ``keys`` (NaN for a figure
    without a value); then the closed trades' MAE and MFE in entry order
    when more than 8192 of them are to be averaged, else None and None."""

def weights_after_delisting(weights: npt.NDArray[np.float64], delisting_bars: npt.NDArray[np.int64],
                            price_ns: npt.NDArray[np.int64], pos_ns: npt.NDArray[np.int64], /) -> bool:
    """Whether any column ``j`` with a delisting bar ``b = delisting_bars[j] >= 0``
    has a nonzero weight on a row dated at or after ``price_ns[max(b - 1, 0)]``,
    its last price bar."""

def first_nonpositive(values: npt.NDArray[np.float64], /) -> int:
    """The first position of ``values`` (1-D float64) at or below 0 (NaN is
    not), -1 for none."""

def resampled_figures(returns: npt.NDArray[np.float64], starts: npt.NDArray[np.int64],
                      lengths: npt.NDArray[np.int64], ends: npt.NDArray[np.int64], periods_per_year: float,
                      risk_free: float, threads: int, /) -> npt.NDArray[np.float64]:
    """The figures of ``vostra.results.confidence.CONFIDENCE_KEYS`` (columns)
    of many series made of blocks of ``returns`` (all 1-D, C-contiguous):
    sample s is the blocks ``ends[s - 1] .. ends[s] - 1`` (from 0 for the
    first), block b the ``lengths[b]`` returns from bar ``starts[b]`` on,
    reading on from bar 0 past the last; ``risk_free`` is the rate of one
    bar. Computed on ``threads`` threads without the interpreter lock."""

def stationary_figures(returns: npt.NDArray[np.float64], starts: npt.NDArray[np.int64],
                       draws: npt.NDArray[np.float64], rate: float, periods_per_year: float, risk_free: float,
                       threads: int, /) -> npt.NDArray[np.float64]:
    """The figures of :func:`resampled_figures` for stationary bootstrap
    samples as drawn: rows (samples x blocks, C-contiguous) of block starts
    and exponential draws, a block lasting ``ceil(draw / rate)`` bars (at
    least 1) until the sample has as many bars as ``returns``; a
    RuntimeError if a row's blocks fall short."""

def pbo_logits(sums: npt.NDArray[np.float64], squares: npt.NDArray[np.float64], shift: npt.NDArray[np.float64],
               n: int, threads: int, /) -> npt.NDArray[np.float64]:
    """The logits of combinatorially symmetric cross-validation, one per
    way of taking half of the blocks in sample (lexicographic order of its
    blocks): the out-of-sample rank of the best in-sample Sharpe ratio, from
    per-block sums and sums of squares (blocks x trials, C-contiguous) of
    the returns less ``shift``, ``n`` bars to a half; on ``threads`` threads
    without the interpreter lock."""

def return_figures(values: npt.NDArray[np.float64], dates: npt.NDArray[np.int64] | None,
                   periods_per_year: float, /) -> dict[str, float]:
    """The figures of the bar returns of ``values`` (a window's equity,
    anchor first, finite and positive but for the last) shown below the statistics' summary;
    with ``dates`` (wall-clock nanoseconds of the values) also the calendar
    months and years and the trailing periods. Figures without a value are
    left out."""
