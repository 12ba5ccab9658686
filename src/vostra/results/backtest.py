"""``vostra.backtest``: one run of the engine on pandas frames, its warnings
issued at the caller's line and its outcome wrapped in a Result."""

from __future__ import annotations

import warnings
from collections.abc import Mapping
from typing import Any

import pandas as pd

from .._native import load_engine
from ..data.delisting import Delisting
from ..data.market import Market
from ..data.schedule import Rebalance
from ..run.backtest import call_engine, prepare_run, run_notes
from .result import Result, build_result
from .stats import first_nonpositive

__all__ = ["backtest", "run_backtest", "ruin_message"]


def backtest(weights: Any, close: Market | pd.DataFrame, open: pd.DataFrame | None = None,
             high: pd.DataFrame | None = None, low: pd.DataFrame | None = None, *,
             trade_at: str | pd.DataFrame = "close", rebalance: Rebalance = "M",
             fee: float = 0.001425, tax: float = 0.003, stop_loss: float | None = None,
             take_profit: float | None = None, trail_stop: float | None = None,
             trail_activation: float = 0.0, intrabar: bool = False,
             position_limit: float = 1.0, retain_cost: bool | None = None,
             stop_trading: bool = True, window: int = 0, window_step: int = 1,
             delisting: Delisting = "auto", split_trades: bool | None = None,
             periods_per_year: float | None = None, capital: float | None = None,
             lot_size: int | Mapping[Any, int] | pd.Series | None = None, min_fee: float = 0.0,
             slippage: float = 0.0, leverage: float = 1.0, borrow_rate: float = 0.0,
             cash_rate: float = 0.0, volume: pd.DataFrame | None = None,
             max_volume_share: float | None = None, price_limit: float | None = None,
             blocked: pd.DataFrame | None = None, dividends: pd.DataFrame | None = None,
             splits: pd.DataFrame | None = None, cash_flows: pd.Series | None = None,
             dividend_tax: float = 0.0) -> Result:
    """Backtest target weights against daily prices.

    The portfolio starts with a capital of 1.0 (or ``capital``). When a new row of ``weights``
    is in force at a scheduled bar, the engine rebalances to it on the next
    bar at that bar's trading price, then marks every position to the close.

    Parameters
    ----------
    weights
        Target weights, dates × tickers. Positive is long, negative short;
        a row whose absolute weights add up to more than 1 (``leverage``) is
        scaled down to it, a smaller row leaves the rest in cash. Missing (NaN) weights count
        as 0. A **bool** frame means equal weights among the True cells of
        each row. A row dated ``t`` is decided on the last bar at or before
        ``t`` and traded on the bar after it. The same weights may come as a
        Series indexed by (date, ticker), a long table with ``date``,
        ``ticker`` and ``weight`` columns (pandas, polars or pyarrow; a bool
        ``weight`` column means equal weights) or a dict of date -> Series;
        a date without rows there has no signal, and a ticker without a row
        on a date given has weight 0.
    close, open, high, low
        A :class:`vostra.Market` (whose open, high and low fill those not
        given), or prices as wide frames, dates × tickers, with the same
        dates (open/high/low are put into the column order of ``close``).
        NaN marks a missing price (a suspension): a held stock keeps its
        value until it trades again. ``open``, ``high`` and ``low`` default
        to ``close``; they matter for ``trade_at="open"`` and for intrabar
        stops.
    trade_at
        ``"close"``, ``"open"`` or a DataFrame of trading prices.
    rebalance
        When the portfolio may rebalance. A calendar frequency (``"D"``,
        ``"W"``, ``"W-FRI"``, ``"M"``, ``"Q"``, ``"Y"``; ``"ME"``/``"QE"``/``"YE"``
        are accepted too) decides on the last bar of every period; the final
        period counts only when the prices reach its last business day. A
        list of dates decides on the last bar at or before each date. ``None``
        decides on every signal date whose row changes a weight: a row that
        repeats the one before it is no rebalance, so a daily signal trades
        (and keeps its stops) as the same signal listed on its changes.
    fee, tax
        Fee charged on every trade's value and tax charged in addition on
        sales that reduce or close a position (fractions below 1; above 0.05
        they draw a warning).
    stop_loss, take_profit
        Exit a position when it has lost / gained this fraction of its entry
        value (``None``: no such exit). Fractions: 0.1 is 10 %; a
        ``stop_loss`` of 1 or more, or a ``take_profit`` of 10 or more, draws
        a warning. The entry these (and the trailing stop) are measured from
        is the entry of the position's trade record: by default
        (``retain_cost=True``) a position held on the same side is one record
        and its stops are measured from its entry for as long as it is held;
        with ``capital``, a fill that adds to it (a purchase into a long, a
        sale into a short) moves the record's entry to the mean of its fills
        (its average cost) and the stops with it, so buying 100 at 100 and
        100 more at 60 puts an 8 % stop below 73.6, not 92 (a sale that
        trims it moves neither); the trailing stop keeps the best (worst)
        price reached since the first entry and stays ``trail_stop`` x the
        new entry below (above) it, its activation too measured from the new
        entry. With ``split_trades=True`` a position kept through a
        rebalance starts a new record and its stops restart from its value
        there.
    trail_stop, trail_activation
        Exit when the cumulative return falls ``trail_stop`` below its best
        level (above its worst for shorts), once the position has gained
        ``trail_activation``.
    intrabar
        True: stops are tested against each bar's open, high and low and
        filled at the stop level (or the open, if it gapped through). False:
        the close is tested and the exit happens at the next bar's trading
        price.
    position_limit
        Largest absolute weight of one stock.
    retain_cost
        Keep a held stock's cumulative return (and so its stop levels)
        through rebalances that keep it on the same side. Defaults to the
        opposite of ``split_trades`` (True when neither is given).
    stop_trading
        Keep a stock stopped out since the last rebalance out of the next one.
    window, window_step
        Besides the exit group, record excursion metrics every
        ``window_step`` bars over the first ``window`` bars of every trade
        (columns ``mae_<k>``, ``mfe_<k>``, ... for bar offset ``k``).
    delisting
        ``"auto"``: a stock whose close is NaN from some bar to the end, while
        other stocks still have prices on two bars or more after its last, is
        delisted on the bar after its last valid close: a held position is
        closed there at its last value (with fee and tax; with ``capital``,
        at the close it was last marked at), and weights dated
        on or after its last price bar are set to 0 (with a warning when they
        are dated after the delisting bar). A stock without a close on the
        last bar alone is not taken as delisted: it is held at its last close
        and the orders keep it ("no price on the last bar"). With a
        :class:`vostra.Market` whose ``delisted`` was given, those dates are
        the delistings instead (see :meth:`vostra.Market.stated_delisting`).
        A mapping ``{ticker: date}`` delists on the first bar at or after each
        date. ``None`` disables delisting.
    split_trades
        Record a held position as a new trade at every rebalance. Defaults to
        the opposite of ``retain_cost`` (False when neither is given), so that
        each record's stops are measured from that record's entry; giving
        both with the same value draws a warning that says what the stops
        are measured from.
    periods_per_year
        Annualisation factor of the statistics; by default inferred from the
        dates (252 for daily bars, 52 weekly, 12 monthly, 4 quarterly, 1 yearly).
        The financing rates are divided by it too.
    capital
        The starting capital in currency. With it the equity, the trades'
        ``pnl``, the costs and the interest are in currency, and the account
        rules below apply (fees out of cash, sales before purchases, no
        purchase beyond the cash); the statistics read returns and keep
        their meaning. ``None``: the normalised account of 1.0.
    lot_size
        Positions in whole lots (needs ``capital``): a number of shares for
        every ticker, or a mapping / Series by ticker. A target is its value
        over the trading price, rounded toward zero to whole lots; a
        purchase is cut by whole lots until the cash pays for it with its
        costs. ``1`` means whole shares. The trade log's ``shares`` column
        gives the shares of every trade. Without lots, a target within a
        rounding (1e-12 relative) of the holding makes no fill. A holding
        without a trading price on a rebalance bar is not traded there: it
        keeps its shares and its last price, so its move across the gap
        counts when it trades again (the normalised account's runs carry it
        the same way). A target beyond 2**53 shares, which a float cannot
        count in whole lots, raises ValueError naming the ticker and the
        date.
    min_fee
        Least fee of one fill, in currency (needs ``capital``): each fill
        pays ``max(fee * filled value, min_fee)``, plus the tax on sales,
        every partial fill of an order that waits included. A sale whose
        proceeds fall short of its minimum fee takes the cash below 0 by the
        difference (the one way a long book at leverage 1 borrows).
    slippage
        Fraction of the trading price lost on every fill, stop fills
        included: buys fill at ``price * (1 + slippage)``, sales at
        ``price * (1 - slippage)``; fee and tax are charged on the filled
        value, and ``entry_price``/``exit_price`` are these fills. Target
        shares are the target value over the trading price, not the fill
        price: with slippage a purchase costs a little more than its target
        value (the cash cuts it, shown as ``cut`` in ``fills``, when it must).
    leverage
        Rows whose absolute weights add up to more than ``leverage`` are
        scaled down to it; above 1 the cash may go negative, down to
        ``(1 - leverage) * balance`` at a rebalance.
    borrow_rate, cash_rate
        Annual rates: every bar, each short pays its value at the previous
        close × ``borrow_rate / periods_per_year`` (in its trade's ``pnl``)
        and the cash of the previous close earns (or, below 0, pays)
        ``cash_rate / periods_per_year``, reported per bar in
        ``Result.interest`` (from the second bar on, the bars before the
        first signal included). Then ``trades["pnl"].sum() +
        result.interest.sum()`` equals the final equity minus the capital.
    volume, max_volume_share
        Volume caps (need ``capital``): on every bar the shares filled for a
        ticker are at most ``max_volume_share × volume`` of that bar, rounded
        down to whole lots. ``volume`` is a frame of shares traded per bar
        (dates × tickers; a missing date or NaN fills nothing), by default the
        volume of a :class:`vostra.Market` given as ``close``.
    price_limit
        A daily price limit as a fraction of the previous close (needs
        ``capital``): nothing is bought at a trading price at or above
        ``previous close × (1 + price_limit)`` nor sold (exits and stops
        included, delisting sales excepted) at or below ``previous close ×
        (1 - price_limit)``, with a relative tolerance of 1e-9.
    blocked
        A bool frame, dates × tickers (needs ``capital``): nothing fills for a
        ticker on a True cell (a missing cell is False).
    dividends, splits
        Events on raw prices, frames of dates × tickers dated on the
        ex-date (NaN: none): cash per share, and new shares per old share
        (2 for 2:1, 1.5 for 3:2, 0.1 for a 1:10 reverse split). By default
        those of a :class:`vostra.Market` given as ``close`` (False: not
        those). They apply to
        what was held at the previous close, at the bar's open. With
        ``capital`` a long receives shares × dividend in cash (less
        ``dividend_tax``), a short pays it; a split multiplies the shares
        and leaves the value, the stops and the price limit's reference
        where they were, and a fraction of a lot it leaves over is paid in
        cash at that bar's close. Without ``capital`` a dividend enters the
        holding's return as ``(price + dividend) / previous price`` and a
        split as ``price × ratio / previous price``: the run on raw prices
        is the total-return run. Do not give them with prices already
        adjusted for them.
    cash_flows
        Deposits (+) and withdrawals (−) of cash by date (a Series, needs
        ``capital``), added to the cash at the bar's open. A withdrawal
        beyond the cash sells the long holdings pro rata at that bar's
        trading price (whole lots, costs charged) unless the bar
        rebalances. The statistics read time-weighted returns, so a
        deposit is no gain; ``Result.flows`` gives the flows per bar.
    dividend_tax
        The share of a long's cash dividends withheld (a fraction in
        [0, 1)).

        Under these limits the part of an order that cannot fill waits: it
        is retried on every following bar at that bar's trading price until
        it fills, the next rebalance replaces it, or (a purchase) the stock
        is delisted; a stop or take-profit exit that cannot fill waits the
        same way (its first part, if any, fills at the stop's price), and
        while a whole sale waits its holding's stops are not tested again.
        An intrabar stop into a locked bar whose close lies inside the limit
        fills at that close. A flip the cap stops at flat waits for its other
        side. A purchase leaves the cash that a waiting cover still needs (its
        buy-back with costs, and its value again, the part of the leverage
        the short still takes). A purchase cut by the cash ends its order. A position built or closed
        over several bars stays one trade record: its entry (exit) price is
        the share-weighted average of its fills, its entry (exit) date the
        first (last) fill. ``Result.fills`` lists every fill,
        ``Result.pending`` the orders still waiting after the last bar, and
        the statistics add ``filled`` (the share of ordered value that
        filled) and ``fill_delay`` (the mean bars from order to fill).

    Returns
    -------
    Result
        ``equity``, ``trades``, ``operations``, ``stats`` and the plots.

    Raises
    ------
    TypeError
        Inputs that are not DataFrames with a DatetimeIndex, non-numeric values.
    ValueError
        Unsorted or duplicate dates, duplicate tickers, weights for tickers
        missing from ``close`` or without any price, infinite weights,
        non-positive or infinite prices, mismatched price frames, bad options.
    """
    return run_backtest(locals(), stacklevel=3)


