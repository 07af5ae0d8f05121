"""Bad input, generated: every outcome is a result or one of the documented exceptions
with its exact message, never a crash and never a SystemError.

The expected outcome of each call is worked out here from the binding,
conversion and validation rules, independently of the module, and compared
with what the module does.
"""

import asyncio
import gc
import operator
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quellgate
from stress_helpers import SANITIZER, Boom

try:
    import numpy
except ImportError:  # numpy values are simply not generated
    numpy = None

PARAMETERS = ("sec", "min", "hour", "day", "sec_window", "min_window", "hour_window", "day_window", "blocking",
              "max_burst")
PERIODS = (("sec", "second"), ("min", "minute"), ("hour", "hour"), ("day", "day"))
U64_LIMIT = 2**64

FUZZ = settings(max_examples=60 if SANITIZER else 300, deadline=None, database=None,
                suppress_health_check=list(HealthCheck))


# --- values that conversion has to cope with --------------------------------


class IndexReturning:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return "IndexReturning(%r)" % (self.value,)


class IndexRaising:
    """Raises the same instance every time, so the test can tell it passed through untouched."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error

    def __repr__(self):
        return "IndexRaising(%r)" % (self.error,)


class IntByValue(int):
    """An int subclass converts by its value; its own __index__ is never asked."""

    def __index__(self):
        raise AssertionError("an int subclass must convert by value")


class Opaque:
    pass


class TypeErrorSubclass(TypeError):
    pass


def raising_index_errors():
    def with_cause(error):
        error.__cause__ = KeyError("cause")
        return error

    factories = [
        lambda: TypeError("no index"),
        lambda: with_cause(TypeError("caused")),
        lambda: TypeErrorSubclass("subclass keeps its message"),
        lambda: ValueError("bad"),
        lambda: OverflowError("own overflow"),
        lambda: ZeroDivisionError("zero"),
        lambda: KeyError("key"),
    ]
    return st.sampled_from(factories).map(lambda make: IndexRaising(make()))


integers = st.one_of(
    st.integers(min_value=0, max_value=5),
    st.sampled_from([U64_LIMIT - 1, U64_LIMIT, 2**63, -1, -(2**64), 2**100]),
    st.integers(),
)
odd_values = st.one_of(
    integers,
    st.booleans(),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(max_size=4),
    st.binary(max_size=2),
    st.just(Opaque()),
    st.just([1]),
    integers.map(IndexReturning),
    st.one_of(st.text(max_size=2), st.floats(), st.none()).map(IndexReturning),
    raising_index_errors(),
    integers.map(IntByValue),
)
if numpy is not None:
    odd_values = st.one_of(
        odd_values,
        st.booleans().map(numpy.bool_),
        st.integers(min_value=-(2**63), max_value=2**63 - 1).map(numpy.int64),
        st.integers(min_value=0, max_value=2**64 - 1).map(numpy.uint64),
        st.floats(allow_nan=False).map(numpy.float64),
    )


# --- the expected outcome ------------------------------------------------------


class Expected:
    """Either a value check or an exception: its exact class and message, or the very object."""

    def __init__(self, error_type=None, message=None, same_object=None, cause=None, remaining=None):
        self.error_type = error_type
        self.message = message
        self.same_object = same_object
        self.cause = cause
        self.remaining = remaining

    def __repr__(self):
        return "Expected(%r, %r, same=%r, remaining=%r)" % (self.error_type, self.message, self.same_object,
                                                            self.remaining)


class Refused(Exception):
    """Carries the expected outcome out of the oracle's nested steps."""

    def __init__(self, expected):
        Exception.__init__(self)
        self.expected = expected


def refuse(error_type, message, cause=None):
    raise Refused(Expected(error_type, message, cause=cause))


