"""What a user imports: version, exports, typing files, docstrings with examples."""

import doctest
import importlib
import inspect
import pathlib
import subprocess
import sys

import pytest

import torvex

SRC = pathlib.Path(torvex.__file__).parent


def test_version_and_exports():
    assert isinstance(torvex.__version__, str) and torvex.__version__[0].isdigit()
    assert callable(torvex.backtest) and torvex.Report.__name__ == "Report" and callable(torvex.read_prices)


def test_typing_files_are_there():
    assert (SRC / "py.typed").exists()
    for mod in ("pathsim", "excursion"):
        stub = (SRC / "core" / f"{mod}.pyi").read_text()
        names = {n for n in dir(importlib.import_module(f"torvex.core.{mod}")) if not n.startswith("__")}
        assert all(f"{n}" in stub for n in names), mod


def test_importing_the_core_does_not_import_pandas():
    code = "import sys, torvex.core.pathsim; print('pandas' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


@pytest.mark.parametrize(
    "module",
    [
        "torvex._backtest",
        "torvex.report",
        "torvex.stats",
        "torvex.io",
        "torvex.datasets",
        "torvex.plotting",
        "torvex.html",
        "torvex._benchmark",
        "torvex._inputs",
        "torvex._checks",
        "torvex._options",
        "torvex._schedule",
        "torvex._compare",
        "torvex._save",
        "torvex._overfitting",
        "torvex._sweep._api",
        "torvex.walkforward",
    ],
)
def test_docstring_examples_run(module):
    mod = importlib.import_module(module)
    result = doctest.testmod(mod, optionflags=doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS)
    assert result.failed == 0


def test_public_functions_have_docstrings_with_examples():
    import torvex.stats as st

    for name in st.__all__:
        assert "Examples" in inspect.getdoc(getattr(st, name)), name
    assert "Examples" in inspect.getdoc(torvex.backtest)
