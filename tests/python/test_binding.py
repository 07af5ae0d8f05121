"""Argument binding and conversion, as a Python caller meets them."""

import operator
import sys

import pytest

import quellgate
from helpers import blocking_mode_of

RateLimiter = quellgate.RateLimiter
NOARG_METHODS = ("release", "get_remaining", "wait_time")


def raised(call, *args, **kwargs):
    """The exception that call(*args, **kwargs) raises (it must raise)."""
    with pytest.raises(BaseException) as info:
        call(*args, **kwargs)
    return info.value


def index_error_text(value):
    return str(raised(operator.index, value))


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


# -- binding ------------------------------------------------------------------


def test_too_many_positional_constructor_arguments(limiter_class):
    name = limiter_class.__name__
    for count in (11, 12):
        error = raised(limiter_class, *range(1, count + 1))
        assert type(error) is TypeError
        assert error.args == (
            "%s.__new__() takes from 0 to 10 positional arguments but %d were given" % (name, count),
        )


def test_keyword_given_twice_and_unknown_keywords(limiter_class):
    name = limiter_class.__name__
    cases = [
        ((10,), {"sec": 5}, "got multiple values for argument 'sec'"),
        ((1, 2, 3), {"hour": 5}, "got multiple values for argument 'hour'"),
        ((), {"seconds": 5}, "got an unexpected keyword argument 'seconds'"),
        ((), {"Sec": 5}, "got an unexpected keyword argument 'Sec'"),
        ((), {"self": 5}, "got an unexpected keyword argument 'self'"),
    ]
    for args, kwargs, tail in cases:
        error = raised(limiter_class, *args, **kwargs)
        assert type(error) is TypeError
        assert error.args == ("%s.__new__() %s" % (name, tail),), (args, kwargs)


def test_keywords_are_checked_in_the_order_they_were_passed(limiter_class):
    name = limiter_class.__name__
    error = raised(limiter_class, 5, sec=1, bogus=2)
    assert str(error) == "%s.__new__() got multiple values for argument 'sec'" % name
    error = raised(limiter_class, 5, bogus=2, sec=1)
    assert str(error) == "%s.__new__() got an unexpected keyword argument 'bogus'" % name
    error = raised(limiter_class, zzz=1, aaa=2)
    assert str(error) == "%s.__new__() got an unexpected keyword argument 'zzz'" % name


def test_binding_errors_win_over_conversion_and_validation(limiter_class):
    name = limiter_class.__name__
    error = raised(limiter_class, 1.5, -1, bogus=0)
    assert str(error) == "%s.__new__() got an unexpected keyword argument 'bogus'" % name
    error = raised(limiter_class, -1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0)
    assert str(error).startswith("%s.__new__() takes from 0 to 10" % name)


def test_positional_arguments_fill_parameters_in_declaration_order():
    limiter = RateLimiter(1, 2, 3, 4, 1, 1, 1, 1, False, 7)
    assert limiter.get_remaining() == {"second": 1, "minute": 2, "hour": 3, "day": 4, "burst": 7}
    assert RateLimiter(None, 5).get_remaining() == {"minute": 5}
    assert RateLimiter(None, None, None, 9).get_remaining() == {"day": 9}


def test_call_binding_messages():
    limiter = RateLimiter(sec=1)
    assert str(raised(limiter)) == "RateLimiter.__call__() missing 1 required positional argument: 'func'"
    assert str(raised(limiter, len, len)) == (
        "RateLimiter.__call__() takes 1 positional arguments but 2 were given"
    )
    assert str(raised(limiter, len, func=len)) == (
        "RateLimiter.__call__() got multiple values for argument 'func'"
    )
    assert str(raised(limiter, fn=len)) == "RateLimiter.__call__() got an unexpected keyword argument 'fn'"
    assert callable(limiter(func=len))


def test_exit_binding_messages():
    exit_ = RateLimiter(sec=1).__exit__
    prefix = "RateLimiter.__exit__() "
    cases = [
        ((), {}, "missing 3 required positional arguments: '_exc_type', '_exc_value', and '_traceback'"),
        ((None,), {}, "missing 2 required positional arguments: '_exc_value' and '_traceback'"),
        ((None, None), {}, "missing 1 required positional argument: '_traceback'"),
        ((None,), {"_traceback": None}, "missing 1 required positional argument: '_exc_value'"),
        ((), {"_exc_value": None}, "missing 2 required positional arguments: '_exc_type' and '_traceback'"),
        ((None, None, None, None), {}, "takes 3 positional arguments but 4 were given"),
        ((None,), {"_exc_type": None}, "got multiple values for argument '_exc_type'"),
        ((None, None, None), {"tb": None}, "got an unexpected keyword argument 'tb'"),
        ((), {"tb": None}, "got an unexpected keyword argument 'tb'"),
    ]
    for args, kwargs, tail in cases:
        error = raised(exit_, *args, **kwargs)
        assert type(error) is TypeError
        assert error.args == (prefix + tail,), (args, kwargs)
    assert exit_(_exc_type=None, _exc_value=None, _traceback=None) is False
    assert exit_(None, None, _traceback=None) is False


