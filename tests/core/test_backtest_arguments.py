"""How backtest_ (and the two small utilities) match, convert and check their
arguments, with the interpreter's usual error texts."""

import numpy as np
import pytest

from torvex.core import excursion, pathsim

from support.inputs import REQUIRED, make_inputs


def call(**overrides):
    return pathsim.backtest_(**{**make_inputs(), **overrides})


def accepted(inputs, **kw):
    out = pathsim.backtest_(**inputs, **kw)
    assert isinstance(out, np.ndarray) and out.dtype == np.float64
    assert out.shape == (inputs["price_index"].size,)


@pytest.fixture
def untouched(monkeypatch):
    """Leaves a known run state behind and returns a check that it is unchanged:
    settings of a default run and a trade log holding a marker."""
    pathsim.backtest_(**make_inputs())
    marker = ["marker"]
    monkeypatch.setattr(excursion, "trades", marker)

    def check():
        assert pathsim.RETAIN_COST_WHEN_REBALANCE is False and pathsim.RESAMPLE is True
        assert excursion.trades is marker and marker == ["marker"]

    return check


class TestMatching:
    def test_too_few_positional(self):
        a = make_inputs()
        with pytest.raises(TypeError) as e:
            pathsim.backtest_(a["price_values"], a["close_values"], a["high_values"])
        assert str(e.value) == "backtest_() takes at least 11 positional arguments (3 given)"

    @pytest.mark.parametrize(
        "npositional, missing", [(0, "price_values"), (3, "price_columns"), (0, "pos_index"), (10, "resample")]
    )
    def test_missing_required_reports_its_position(self, npositional, missing):
        # With keywords, the count is the 0-based position of the first missing one.
        a = make_inputs()
        del a[missing]
        args = [a.pop(k) for k in REQUIRED[:npositional]]
        with pytest.raises(TypeError) as e:
            pathsim.backtest_(*args, **a)
        pos = REQUIRED.index(missing)
        assert str(e.value) == f"backtest_() takes at least 11 positional arguments ({pos} given)"

    def test_too_many_positional(self):
        a = make_inputs()
        with pytest.raises(TypeError) as e:
            pathsim.backtest_(*a.values(), *range(15))
        assert str(e.value) == "backtest_() takes at most 25 positional arguments (26 given)"

    def test_unknown_keyword(self):
        with pytest.raises(TypeError) as e:
            call(foo=1)
        assert str(e.value) == "backtest_() got an unexpected keyword argument 'foo'"

    def test_value_given_twice(self):
        a = make_inputs()
        with pytest.raises(TypeError) as e:
            pathsim.backtest_(*[a[k] for k in REQUIRED], price_values=a["price_values"])
        assert str(e.value) == "backtest_() got multiple values for keyword argument 'price_values'"

    @pytest.mark.parametrize(
        "f, args, message",
        [
            (pathsim.normalize_weight, ({},), "normalize_weight() takes exactly 2 positional arguments (1 given)"),
            (pathsim.normalize_weight, ({}, 1, 2), "normalize_weight() takes exactly 2 positional arguments (3 given)"),
            (pathsim.ioft, (), "ioft() takes exactly 1 positional argument (0 given)"),
            (pathsim.ioft, (1, 2), "ioft() takes exactly 1 positional argument (2 given)"),
        ],
    )
    def test_utility_arity(self, f, args, message):
        with pytest.raises(TypeError) as e:
            f(*args)
        assert str(e.value) == message


class TestConversion:
    @pytest.mark.parametrize(
        "name", ["fee_ratio", "tax_ratio", "trail_stop", "trail_stop_activation", "position_limit"]
    )
    def test_float_arguments_reject_text(self, name):
        with pytest.raises(TypeError, match="must be real number, not str"):
            call(**{name: "x"})

    @pytest.mark.parametrize("name", ["excursion_window", "excursion_window_step"])
    @pytest.mark.parametrize("value", [2**31, -(2**31) - 1])
    def test_int_arguments_are_32_bit(self, name, value):
        with pytest.raises(OverflowError, match="^value too large to convert to int$"):
            call(**{name: value})

    @pytest.mark.parametrize("value", [2.5, "3"])
    def test_int_arguments_reject_non_integers(self, value):
        with pytest.raises(TypeError):
            call(excursion_window=value)

    def test_numeric_look_alikes_are_converted(self):
        accepted(
            make_inputs(),
            fee_ratio=0,
            tax_ratio=np.float32(0.001),
            position_limit=np.int64(1),
            excursion_window=np.int64(2),
            excursion_window_step=True,
            touched_exit=None,
        )

    def test_first_failure_in_parameter_order_wins(self):
        # touched_exit is converted before position_limit, trail_stop before both.
        with pytest.raises(ValueError, match="truth value"):
            call(touched_exit=np.array([1, 2]), position_limit="x")
        with pytest.raises(TypeError, match="must be real number"):
            call(trail_stop="x", touched_exit=np.array([1, 2]))
        # Conversions come before the array type checks and the delisting buffer.
        with pytest.raises(TypeError, match="must be real number"):
            call(fee_ratio="x", price_index=[1, 2], delisting_bars=np.zeros(2, np.int32))
        with pytest.raises(ValueError, match="Buffer dtype mismatch"):
            call(price_index=[1, 2], delisting_bars=np.zeros(2, np.int32))


