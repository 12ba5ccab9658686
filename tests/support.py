"""Helpers shared by test modules."""
import os
from pathlib import Path

import vostra


def child_env(**extra):
    """Environment for a child interpreter that imports the same vostra as
    these tests (the installed package, or the working tree's build)."""
    root = str(Path(vostra.__file__).resolve().parents[1])
    path = os.pathsep.join(filter(None, [root, os.environ.get("PYTHONPATH")]))
    return dict(os.environ, PYTHONPATH=path, **extra)