def run_backtest(call: dict[str, Any], stacklevel: int = 2) -> Result:
    """The run of :func:`backtest` for the arguments ``call`` (every
    parameter by name); its warnings point ``stacklevel`` frames up, at the
    user's line for a caller that passes its own depth."""
    arguments, context = prepare_run(**call)
    for message in context["warnings"]:
        warnings.warn(message, UserWarning, stacklevel=stacklevel)
    run = call_engine(arguments, context)
    for note in run_notes(run, context):
        warnings.warn(note, UserWarning, stacklevel=stacklevel)
    result = build_result(run, context)
    # The usual case told by the engine, without the Series or a NumPy reduction.
    if load_engine().first_nonpositive(run.equity) >= 0:
        ruin = ruin_message(result.equity)
        if ruin is not None:
            warnings.warn(ruin, UserWarning, stacklevel=stacklevel)
    return result


def ruin_message(equity: pd.Series) -> str | None:
    """The warning for an equity curve that falls to 0 or below, naming the date."""
    ruin = first_nonpositive(equity)
    if ruin is None:
        return None
    return (f"the portfolio's equity falls to {equity.loc[ruin]:.6g} on {ruin}, at or "
            f"below 0; returns after that date are undefined and so are the statistics "
            f"built on them (NaN)")
