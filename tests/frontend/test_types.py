"""Type checkers see torvex's real signatures: the README's examples check clean, wrong arguments are caught.

mypy runs once, in a subprocess of this interpreter, over every snippet below; it finds torvex where
this interpreter imports it from (the installed package, or a source tree on PYTHONPATH), through
its py.typed marker, and uses the repository's mypy settings.
"""

import importlib.metadata
import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")
try:
    importlib.metadata.version("pandas-stubs")
except importlib.metadata.PackageNotFoundError:
    pytest.skip("pandas-stubs is not installed", allow_module_level=True)

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```", README.read_text(encoding="utf-8"), flags=re.S | re.M)

# Each wrong argument sits in a function of typed frames, as a caller's code would have it.
WRONG = {
    "stop_loss_text": 'torvex.backtest(position, price, stop_loss="10%")',
    "trade_at_capitalised": 'torvex.backtest(position, price, trade_at="Open")',
}
WRONG_ARGUMENT = {"stop_loss_text": "stop_loss", "trade_at_capitalised": "trade_at"}

REVEAL = """
import torvex

reveal_type(torvex.backtest)
reveal_type(torvex.sweep)
reveal_type(torvex.read_prices)
reveal_type(torvex.load_report)
reveal_type(torvex.Report)


def statistics(report: torvex.Report) -> None:
    reveal_type(report.stats())
"""


def _wrong(call: str) -> str:
    return textwrap.dedent(
        f"""
        import pandas as pd
        import torvex


        def run(position: pd.DataFrame, price: pd.DataFrame) -> None:
            {call}
        """
    )


@pytest.fixture(scope="module")
def mypy_output(tmp_path_factory):
    """{file stem: [lines mypy printed about that file]} for all snippets, checked in one run."""
    folder = tmp_path_factory.mktemp("typed")
    files = {f"readme_block{i}": code for i, code in enumerate(BLOCKS)}
    files.update({name: _wrong(call) for name, call in WRONG.items()})
    files["reveal"] = REVEAL
    for stem, code in files.items():
        (folder / f"{stem}.py").write_text(code, encoding="utf-8")
    cmd = [
        sys.executable,
        "-m",
        "mypy",
        "--config-file",
        str(ROOT / "pyproject.toml"),
        "--cache-dir",
        str(folder / ".mypy_cache"),
        "--no-error-summary",
        "--hide-error-context",
        "--no-pretty",
        *sorted(f"{stem}.py" for stem in files),
    ]
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "MYPY_CACHE_DIR")}
    done = subprocess.run(cmd, cwd=folder, env=env, capture_output=True, text=True, timeout=600)
    if done.returncode not in (0, 1) or "error: " in done.stderr:
        pytest.fail(f"mypy did not run (exit {done.returncode}):\n{done.stdout}\n{done.stderr}")
    out: dict[str, list[str]] = {stem: [] for stem in files}
    for line in done.stdout.splitlines():
        stem = line.split(".py:", 1)[0]
        if stem in out:
            out[stem].append(line)
        elif line.strip():
            pytest.fail(f"mypy reported on a file that is not a snippet: {line}")
    return out


def test_torvex_is_found_with_its_types(mypy_output):
    assert not any("import-not-found" in ln or "import-untyped" in ln for lines in mypy_output.values() for ln in lines)


@pytest.mark.parametrize("block", range(len(BLOCKS)), ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_example_type_checks_clean(mypy_output, block):
    assert mypy_output[f"readme_block{block}"] == []


@pytest.mark.parametrize("name", sorted(WRONG))
def test_a_wrong_argument_is_an_error_that_names_it(mypy_output, name):
    errors = [ln for ln in mypy_output[name] if ": error: " in ln]
    argument = WRONG_ARGUMENT[name]
    assert errors, f"mypy accepted {WRONG[name]}"
    assert all(f'Argument "{argument}" to "backtest"' in ln for ln in errors), errors


def test_the_package_names_are_the_real_functions_and_class(mypy_output):
    revealed = [
        ln.split("Revealed type is ", 1)[1].replace("'] | Literal['", "', '")  # one spelling of Literal unions
        for ln in mypy_output["reveal"]
        if "Revealed type is" in ln
    ]
    assert len(revealed) == 6, mypy_output["reveal"]
    backtest, sweep, read_prices, load_report, report, stats = revealed
    assert backtest.startswith('"def (position:') and "trade_at: Literal['close', 'open']" in backtest
    assert backtest.endswith('-> torvex.report.Report"')
    # One signature per kind of result: keep="stats" gives the table, keep="returns" a pair.
    assert sweep.startswith('"Overload(def (position:') and "-> pandas.core.frame.DataFrame," in sweep
    assert "keep: Literal['returns']" in sweep
    assert read_prices.startswith('"def (') and "-> pandas.core.frame.DataFrame" in read_prices
    assert load_report.startswith('"def (path:') and load_report.endswith('-> torvex.report.Report"')
    assert report.startswith('"def (run: torvex.report.RunData) -> torvex.report.Report"')
    assert stats == '"pandas.core.series.Series[Any]"'
