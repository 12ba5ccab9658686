"""The results layer: a run's outcome labelled with the caller's dates and
tickers (``Result``), its statistics, per-bar series, trades, fills and the
next day's orders. It reads the run and data layers; drawing is the views'
(``Result.plot``/``report``/``_repr_html_`` import them when called)."""