def bind(full_name, names, required, args, kwargs):
    """Slots by parameter name, as the binding rules fill them."""
    if len(args) > len(names):
        verb = "was" if len(args) == 1 else "were"
        if required != len(names):
            refuse(TypeError, "%s takes from %d to %d positional arguments but %d %s given"
                   % (full_name, required, len(names), len(args), verb))
        refuse(TypeError, "%s takes %d positional arguments but %d %s given" % (full_name, len(names), len(args), verb))
    slots = dict(zip(names, args))
    for key, value in kwargs.items():
        if key not in names:
            refuse(TypeError, "%s got an unexpected keyword argument '%s'" % (full_name, key))
        if key in slots:
            refuse(TypeError, "%s got multiple values for argument '%s'" % (full_name, key))
        slots[key] = value
    missing = [name for name in names[:required] if name not in slots]
    if missing:
        quoted = ["'%s'" % name for name in missing]
        listed = quoted[0] if len(quoted) == 1 else (
            " and ".join(quoted) if len(quoted) == 2 else ", ".join(quoted[:-1]) + ", and " + quoted[-1])
        refuse(TypeError, "%s missing %d required positional %s: %s"
               % (full_name, len(missing), "argument" if len(missing) == 1 else "arguments", listed))
    return slots


def convert_unsigned(name, value):
    if value is None:
        return None
    if isinstance(value, int):
        number = int.__index__(value)
    else:
        try:
            number = operator.index(value)
        except BaseException as error:
            if type(error) is TypeError:
                refuse(TypeError, "argument '%s': %s" % (name, error), cause=error.__cause__)
            raise Refused(Expected(same_object=error))
    if number < 0:
        refuse(OverflowError, "can't convert negative int to unsigned")
    if number >= U64_LIMIT:
        refuse(OverflowError, "int too big to convert")
    return number


def convert_flag(value):
    if type(value) is bool:
        return value
    kind = type(value)
    if getattr(kind, "__module__", None) == "numpy" and kind.__name__ in ("bool_", "bool"):
        truth = kind.__bool__(value)
        if type(truth) is not bool:
            refuse(TypeError, "argument 'blocking': '%s' object cannot be converted to 'PyBool'"
                   % type(truth).__qualname__)
        return truth
    refuse(TypeError, "argument 'blocking': '%s' object cannot be converted to 'PyBool'" % kind.__qualname__)


def expected_construction(class_name, args, kwargs):
    try:
        slots = bind("%s.__new__()" % class_name, PARAMETERS, 0, args, kwargs)
        values = {}
        for name in PARAMETERS:
            if name == "blocking":
                values[name] = convert_flag(slots["blocking"]) if "blocking" in slots else True
            else:
                values[name] = convert_unsigned(name, slots.get(name))
        for keyword, unit in PERIODS:
            if values[keyword] == 0:
                refuse(ValueError, "Rate limit for %s must be greater than 0" % unit)
        for keyword, _unit in PERIODS:
            if values[keyword] is not None and values[keyword + "_window"] == 0:
                refuse(ValueError, "%s_window must be greater than 0" % keyword)
        remaining = {unit: values[keyword] for keyword, unit in PERIODS if values[keyword] is not None}
        if not remaining:
            refuse(ValueError, "At least one rate limit must be specified")
        if values["max_burst"] == 0:
            refuse(ValueError, "max_burst must be greater than 0")
        if values["max_burst"] is not None:
            remaining["burst"] = values["max_burst"]
        return Expected(remaining=remaining)
    except Refused as refused:
        return refused.expected


def assert_raised_as_expected(error, expected):
    assert not isinstance(error, SystemError), repr(error)
    if expected.same_object is not None:
        assert error is expected.same_object, (error, expected)
        return
    assert type(error) is expected.error_type, (error, expected)
    assert str(error) == expected.message, (error, expected)
    assert error.__cause__ is expected.cause, (error.__cause__, expected.cause)


# --- constructor calls --------------------------------------------------------


@st.composite
def constructor_calls(draw):
    """Mostly sensible arguments with a few odd ones, split between positions and keywords."""
    values = {}
    for name in PARAMETERS:
        if draw(st.booleans()):
            if name == "blocking":
                values[name] = draw(st.booleans())
            else:
                values[name] = draw(st.one_of(st.integers(min_value=0, max_value=3), st.just(U64_LIMIT - 1)))
    for name in draw(st.lists(st.sampled_from(PARAMETERS), max_size=3)):
        values[name] = draw(odd_values)
    positional_count = draw(st.integers(min_value=0, max_value=10))
    args = [values.pop(name, None) for name in PARAMETERS[:positional_count]]
    args += draw(st.lists(odd_values, max_size=2)) if draw(st.integers(0, 9)) == 0 else []
    kwargs = dict(values)
    extra = draw(st.sampled_from([None, "duplicate", "unknown"]))
    if extra == "duplicate" and positional_count:
        kwargs[draw(st.sampled_from(PARAMETERS[:positional_count]))] = draw(odd_values)
    elif extra == "unknown":
        kwargs[draw(st.sampled_from(["seconds", "burst", "Sec", "window", "max_bursts"]))] = 1
    shuffled = draw(st.permutations(list(kwargs)))
    return args, {key: kwargs[key] for key in shuffled}


