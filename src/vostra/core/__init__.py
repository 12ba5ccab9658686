"""Native core of vostra: the backtest engine ``vantrel`` and the excursion
recorder ``orbalt``."""