def test_methods_without_parameters_refuse_arguments(limiter_class):
    instance = limiter_class(sec=1)
    enter = "__enter__" if limiter_class is RateLimiter else "__aenter__"
    for name in NOARG_METHODS + (enter,):
        method = getattr(instance, name)
        with pytest.raises(TypeError, match="takes no arguments"):
            method(1)
        with pytest.raises(TypeError, match="takes no keyword arguments"):
            method(x=1)


# -- integer conversion -------------------------------------------------------


@pytest.mark.parametrize("value", [-1, 2**64, -(2**70), 2**100])
def test_out_of_range_integers_raise_overflow_error_without_prefix(limiter_class, value):
    for keyword in ("sec", "min_window", "max_burst"):
        error = raised(limiter_class, **{"sec": 1, keyword: value})
        assert type(error) is OverflowError
        assert not str(error).startswith("argument"), str(error)


@pytest.mark.parametrize("value", [1.5, 1.0, "5", b"5", [1], 3j])
def test_non_integers_raise_index_type_error_behind_the_argument_prefix(limiter_class, value):
    for keyword in ("sec", "min", "hour", "day", "sec_window", "min_window", "hour_window", "day_window", "max_burst"):
        kwargs = {"day": 1, keyword: value}
        error = raised(limiter_class, **kwargs)
        assert type(error) is TypeError
        assert error.args == ("argument '%s': %s" % (keyword, index_error_text(value)),)
        assert error.__cause__ is None


def test_argument_prefix_carries_the_cause_of_the_original_error(limiter_class):
    root = KeyError("root cause")
    original = TypeError("no index here")
    original.__cause__ = root
    error = raised(limiter_class, sec=RaisingIndex(original))
    assert type(error) is TypeError
    assert error is not original
    assert error.args == ("argument 'sec': no index here",)
    assert error.__cause__ is root


def test_only_exact_type_errors_get_the_argument_prefix(limiter_class):
    class CustomTypeError(TypeError):
        pass

    for original in (CustomTypeError("custom"), ValueError("bad value"), ZeroDivisionError("zero")):
        error = raised(limiter_class, min=RaisingIndex(original))
        assert error is original


def test_index_returning_a_non_int_is_a_prefixed_type_error(limiter_class):
    error = raised(limiter_class, hour=Index("7"))
    assert type(error) is TypeError
    assert str(error) == "argument 'hour': " + index_error_text(Index("7"))


def test_index_objects_are_accepted_for_every_integer_parameter():
    limiter = RateLimiter(
        sec=Index(5),
        min=Index(6),
        hour=Index(7),
        day=Index(8),
        sec_window=Index(1),
        min_window=Index(1),
        hour_window=Index(1),
        day_window=Index(1),
        max_burst=Index(9),
    )
    assert limiter.get_remaining() == {"second": 5, "minute": 6, "hour": 7, "day": 8, "burst": 9}
    with pytest.raises(OverflowError):
        RateLimiter(sec=Index(-3))
    with pytest.raises(OverflowError):
        RateLimiter(sec=Index(2**64))


def test_int_subclasses_convert_by_value_not_through_index():
    class Stubborn(int):
        def __index__(self):
            raise AssertionError("an int subclass converts directly")

    assert RateLimiter(sec=Stubborn(4)).get_remaining() == {"second": 4}
    assert RateLimiter(sec=True).get_remaining() == {"second": 1}
    error = raised(RateLimiter, sec=False)
    assert error.args == ("Rate limit for second must be greater than 0",)


def test_largest_unsigned_value_is_valid_not_an_error_marker(limiter_class):
    largest = 2**64 - 1
    limiter_class(sec=largest, max_burst=largest, day_window=largest, day=largest)
    remaining = RateLimiter(sec=largest, max_burst=largest).get_remaining()
    assert remaining == {"second": largest, "burst": largest}
    assert all(type(value) is int for value in remaining.values())


def test_none_means_absent_for_every_integer_parameter():
    limiter = RateLimiter(
        sec=None, min=5, hour=None, day=None, sec_window=None, min_window=None,
        hour_window=None, day_window=None, max_burst=None,
    )
    assert limiter.get_remaining() == {"minute": 5}


def test_earliest_parameter_in_declaration_order_reports_its_conversion_error(limiter_class):
    error = raised(limiter_class, max_burst=-1, blocking=1, sec=1.5)
    assert str(error) == "argument 'sec': " + index_error_text(1.5)
    error = raised(limiter_class, max_burst=-1, blocking=1, sec=1)
    assert str(error) == "argument 'blocking': 'int' object cannot be converted to 'PyBool'"
    error = raised(limiter_class, max_burst=-1, sec=1)
    assert type(error) is OverflowError


def test_conversion_errors_win_over_validation_errors(limiter_class):
    assert type(raised(limiter_class, sec=0, max_burst=-1)) is OverflowError
    assert type(raised(limiter_class, max_burst=1.5)) is TypeError
    assert type(raised(limiter_class, blocking=None)) is TypeError


