"""The README's python code blocks run as they stand."""

import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```", README.read_text(encoding="utf-8"), flags=re.S | re.M)


def test_there_is_a_first_example():
    assert BLOCKS and "torvex.backtest" in BLOCKS[0]
    assert len(BLOCKS[0].strip().splitlines()) <= 12


@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_block_runs(code, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    exec(compile(code, str(README), "exec"), {"__name__": "__readme__"})
    out = capsys.readouterr().out
    assert "sharpe" in out or not out
    if "to_html" in code:
        assert (tmp_path / "report.html").stat().st_size > 10_000
