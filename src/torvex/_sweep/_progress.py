"""The progress bar of a sweep: tqdm on a terminal or in a notebook."""

from __future__ import annotations

import sys


class _Quiet:
    def update(self, n: int = 1) -> None:
        pass

    def close(self) -> None:
        pass


def _in_notebook() -> bool:
    shell = sys.modules.get("IPython")
    try:
        ip = shell.get_ipython() if shell else None
    except Exception:  # pragma: no cover
        return False
    return ip is not None and type(ip).__name__ == "ZMQInteractiveShell"


def progress_bar(total: int, progress: bool | str, desc: str):
    """A bar over `total` parameter sets, or an object that shows nothing.

    `progress=True` shows it on a terminal or in a notebook only, so logs of
    batch jobs stay clean; ``"always"`` shows it anywhere; False never.
    """
    if progress is False or progress is None:
        return _Quiet()
    if progress not in (True, "always"):
        raise ValueError(f"progress: expected True, False or 'always', found {progress!r}")
    notebook = _in_notebook()
    stream = sys.stderr
    if progress is True and not notebook and not (hasattr(stream, "isatty") and stream.isatty()):
        return _Quiet()
    try:
        if notebook:
            from tqdm.auto import tqdm
        else:
            from tqdm import tqdm
    except ImportError:
        if progress == "always":
            raise ImportError("sweep: progress='always' needs tqdm: pip install tqdm") from None
        return _Quiet()
    return tqdm(total=total, desc=desc, unit="run", smoothing=0.1, file=None if notebook else stream)
