"""The command's output files: their paths checked before anything is read,
every table rendered in memory, then each file written to a temporary file
in its folder and renamed into place, so that a failure or an interrupt
leaves the files that were there before as they were."""

from __future__ import annotations

import json
import math
import os
import signal
import tempfile
import threading
from collections.abc import Callable, Iterable, Mapping
from contextlib import contextmanager
from pathlib import Path
from typing import Any, Iterator

import numpy as np
import pandas as pd

from .messages import InputError

TABLES = (".csv", ".parquet", ".json")
OUTPUTS = ("html", "orders", "trades", "stats")

# A text cell starting with one of these is run as a formula by a
# spreadsheet that opens the CSV file.
_FORMULA = ("=", "+", "-", "@", "\t", "\r")


def output_paths(given: Mapping[str, str | None], inputs: Iterable[tuple[str, str]]) -> dict[str, Path]:
    """The output files asked for (``given``: output name -> path or None),
    refused when a name does not say the format, the folder does not exist,
    the path is a folder, or it is one of the ``inputs`` (flag, path), lies
    inside an input folder or is another output's."""
    paths: dict[str, Path] = {}
    for name in OUTPUTS:
        value = given.get(name)
        if value is None:
            continue
        path = Path(value)
        flag = f"--{name} {value}"
        if name != "html" and path.suffix.lower() not in TABLES:
            raise InputError(f"{flag}: the file name must end in .csv, .parquet or .json")
        if path.is_dir():
            raise InputError(f"{flag}: is a folder")
        if not path.parent.is_dir():
            raise InputError(f"{flag}: the folder {path.parent} does not exist")
        for other, before in paths.items():
            if _same(path, before):
                raise InputError(f"{flag}: the same file as --{other} {given[other]}")
        for what, source in inputs:
            source_path = Path(source)
            if _same(path, source_path):
                raise InputError(f"{flag}: the same file as the input {what} {source}; "
                                 f"write the {name} elsewhere")
            if source_path.is_dir() and _within(path, source_path):
                raise InputError(f"{flag}: inside the input folder {what} {source}; "
                                 f"write the {name} elsewhere")
        paths[name] = path
    return paths


def _same(a: Path, b: Path) -> bool:
    """Whether two paths name one file: the same path once links are
    followed, or (for files that exist) the same file, a hard link too."""
    if a.resolve() == b.resolve():
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:  # one of them does not exist
        return False


def _within(path: Path, folder: Path) -> bool:
    return folder.resolve() in path.resolve().parents


# --------------------------------------------------------------------------
# Rendering
# --------------------------------------------------------------------------

def _plain(value: Any) -> Any:
    """A cell as JSON: numbers exact, NaN and NaT null, dates ISO 8601."""
    if value is None or value is pd.NaT:
        return None
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        return float(value) if math.isfinite(value) else None
    if isinstance(value, (pd.Timestamp, np.datetime64)):
        stamp = pd.Timestamp(value)
        return None if pd.isna(stamp) else stamp.isoformat()
    if isinstance(value, pd.Timedelta):
        return value.isoformat()
    try:
        if pd.isna(value):
            return None
    except (TypeError, ValueError):
        pass
    return str(value) if not isinstance(value, str) else value


def plain(value: Any) -> Any:
    """Nested dicts and lists of cells as JSON values."""
    if isinstance(value, Mapping):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    return _plain(value)


def json_text(value: Any) -> str:
    return json.dumps(plain(value), indent=1, allow_nan=False, ensure_ascii=False) + "\n"


def escape_formulas(frame: pd.DataFrame) -> pd.DataFrame:
    """The frame with a leading apostrophe on every text cell that a
    spreadsheet would run as a formula; numbers, dates and other text are
    left as they are."""
    out = frame.copy()
    for name in out.columns:
        column = out[name]
        if not (pd.api.types.is_object_dtype(column) or pd.api.types.is_string_dtype(column)):
            continue
        out[name] = column.map(lambda v: "'" + v if isinstance(v, str) and v.startswith(_FORMULA) else v)
    return out


def stats_frame(stats: pd.Series) -> pd.DataFrame:
    """The statistics as a table of two columns, ``statistic`` and ``value``."""
    return pd.DataFrame({"statistic": stats.index.astype(str), "value": stats.to_numpy(dtype=np.float64)})


def jsonable_attrs(attrs: Mapping[str, Any]) -> dict[str, Any]:
    """A frame's attrs as JSON values (dates as ISO 8601): Parquet keeps
    them in its metadata as JSON."""
    return plain(attrs)


def table_writer(frame: pd.DataFrame, suffix: str, *, records: Any = None) -> Callable[[Path], None]:
    """A writer of ``frame`` to a file of the format ``suffix``, without an
    index column: CSV with formula cells escaped, Parquet with the frame's
    attrs in its metadata, JSON as ``records`` (default: a list of rows)."""
    if suffix == ".json":
        text = json_text(frame.to_dict(orient="records") if records is None else records)
        return lambda path: path.write_text(text, encoding="utf-8")
    if suffix == ".csv":
        text = escape_formulas(frame).to_csv(index=False, lineterminator="\n")
        return lambda path: path.write_text(text, encoding="utf-8", newline="")
    plain_frame = pd.DataFrame({c: frame[c] for c in frame.columns})
    plain_frame.attrs = jsonable_attrs(frame.attrs)
    return lambda path: plain_frame.to_parquet(path, index=False)


def text_writer(text: str) -> Callable[[Path], None]:
    return lambda path: path.write_text(text, encoding="utf-8")


# --------------------------------------------------------------------------
# Writing
# --------------------------------------------------------------------------

def write_all(writers: Mapping[str, tuple[Path, Callable[[Path], None]]]) -> None:
    """Write every output: each to a temporary file in its folder, then, once
    all are written, each renamed over its path. A failure (a full disk, a
    file-size limit, an interrupt) removes the temporary files and leaves
    every output as it was."""
    staged: list[tuple[Path, Path]] = []
    try:
        for name, (path, write) in writers.items():
            target = path.resolve()
            try:
                handle, temporary = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.", suffix=".tmp")
                os.close(handle)
                staged.append((Path(temporary), target))
                write(Path(temporary))
                os.chmod(temporary, _mode(target))
            except OSError as exc:
                raise InputError(f"--{name} {path}: cannot be written ({exc.strerror or exc})") from None
        with _interrupts_held():
            for temporary, target in staged:
                os.replace(temporary, target)
            staged.clear()
    finally:
        for temporary, _ in staged:
            try:
                os.unlink(temporary)
            except OSError:
                pass


def _mode(target: Path) -> int:
    """The permissions of the file replaced, or those a new file gets."""
    try:
        return target.stat().st_mode & 0o7777
    except OSError:
        mask = os.umask(0)
        os.umask(mask)
        return 0o666 & ~mask


@contextmanager
def _interrupts_held() -> Iterator[None]:
    """Ctrl-C held back while the outputs are renamed into place, so that
    they are all replaced or none is; raised once they are."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    caught: list[int] = []
    previous = signal.signal(signal.SIGINT, lambda number, frame: caught.append(number))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
    if caught:
        raise KeyboardInterrupt
