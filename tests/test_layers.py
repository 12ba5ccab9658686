"""The package's layers import one way: data -> run -> results -> views, with
research beside views and the command line on top. Drawing code loads only
when something is drawn."""

import ast
import pathlib
import subprocess
import sys

import pytest

import vostra

PACKAGE = pathlib.Path(vostra.__file__).parent

# What each layer's modules may import at module level ("_native" is the
# engine loader, "core" the compiled modules).
BELOW = {
    "data": {"data"},
    "run": {"data", "run"},
    "results": {"data", "run", "results"},
    "views": {"results", "views"},
    "research": {"data", "run", "results", "research"},
    "cli": {"data", "run", "results", "views", "research", "cli"},
}
SHARED = {"_native", "_moved", "core"}
# Methods that draw a result: the only places an import may run upward.
DRAWING = {"plot", "plot_ticker", "plot_heatmap", "report", "_repr_html_"}


def _module(path):
    parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def _imports(path):
    """(importing function or None, target module) of each relative import
    that runs, TYPE_CHECKING blocks left out."""
    name = _module(path)
    package = name if path.name == "__init__.py" else name.rsplit(".", 1)[0]
    found = []

    def visit(node, function):
        for child in ast.iter_child_nodes(node):
            if isinstance(child, ast.If) and getattr(child.test, "id", None) == "TYPE_CHECKING":
                continue
            inner = child.name if isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef)) else function
            if isinstance(child, ast.ImportFrom) and child.level:
                base = package.split(".")[:len(package.split(".")) - child.level + 1]
                found.append((inner, ".".join(base + ([child.module] if child.module else []))))
            visit(child, inner)

    visit(ast.parse(path.read_text()), None)
    return found


def _layer(module):
    parts = module.split(".")
    return parts[1] if len(parts) > 1 else None


def test_imports_flow_one_way_without_circles():
    graph, wrong = {}, []
    for path in PACKAGE.rglob("*.py"):
        module, layer = _module(path), _layer(_module(path))
        for function, target in _imports(path):
            to = _layer(target)
            if layer not in BELOW or to in SHARED or to is None:
                continue
            if function is None:
                graph.setdefault(module, set()).add(target)
                if to not in BELOW[layer]:
                    wrong.append(f"{module} imports {target}")
            elif to not in BELOW[layer] and not (to == "views" and function in DRAWING):
                wrong.append(f"{module}.{function} imports {target}")
    assert not wrong, wrong

    def circle_from(start, at, seen):
        for target in graph.get(at, ()):
            if target == start:
                return [at, target]
            if target not in seen:
                seen.add(target)
                rest = circle_from(start, target, seen)
                if rest:
                    return [at] + rest
        return None

    circles = [c for c in (circle_from(m, m, set()) for m in graph) if c]
    assert not circles, circles


def _loaded_after(code):
    script = (f"import sys\n{code}\n"
              "print(' '.join(sorted(m for m in sys.modules if m.startswith(('vostra.', 'matplotlib', 'plotly')))))")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    return set(out.stdout.split())


@pytest.mark.parametrize("layer", sorted(BELOW))
def test_a_layer_loads_nothing_above_it(layer):
    modules = sorted(_module(p) for p in (PACKAGE / layer).glob("*.py"))
    loaded = _loaded_after("\n".join(f"import {m}" for m in modules))
    reach = set(BELOW[layer])
    for _ in BELOW:  # what the layer imports imports in turn
        reach |= {below for own in reach for below in BELOW[own]}
    above = {_layer(m) for m in loaded if m.startswith("vostra.")} - reach - SHARED - {None}
    assert not above, sorted(m for m in loaded if _layer(m) in above)


def test_importing_and_printing_load_no_drawing_library():
    loaded = _loaded_after(
        "import vostra\n"
        "m = vostra.synthetic_market(n_stocks=5, years=0.5, seed=1)\n"
        "text = str(vostra.backtest(m.close.notna(), m, capital=1e5, lot_size=1))\n"
        "assert 'Sharpe' in text and 'capital' in text")
    assert not {m for m in loaded if m.startswith(("matplotlib", "plotly"))}
    assert "vostra.views" not in loaded


def test_old_module_paths_warn_and_stand_for_the_new_ones():
    with pytest.warns(FutureWarning, match="vostra.result has moved to vostra.results.result"):
        from vostra.result import Result
    assert Result is vostra.Result
    with pytest.warns(FutureWarning, match="vostra.sweep has moved"):
        import vostra.sweep as old_sweep  # noqa: F401
    # The package's function of that name still runs, the old module's names resolve.
    assert callable(vostra.sweep) and vostra.sweep.STAT_COLUMNS