# numpy 1.x warns that its bool_ will stop acting as an index; the rules
# here and the module both still take it as one.
@pytest.mark.filterwarnings("ignore:In future, it will be an error for 'np.bool:DeprecationWarning")
@pytest.mark.parametrize("cls", [quellgate.RateLimiter, quellgate.AsyncRateLimiter], ids=lambda c: c.__name__)
@FUZZ
@given(call=constructor_calls())
def test_constructor_outcome_is_exactly_the_one_the_rules_give(cls, call):
    args, kwargs = call
    expected = expected_construction(cls.__name__, args, kwargs)
    try:
        limiter = cls(*args, **kwargs)
    except BaseException as error:
        assert_raised_as_expected(error, expected)
        return
    assert expected.remaining is not None, "constructed, but %r was expected" % (expected,)
    assert type(limiter) is cls
    if cls is quellgate.RateLimiter:
        assert limiter.get_remaining() == expected.remaining
        assert limiter.wait_time() is None


# --- the decorator --------------------------------------------------------------

names_for_func = st.sampled_from(["func", "function", "f", "fn", "callable"])


@pytest.mark.parametrize("cls", [quellgate.RateLimiter, quellgate.AsyncRateLimiter], ids=lambda c: c.__name__)
@FUZZ
@given(args=st.lists(odd_values, max_size=3), kwargs=st.dictionaries(names_for_func, odd_values, max_size=2))
def test_decorator_binding_takes_exactly_one_func(cls, args, kwargs):
    limiter = cls(sec=5)
    try:
        expected = bind("%s.__call__()" % cls.__name__, ("func",), 1, args, kwargs)
    except Refused as refused:
        with pytest.raises(BaseException) as info:
            limiter(*args, **kwargs)
        assert_raised_as_expected(info.value, refused.expected)
        return
    wrapper = limiter(*args, **kwargs)
    assert type(wrapper).__name__ == "LimitedFunction"
    assert wrapper.__wrapped__ is expected["func"]


keyword_names = st.text(min_size=1, max_size=6).filter(lambda name: "\x00" not in name)
call_arguments = st.tuples(st.lists(odd_values, max_size=4), st.dictionaries(keyword_names, odd_values, max_size=4))
sync_raised = st.sampled_from([None, None, Boom, ValueError, KeyError, KeyboardInterrupt, SystemExit, StopIteration,
                               GeneratorExit, ZeroDivisionError])


def echo_or_raise(raises):
    def body(*args, **kwargs):
        if raises is not None:
            raise raises("from the function")
        return args, kwargs

    return body


@FUZZ
@given(call=call_arguments, raises=sync_raised, blocking=st.booleans())
def test_rate_limiter_wrapper_passes_any_arguments_and_any_exception_through(call, raises, blocking):
    args, kwargs = call
    limiter = quellgate.RateLimiter(sec=2**62, blocking=blocking, max_burst=1)
    wrapper = limiter(echo_or_raise(raises))
    if raises is None:
        received_args, received_kwargs = wrapper(*args, **kwargs)
        assert received_args == tuple(args) and all(a is b for a, b in zip(received_args, args))
        assert list(received_kwargs.items()) == list(kwargs.items())
    else:
        with pytest.raises(raises) as info:
            wrapper(*args, **kwargs)
        assert type(info.value) is raises and info.value.args == ("from the function",)
    assert limiter.get_remaining()["burst"] == 1


class AwaitLookupFails:
    """__await__ lookup that raises something other than AttributeError: not awaitable."""

    @property
    def __await__(self):
        raise RuntimeError("lookup trouble")


class AwaitNotCallable:
    """Looks awaitable, so it is awaited; the await itself fails."""

    __await__ = 5


class AwaitOnInstance:
    """__await__ only on the instance: awaited by the module, refused by asyncio.ensure_future."""

    def __init__(self):
        self.__await__ = lambda: iter(())


async def produce(value):
    await asyncio.sleep(0)
    return value


