"""The run layer: a backtest's options checked, its inputs turned into the
engine's arguments and the engine called. It reads the data layer only;
the results layer wraps a run's output in a Result."""
