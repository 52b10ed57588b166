"""Writes the parameter list of torvex.backtest's docstring from the options table.

    python scripts/options_doc.py          # rewrite src/torvex/_backtest.py in place
    python scripts/options_doc.py --check  # exit 1 if the docstring differs from the table

The list lies between the docstring's "Parameters" underline and its "Returns" heading.
"""

import argparse
import importlib.util
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
TARGET = ROOT / "src" / "torvex" / "_backtest.py"
START = "    Parameters\n    ----------\n"
END = "\n    Returns\n    -------\n"


def load_options():
    """torvex._options from the source tree, without importing the package (no built modules needed)."""
    found = importlib.util.spec_from_file_location("_torvex_options", ROOT / "src" / "torvex" / "_options.py")
    module = importlib.util.module_from_spec(found)
    sys.modules[found.name] = module  # dataclasses look their module up while the class is made
    found.loader.exec_module(module)
    return module


def rewritten(text: str, params: str) -> str:
    i = text.index(START) + len(START)
    j = text.index(END, i)
    return text[:i] + params + text[j:]


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--check", action="store_true", help="only compare; exit 1 on a difference")
    args = ap.parse_args()
    text = TARGET.read_text()
    new = rewritten(text, load_options().parameters_doc())
    if args.check:
        if new != text:
            print(f"{TARGET}: the parameter list differs from the options table; run {sys.argv[0]}")
            return 1
        return 0
    if new != text:
        TARGET.write_text(new)
        print(f"rewrote the parameter list of {TARGET}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