def returned_values():
    plain = st.one_of(st.none(), st.integers(), st.text(max_size=3), st.just(Opaque()))
    return st.one_of(
        plain.map(lambda value: ("value", value)),
        plain.map(lambda value: ("coroutine", value)),
        st.just(("lookup fails", AwaitLookupFails())),
        st.just(("not callable", AwaitNotCallable())),
        st.just(("refused by ensure_future", AwaitOnInstance())),
        st.sampled_from([Boom, ValueError, KeyError, ZeroDivisionError, RuntimeError]).map(lambda e: ("raises", e)),
    )


def surrogate_key(kwargs):
    """The first keyword whose name has no UTF-8 form, with the error its encoding raises."""
    for key in kwargs:
        try:
            key.encode("utf-8")
        except UnicodeEncodeError as error:
            return error
    return None


@pytest.fixture
def loop():
    loop = asyncio.new_event_loop()
    reported = []
    # Only the class is kept: the exception's traceback would keep the failed
    # callback, and with it the channel its waiting job listens on, alive.
    loop.set_exception_handler(lambda _loop, context: reported.append(type(context.get("exception"))))
    loop.reported = reported
    yield loop
    loop.close()


@FUZZ
@given(call=call_arguments | st.tuples(
    st.lists(odd_values, max_size=2), st.dictionaries(st.sampled_from(["\ud800", "ok\udfff", "plain"]), odd_values,
                                                     min_size=1, max_size=3)),
    returned=returned_values())
def test_async_wrapper_outcome_is_the_value_the_awaitable_or_the_exact_error(loop, call, returned):
    args, kwargs = call
    kind, value = returned
    limiter = quellgate.AsyncRateLimiter(sec=2**62, max_burst=1)
    received = []

    def body(*call_args, **call_kwargs):
        received.append((call_args, call_kwargs))
        if kind == "raises":
            raise value("from the function")
        if kind == "coroutine":
            return produce(value)
        return value

    wrapper = limiter(body)
    bad_key = surrogate_key(kwargs)

    async def call_and_look():
        if bad_key is not None:
            with pytest.raises(UnicodeEncodeError) as info:
                wrapper(*args, **kwargs)
            assert str(info.value) == str(bad_key)
            return None
        future = wrapper(*args, **kwargs)
        if kind == "refused by ensure_future":
            # The refusal's traceback holds the channel in a reference cycle,
            # so the waiting job hears of it only once the collector runs.
            for _ in range(500):
                if future.done():
                    break
                await asyncio.sleep(0.01)
                gc.collect()
        try:
            return ("result", await asyncio.wait_for(future, 10))
        except BaseException as error:  # compared with the expected outcome below
            return ("raised", error)

    async def burst():
        return (await limiter.get_remaining())["burst"]

    del loop.reported[:]
    outcome = loop.run_until_complete(call_and_look())
    assert loop.run_until_complete(burst()) == 1
    if bad_key is not None:
        assert received == []
        return
    assert len(received) == 1
    received_args, received_kwargs = received[0]
    assert received_args == tuple(args) and all(a is b for a, b in zip(received_args, args))
    assert received_kwargs == kwargs and all(received_kwargs[key] is kwargs[key] for key in kwargs)
    if kind in ("value", "coroutine", "lookup fails"):
        assert outcome[0] == "result" and outcome[1] is value, outcome
    elif kind == "not callable":
        with pytest.raises(TypeError) as info:
            value.__await__()
        assert outcome[0] == "raised" and type(outcome[1]) is TypeError, outcome
        assert str(outcome[1]) == str(info.value)
    elif kind == "refused by ensure_future":
        # The loop reports the refusal; the waiting job sees its task abandoned.
        assert outcome[0] == "raised" and type(outcome[1]) is asyncio.CancelledError, outcome
        assert TypeError in loop.reported, loop.reported
    else:
        assert outcome[0] == "raised" and type(outcome[1]) is value, outcome
        assert outcome[1].args == ("from the function",)


def test_async_wrapper_keeps_keyword_names_with_nul_characters(loop):
    limiter = quellgate.AsyncRateLimiter(sec=2**62)
    wrapper = limiter(lambda **kwargs: kwargs)
    kwargs = {"a\x00b": 1, "a\x00c": 2}

    async def call():
        return await wrapper(**kwargs)

    assert loop.run_until_complete(call()) == kwargs
