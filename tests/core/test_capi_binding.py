"""The C-level table of excursion: what its variable capsules point at, and how
pathsim's import fails when the table is incomplete or mismatched."""

import ast
import ctypes

import numpy as np
import pytest

from torvex.core import excursion, pathsim

from support.capi import CAPI
from support.inputs import make_inputs, run_fresh

_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def through_capsule(name):
    """The object the exported variable `name` refers to right now.

    The capsule holds the address of the module's PyArrayObject* variable, so it
    is dereferenced once to reach the array."""
    addr = _get_pointer(excursion.__pyx_capi__[name], b"PyArrayObject *")
    assert addr
    return ctypes.cast(addr, ctypes.POINTER(ctypes.py_object)).contents.value


def test_variable_capsules_follow_each_run():
    # Runs that open no position leave the freshly installed zero arrays.
    capsules = dict(excursion.__pyx_capi__)
    for ncols in (3, 5, 0):
        pathsim.backtest_(**make_inputs(ncols=ncols, weight=0.0))
        assert excursion.__pyx_capi__["entry"] is capsules["entry"]
        entry, position = through_capsule("entry"), through_capsule("position")
        assert entry.dtype == np.int64 and position.dtype == np.float64
        np.testing.assert_array_equal(entry, np.zeros(ncols, dtype=np.int64))
        np.testing.assert_array_equal(position, np.zeros(ncols))


def test_variable_capsules_at_import():
    out = run_fresh("""
        import ctypes
        import torvex.core.excursion as x
        get = ctypes.pythonapi.PyCapsule_GetPointer
        get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
        for n in ('entry', 'position'):
            a = ctypes.cast(get(x.__pyx_capi__[n], b'PyArrayObject *'), ctypes.POINTER(ctypes.py_object)).contents.value
            print((n, str(a.dtype), a.shape))
    """)
    assert [ast.literal_eval(line) for line in out.splitlines()] == [
        ("entry", "int64", (0,)),
        ("position", "float64", (0,)),
    ]


# A stand-in for torvex.core.excursion whose table is built from capsules made
# here; `CHANGE` edits the table before pathsim is imported.
FAKE = """
import ctypes, sys, types
new = ctypes.pythonapi.PyCapsule_New
new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
target = ctypes.c_int(0)
names = []  # the capsule names must outlive the capsules

def capsule(sig):
    names.append(sig.encode())
    return new(ctypes.addressof(target), names[-1], None)

sigs = {SIGS!r}
capi = {{k: capsule(v) for k, v in sigs.items()}}
fake = types.ModuleType('torvex.core.excursion')
fake.__pyx_capi__ = capi
{CHANGE}
import torvex.core
sys.modules['torvex.core.excursion'] = fake
try:
    import torvex.core.pathsim
except BaseException as e:
    print(type(e).__name__)
    print(e)
    print('torvex.core.pathsim' in sys.modules)
else:
    print('imported')
"""


@pytest.mark.parametrize(
    "change, error, message",
    [
        ("", None, None),
        ("del capi['entry']", "ImportError", "torvex.core.excursion does not export expected C variable entry"),
        ("del capi['position']", "ImportError", "torvex.core.excursion does not export expected C variable position"),
        (
            "del capi['record_exit']",
            "ImportError",
            "torvex.core.excursion does not export expected C function record_exit",
        ),
        (
            "capi['record_date'] = capsule('void (long)')",
            "TypeError",
            "C function torvex.core.excursion.record_date has wrong signature (expected void (int), got void (long))",
        ),
        # One blank fewer before the ampersand is a different signature.
        (
            "capi['end_analysis'] = capsule('PyObject *(std::map<int,double> &)')",
            "TypeError",
            "C function torvex.core.excursion.end_analysis has wrong signature "
            "(expected PyObject *(std::map<int,double>  &), got PyObject *(std::map<int,double> &))",
        ),
        (
            "capi['position'] = capsule('PyObject *')",
            "TypeError",
            "C variable torvex.core.excursion.position has wrong signature (expected PyArrayObject *, got PyObject *)",
        ),
        # Variables are bound before functions, so the variable is reported.
        (
            "del capi['start_analysis']; del capi['entry']",
            "ImportError",
            "torvex.core.excursion does not export expected C variable entry",
        ),
        ("del fake.__pyx_capi__", "AttributeError", None),
        # excursion cannot be imported at all: that import error comes through.
        ("fake = None", "ModuleNotFoundError", None),
    ],
)
def test_pathsim_import_checks_the_table(change, error, message):
    lines = run_fresh(FAKE.format(SIGS=CAPI, CHANGE=change)).splitlines()
    if error is None:  # the fake table itself is complete and well-named
        assert lines == ["imported"]
        return
    assert lines[0] == error
    if message is not None:
        assert lines[1] == message
    assert lines[-1] == "False"  # the module was not created
