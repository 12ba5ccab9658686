"""The run layer: a backtest's options checked, its inputs turned into the
engine's arguments, the engine called and its output wrapped in a Result."""
