"""The demo command end to end, and the synthetic market it runs on."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from matplotlib.image import imread

import vostra
from vostra.run.arguments import prepare
from support import child_env

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def run_cli(*args: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    env = child_env(MPLBACKEND="Agg")
    return subprocess.run([sys.executable, "-W", "error", "-m", "vostra", *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=120)


def test_demo_command_prints_the_report_and_writes_png_plots(tmp_path):
    pytest.importorskip("vostra.core.vantrel")
    out = tmp_path / "plots"
    proc = run_cli("demo", "--out", str(out), "--seed", "3", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    text = proc.stdout
    for section in ("300 stocks", "Sharpe ratio", "Max drawdown", "Last closed trades",
                    "Next-day orders", f"Plots written to {out}"):
        assert section in text
    # The data end on a month's last bar, so the next open has orders.
    assert "Rebalance due on the next bar" in text and (" buy " in text or " sell " in text)
    pngs = sorted(p.name for p in out.iterdir())
    assert pngs == ["equity.png", "excursions.png", "returns.png"]
    for name in pngs:
        data = (out / name).read_bytes()
        assert data.startswith(PNG_SIGNATURE) and len(data) > 5000
        image = imread(out / name)
        assert image.shape[0] > 300 and image.shape[1] > 500
        assert image[..., :3].std() > 0.05  # something was drawn


def test_demo_defaults_to_a_folder_it_names(tmp_path):
    pytest.importorskip("vostra.core.vantrel")
    proc = run_cli("demo", "--stocks", "30", "--years", "2", "--top", "5", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    folder = tmp_path / "out" / "demo"
    assert f"Plots written to {Path('out') / 'demo'}/" in proc.stdout
    assert {p.name for p in folder.iterdir()} == {"equity.png", "excursions.png", "returns.png"}


def test_help_explains_the_demo_options(tmp_path):
    top = run_cli("--help", cwd=tmp_path)
    assert top.returncode == 0 and "demo" in top.stdout
    demo = run_cli("demo", "--help", cwd=tmp_path)
    assert demo.returncode == 0
    for option in ("--out DIR", "--seed N", "--stocks N", "--years Y", "--top N", "--stop-loss X"):
        assert option in demo.stdout
    bad = run_cli("demo", "--top", "0", cwd=tmp_path)
    assert bad.returncode == 2 and "must be positive" in bad.stderr


def test_version_and_demo_errors_with_the_demo_usage(tmp_path):
    version = run_cli("--version", cwd=tmp_path)
    assert version.returncode == 0 and version.stdout.strip() == f"vostra {vostra.__version__}"
    blocker = tmp_path / "a-file"
    blocker.write_text("")
    cases = [
        (("--top", "0"), "--stocks, --top and --years must be positive"),
        (("--seed", "x"), "argument --seed: invalid int value: 'x'"),
        (("--out", str(blocker / "plots")), f"--out {blocker / 'plots'}: cannot write plots there"),
        (("--html", str(blocker / "r.html")), f"--html {blocker / 'r.html'}: cannot write the report"),
        (("--html", str(tmp_path)), "it is a folder"),
    ]
    for args, message in cases:
        proc = run_cli("demo", *args, cwd=tmp_path)
        assert proc.returncode == 2, args
        assert proc.stderr.startswith("usage: vostra demo "), proc.stderr
        assert message in proc.stderr and "Traceback" not in proc.stderr
        assert proc.stdout == ""


def test_demo_writes_the_html_report(tmp_path):
    pytest.importorskip("vostra.core.vantrel")
    report = tmp_path / "report.html"
    proc = run_cli("demo", "--stocks", "40", "--years", "2", "--top", "5", "--html", str(report),
                   cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert f"Report written to {report} (" in proc.stdout
    page = report.read_text(encoding="utf-8")
    assert "vostra demo: top 5 momentum, seed 7" in page and 'Plotly.newPlot("panel-equity"' in page
    # The orders say in words what to do.
    assert " buy " in proc.stdout or " sell " in proc.stdout


def test_synthetic_market_is_seeded_and_consistent():
    a = vostra.synthetic_market(n_stocks=50, years=3, seed=11)
    b = vostra.synthetic_market(n_stocks=50, years=3, seed=11)
    c = vostra.synthetic_market(n_stocks=50, years=3, seed=12)
    assert a.close.equals(b.close) and a.high.equals(b.high)
    assert not a.close.equals(c.close)
    assert a.close.shape == (756, 50)

    o, h, lo, cl = (f.to_numpy() for f in (a.open, a.high, a.low, a.close))
    valid = ~np.isnan(cl)
    assert (np.isnan(o) == ~valid).all() and (np.isnan(h) == ~valid).all()
    assert (h[valid] >= np.maximum(o, cl)[valid]).all()
    assert (lo[valid] <= np.minimum(o, cl)[valid]).all() and (lo[valid] > 0).all()

    # Suspensions: NaN runs with prices on both sides.
    inner_gap = valid[:-2] & ~valid[1:-1] & valid[2:]
    assert inner_gap.any()


def test_synthetic_delistings_are_what_the_front_end_detects():
    m = vostra.synthetic_market(n_stocks=80, years=4, seed=2)
    delisted = m.delisted.dropna()
    assert 3 <= len(delisted) < 80
    for ticker, last in delisted.items():
        col = m.close[ticker]
        assert col.loc[last:].iloc[1:].isna().all() and not np.isnan(col.loc[last])
    # Delisting bars are found for the stocks a weight may hold: all of them.
    weights = m.close.notna().iloc[:1] | True
    args, _ = prepare(weights, m.close)
    detected = m.close.columns[args["delisting_bars"] >= 0]
    assert set(detected) == set(delisted.index)
    bars = args["delisting_bars"][args["delisting_bars"] >= 0]
    assert list(m.close.index[bars - 1]) == list(delisted[detected])


def test_run_demo_is_reproducible_and_uses_its_stop_loss(tmp_path):
    pytest.importorskip("vostra.core.vantrel")
    from vostra.cli.demo import run_demo

    lines: list[str] = []
    first, paths = run_demo(tmp_path / "a", seed=4, n_stocks=60, years=3, top=8, echo=lines.append)
    again, _ = run_demo(tmp_path / "b", seed=4, n_stocks=60, years=3, top=8, echo=lambda s: None)
    loose, _ = run_demo(tmp_path / "c", seed=4, n_stocks=60, years=3, top=8, stop_loss=None,
                        echo=lambda s: None)
    assert first.equity.equals(again.equity)
    assert repr(first) in "\n".join(lines)
    assert set(paths) == {"equity", "excursions", "returns"}
    # A 10 % stop cuts closed trades off near -10 % (close-mode exits fill on
    # the next bar); without it losses run further.
    assert first.trades["mae"].min() > loose.trades["mae"].min()
    assert not first.equity.equals(loose.equity)