class TestArrayTypes:
    @pytest.mark.parametrize(
        "name, value, got",
        [
            ("price_index", [1, 2, 3], "list"),
            ("price_values", ((1.0,),), "tuple"),
            ("resample", 5, "int"),
            ("pos_columns", ["s0", "s1"], "list"),
        ],
    )
    def test_arrays_must_be_ndarrays(self, name, value, got):
        with pytest.raises(TypeError) as e:
            call(**{name: value})
        assert str(e.value) == f"Argument '{name}' has incorrect type (expected numpy.ndarray, got {got})"

    def test_first_bad_array_is_named(self):
        with pytest.raises(TypeError, match="^Argument 'close_values'"):
            call(close_values=[], resample=[])

    def test_ndarray_subclass_and_none_accepted(self):
        class Sub(np.ndarray):
            pass

        a = make_inputs()
        a["price_values"] = a["price_values"].view(Sub)
        a.update(high_values=None, low_values=None, open_values=None)
        accepted(a)


class TestDelistingBars:
    def test_int32_rejected_before_anything_changes(self, untouched):
        with pytest.raises(ValueError) as e:
            call(
                delisting_bars=np.zeros(2, dtype=np.int32),
                retain_cost_when_rebalance=True,
                periodically_rebalance=False,
            )
        assert str(e.value) == "Buffer dtype mismatch, expected 'int64_t' but got 'int'"
        untouched()

    def test_two_dimensions_rejected(self, untouched):
        with pytest.raises(ValueError) as e:
            call(delisting_bars=np.zeros((2, 1), dtype=np.int64), retain_cost_when_rebalance=True)
        assert str(e.value) == "Buffer has wrong number of dimensions (expected 1, got 2)"
        untouched()

    def test_object_without_buffer_rejected(self):
        with pytest.raises(TypeError):
            call(delisting_bars=[0, -1])

    @pytest.mark.parametrize("bars", [np.array([0, 7, -1, 7], dtype=np.int64)[::2], np.full(2, -1, dtype=np.int64)])
    def test_int64_accepted_any_stride(self, bars):
        accepted(make_inputs(), delisting_bars=bars)


class TestBuffers:
    @pytest.mark.parametrize(
        "name, value, message",
        [
            (
                "price_values",
                np.ones((5, 2), dtype=np.int64),
                "Buffer dtype mismatch, expected 'float64_t' but got 'long'",
            ),
            (
                "close_values",
                np.ones((5, 2), dtype=np.float32),
                "Buffer dtype mismatch, expected 'float64_t' but got 'float'",
            ),
            (
                "pos_values",
                np.ones((1, 2), dtype=np.float32),
                "Buffer dtype mismatch, expected 'float64_t' but got 'float'",
            ),
            ("price_index", np.arange(5.0), "Buffer dtype mismatch, expected 'int64_t' but got 'double'"),
            ("resample", np.arange(5.0), "Buffer dtype mismatch, expected 'int64_t' but got 'double'"),
            ("price_columns", np.array(["a", "b"]), "Buffer dtype mismatch, expected 'object' "),
            ("pos_columns", np.array([b"s0", b"s1"]), "Buffer dtype mismatch, expected 'object' "),
            ("price_values", np.ones(5), "Buffer has wrong number of dimensions (expected 2, got 1)"),
            ("open_values", np.ones((5, 2, 1)), "Buffer has wrong number of dimensions (expected 2, got 3)"),
            (
                "pos_index",
                np.zeros((1, 1), dtype=np.int64),
                "Buffer has wrong number of dimensions (expected 1, got 2)",
            ),
            # Big-endian doubles are not the host's float64.
            ("price_values", np.ones((5, 2), dtype=">f8"), "Buffer dtype mismatch"),
        ],
    )
    def test_wrong_buffer_rejected_before_anything_changes(self, untouched, name, value, message):
        with pytest.raises(ValueError) as e:
            call(**{name: value}, retain_cost_when_rebalance=True, periodically_rebalance=False)
        assert str(e.value).startswith(message)
        untouched()


class TestLayouts:
    @staticmethod
    def with_prices(make):
        a = make_inputs()
        for k in ("price_values", "close_values", "high_values", "low_values", "open_values"):
            a[k] = make(a[k])
        return a

    def test_only_required_arguments(self):
        accepted(make_inputs())

    def test_read_only_inputs(self):
        a = make_inputs()
        for v in a.values():
            v.flags.writeable = False
        accepted(a)

    def test_strided_views(self):
        a = self.with_prices(lambda p: np.repeat(p, 2, axis=1)[:, ::2])
        a["price_index"] = np.repeat(a["price_index"], 2)[::2]
        a["price_columns"] = np.repeat(a["price_columns"], 2)[::2]
        assert not a["price_values"].flags.c_contiguous
        accepted(a)

    def test_fortran_order(self):
        a = self.with_prices(np.asfortranarray)
        a["pos_values"] = np.asfortranarray(np.full((3, 2), 0.5))
        a["pos_index"] = a["price_index"][:3]
        assert not a["price_values"].flags.c_contiguous
        accepted(a)

    def test_unaligned(self):
        def unaligned(p):
            buf = bytearray(p.nbytes + 1)
            u = np.frombuffer(buf, dtype=p.dtype, offset=1, count=p.size).reshape(p.shape)
            u[...] = p
            assert not u.flags.aligned
            return u

        a = self.with_prices(unaligned)
        a["price_index"] = unaligned(a["price_index"])
        accepted(a)
