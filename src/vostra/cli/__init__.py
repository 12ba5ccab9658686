"""The command line: ``vostra demo`` and ``vostra backtest`` (also
``python -m vostra``). It may use every layer of the package."""

from .main import main

__all__ = ["main"]