# -- the strict flag ----------------------------------------------------------


def test_blocking_refuses_everything_but_bool(limiter_class):
    class Truthy:
        def __bool__(self):
            return True

    for value, qualname in [
        (1, "int"),
        (0, "int"),
        (None, "NoneType"),
        ("yes", "str"),
        (1.0, "float"),
        (Truthy(), Truthy.__qualname__),
    ]:
        error = raised(limiter_class, sec=1, blocking=value)
        assert type(error) is TypeError
        assert error.args == ("argument 'blocking': '%s' object cannot be converted to 'PyBool'" % qualname,)
    assert "<locals>" in Truthy.__qualname__


def test_blocking_bools_select_the_mode():
    def make(blocking):
        return lambda max_burst: RateLimiter(sec=2**63, max_burst=max_burst, blocking=blocking)

    assert blocking_mode_of(make(False)) == "non-blocking"
    assert blocking_mode_of(lambda max_burst: RateLimiter(sec=2**63, max_burst=max_burst)) == "blocking"


def fake_numpy_bool(name="bool_", module="numpy", **namespace):
    namespace["__module__"] = module
    return type(name, (), namespace)


def test_numpy_style_bools_are_accepted_through_their_bool_method():
    false_type = fake_numpy_bool(__bool__=lambda self: False)
    true_type = fake_numpy_bool(name="bool", __bool__=lambda self: True)
    assert blocking_mode_of(lambda max_burst: RateLimiter(sec=2**63, max_burst=max_burst, blocking=false_type())) == (
        "non-blocking"
    )
    assert blocking_mode_of(lambda max_burst: RateLimiter(sec=2**63, max_burst=max_burst, blocking=true_type())) == (
        "blocking"
    )


def test_numpy_style_bool_method_found_on_the_type_and_bound_when_a_descriptor(limiter_class):
    class PlainCallable:
        def __call__(self):
            return False

    limiter_class(sec=1, blocking=fake_numpy_bool(__bool__=PlainCallable())())
    limiter_class(sec=1, blocking=fake_numpy_bool(__bool__=staticmethod(lambda: True))())

    without = fake_numpy_bool()
    instance = without()
    instance.__bool__ = lambda: True
    error = raised(limiter_class, sec=1, blocking=instance)
    assert type(error) is TypeError
    assert error.args == (
        "argument 'blocking': object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion",
    )


def test_numpy_style_bool_method_must_return_a_real_bool(limiter_class):
    error = raised(limiter_class, sec=1, blocking=fake_numpy_bool(__bool__=lambda self: 1)())
    assert error.args == ("argument 'blocking': 'int' object cannot be converted to 'PyBool'",)
    error = raised(limiter_class, sec=1, blocking=fake_numpy_bool(__bool__=lambda self: None)())
    assert error.args == ("argument 'blocking': 'NoneType' object cannot be converted to 'PyBool'",)


def test_numpy_style_bool_method_errors_follow_the_prefix_rule(limiter_class):
    def raiser(error):
        def __bool__(self):
            raise error

        return __bool__

    error = raised(limiter_class, sec=1, blocking=fake_numpy_bool(__bool__=raiser(TypeError("nope")))())
    assert type(error) is TypeError and error.args == ("argument 'blocking': nope",)
    original = ValueError("bad truth")
    assert raised(limiter_class, sec=1, blocking=fake_numpy_bool(__bool__=raiser(original))()) is original


def test_only_the_numpy_module_and_bool_names_qualify(limiter_class):
    for name, module in [("bool_", "numpy.core"), ("boolean", "numpy"), ("bool_", "mynumpy")]:
        cls = fake_numpy_bool(name=name, module=module, __bool__=lambda self: True)
        error = raised(limiter_class, sec=1, blocking=cls())
        assert error.args == ("argument 'blocking': '%s' object cannot be converted to 'PyBool'" % name,)


def test_real_numpy_bools_are_accepted():
    numpy = pytest.importorskip("numpy")
    for cls in (quellgate.RateLimiter, quellgate.AsyncRateLimiter):
        cls(sec=1, blocking=numpy.bool_(True))
        cls(sec=1, blocking=numpy.bool_(False))
    assert blocking_mode_of(
        lambda max_burst: RateLimiter(sec=2**63, max_burst=max_burst, blocking=numpy.bool_(False))
    ) == "non-blocking"
    assert blocking_mode_of(
        lambda max_burst: RateLimiter(sec=2**63, max_burst=max_burst, blocking=numpy.bool_(True))
    ) == "blocking"
    error = raised(RateLimiter, sec=1, blocking=numpy.int64(1))
    assert type(error) is TypeError
    assert str(error) == "argument 'blocking': '%s' object cannot be converted to 'PyBool'" % (
        type(numpy.int64(1)).__qualname__
    )


def test_error_raised_by_a_method_is_a_normalised_instance():
    try:
        RateLimiter()
    except ValueError:
        kind, value, _ = sys.exc_info()
    assert kind is ValueError
    assert type(value) is ValueError
    assert value.args == ("At least one rate limit must be specified",)
