"""The reality check of a sweep: p-values, critical values and the StepM
set equal arch's SPA and StepM on the same bootstrap samples; the
benchmark's returns line up with the runs' whether given as a row or as
its curve; a table without returns says how to get them."""

import numpy as np
import pytest

import vostra
from vostra.research.reality import spa_test
from vostra.results.bootstrap import sample_indices

arch_bootstrap = pytest.importorskip("arch.bootstrap")


def fed(bootstrap, rows):
    """An arch bootstrap that draws ``rows`` instead of its own samples."""
    it = iter(rows)
    bootstrap.update_indices = lambda: next(it)


@pytest.mark.parametrize("edge, size", [(0.0008, 0.05), (0.0015, 0.10)])
def test_equal_to_arch_on_the_same_samples(edge, size):
    rng = np.random.default_rng(3)
    t, k, block, samples, seed = 700, 30, 6.0, 400, 7
    common, noise = rng.standard_normal((t, 1)) * 0.01, rng.standard_normal((t, k)) * 0.01
    # Runs whose true edges over the benchmark spread from -edge to +edge.
    d = 0.5 * (common - common.mean()) + noise - noise.mean(axis=0) + np.linspace(-edge, edge, k)
    pvalues, superior, critical = spa_test(d, block, samples, size, np.random.default_rng(seed))
    rows = np.concatenate(list(sample_indices(t, samples, "stationary", block,
                                              np.random.default_rng(seed)))) % t
    losses = -d   # arch takes losses: the benchmark's are 0
    spa = arch_bootstrap.SPA(np.zeros(t), losses, block_size=block, reps=samples)
    fed(spa.bootstrap, rows)
    spa.compute()
    step = arch_bootstrap.StepM(np.zeros(t), losses, size=size, block_size=block, reps=samples)
    fed(step.bootstrap, rows)
    step.compute()
    np.testing.assert_allclose(pvalues, spa.pvalues.to_numpy(), rtol=0, atol=1e-12)
    np.testing.assert_allclose(critical, spa.critical_values(size).to_numpy(), rtol=1e-12)
    assert superior == list(step.superior_models)
    # A real test in each case: p-values that differ by recentring, a StepM set.
    assert 0 < pvalues[0] < pvalues[1] < 1 if edge < 0.001 else len(superior) > 1


@pytest.fixture(scope="module")
def table():
    m = vostra.synthetic_market(n_stocks=15, years=2, seed=8)
    close = m.close
    score = close.ffill().pct_change(40).where(close.notna())
    signal = score.rank(axis=1, ascending=False) <= 4
    return vostra.sweep(signal, m, grid={"stop_loss": [None, 0.05, 0.1], "rebalance": ["M", "W"]},
                        backend="serial", progress=False, equity=True)


def test_benchmark_as_a_row_or_as_its_curve(table):
    by_row = table.reality_check(benchmark=3, samples=300, seed=1)
    by_curve = table.drop(index=3).reality_check(benchmark=table.at[3, "equity"].rename("run 3"),
                                                samples=300, seed=1)
    assert by_row.n_runs == by_curve.n_runs == len(table) - 1
    np.testing.assert_array_equal(by_row.pvalues, by_curve.pvalues)
    assert by_row.superior == by_curve.superior and by_row.block == by_curve.block
    assert by_row.best == by_curve.best and by_row.best_mean == pytest.approx(by_curve.best_mean, rel=1e-12)
    cash = table.reality_check(samples=300, seed=1)
    returns = table._run_returns.returns
    assert cash.best == returns.mean().idxmax() and cash.best_mean == returns.mean().max()
    assert "White's Reality Check" in str(cash) and cash.reality_check == cash.pvalues["upper"]


def test_a_table_without_returns_says_how_to_get_them(table):
    plain = table.drop(columns="equity")
    plain._run_returns = None
    with pytest.raises(ValueError, match=r"overfitting=True\) \(the default\) or equity=True"):
        plain.reality_check()
    with pytest.raises(ValueError, match="benchmark must be 'cash', a price series or the label"):
        table.reality_check(benchmark="index")
    with pytest.raises(ValueError, match="statistic must be 'mean'"):
        table.reality_check(statistic="sharpe")
