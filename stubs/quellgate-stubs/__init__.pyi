# Types of the quellgate extension module. The classes are built in C++, so
# these annotations are the only place a type checker can learn them from.
import asyncio
from types import TracebackType
from typing import Awaitable, Callable, Dict, Literal, Optional, Tuple, Type, TypeVar, final, overload

from typing_extensions import ParamSpec, Self

__all__ = ["RateLimiter", "AsyncRateLimiter", "StorageError", "remove_shared"]

_P = ParamSpec("_P")
_T = TypeVar("_T")

@final
class RateLimiter:
    """Limits threaded callers: at most `sec` per second, `min` per minute,
    `hour` per hour and `day` per day, counted in fixed windows aligned to the
    Unix epoch (each window `*_window` times its base length), and at most
    `max_burst` permits held at once. A blocking limiter waits with the GIL
    released; a non-blocking one refuses at once."""

    def __new__(
        cls,
        sec: Optional[int] = None,
        min: Optional[int] = None,
        hour: Optional[int] = None,
        day: Optional[int] = None,
        sec_window: Optional[int] = None,
        min_window: Optional[int] = None,
        hour_window: Optional[int] = None,
        day_window: Optional[int] = None,
        blocking: bool = True,
        max_burst: Optional[int] = None,
    ) -> Self: ...
    @classmethod
    def shared(
        cls,
        name: str,
        /,
        *,
        sec: Optional[int] = None,
        min: Optional[int] = None,
        hour: Optional[int] = None,
        day: Optional[int] = None,
        sec_window: Optional[int] = None,
        min_window: Optional[int] = None,
        hour_window: Optional[int] = None,
        day_window: Optional[int] = None,
        blocking: bool = True,
        max_burst: Optional[int] = None,
        mode: Optional[int] = None,
        storage: Optional[str] = None,
        storage_timeout: float = 1.0,
        on_storage_error: Literal["raise", "allow"] = "raise",
        lease: float = 30.0,
        max_keys: Optional[int] = None,
    ) -> Self:
        """A limiter whose windows and burst permits every process of this
        user on this host shares under `name` ([A-Za-z0-9._-]{1,200}), kept
        in shared memory created with permission bits `mode` (0o600 when
        None). The same name with other limits, or with a `mode` other than
        its own, raises ValueError naming both; one owned by another user
        raises PermissionError naming the owner (unless both pass the same
        group-writable `mode` and share its group); OS failures raise
        OSError. `blocking` stays this instance's own.

        With `storage="redis://[[user]:password@]host[:port][/db]"` (or
        "redis+unix:///path?db=N&password=...", or "rediss://..." for TLS,
        with `ssl_ca_certs`, `ssl_certfile`, `ssl_keyfile` and
        `ssl_cert_reqs=required|none` as query parameters, or
        "redis+sentinel://[[user]:password@]host:port[,host:port...]/service[/db]"
        for the master that Redis Sentinel names, "rediss+sentinel://..." over
        TLS, `sentinel_password=...` when the sentinels' differs, or a Cluster's
        "redis+cluster://[[user]:password@]host:port[,host:port...]" and
        "rediss+cluster://..."), the counts live on that Redis server (or the
        Cluster node of the name's slot) instead, shared by every process on
        every host that uses it (`mode` does not apply). `storage_timeout`: seconds for
        connecting and for each reply. A server that cannot be reached
        raises StorageError, or with on_storage_error="allow" admits.
        `lease`: seconds a burst permit stays held when its holder stops
        renewing it (it died, or lost the server).

        `max_keys` (shared memory only; 1024 when None): entries of the
        table of keys in the segment, fixed when the name is created and
        part of its configuration."""
    def acquire(self, cost: int = 1, timeout: Optional[float] = None) -> bool:
        """Takes `cost` places in every window (all or none) and one burst
        permit. True when admitted; False from a non-blocking limiter, or
        once `timeout` seconds passed (given, it waits at most that long
        whatever `blocking` says; 0 tries once). A cost above some window's
        limit, a cost below 1 or a negative or NaN timeout raise ValueError.
        Raises KeyboardInterrupt("Operation interrupted") when a wait is
        interrupted."""
    def reserve(self, cost: int, timeout: Optional[float] = None) -> _Reservation:
        """A context manager: entering acquires as acquire(cost, timeout)
        does (a refusal raises ValueError("Failed to acquire permit")) and
        binds the Reservation, whose settle(actual) records the real cost;
        leaving releases the burst permit and applies `actual - cost` to the
        windows still current."""
    def release(self) -> None:
        """Gives a burst permit back. Window capacity is never given back."""
    def get_remaining(self) -> Dict[str, int]:
        """Remaining capacity under the keys "second", "minute", "hour", "day"
        (the configured ones) and "burst" (when `max_burst` is set; a waiter
        holds its permit while it waits for a full window)."""
    def wait_time(self) -> Optional[float]:
        """Seconds until the first full window rolls over (at least 0.001, at
        most 2**63 ns, about 292 years), or None when no window is full."""
    def key_use(self) -> Optional[Dict[str, int]]:
        """{"live", "max_keys", "refused"} for a limiter whose keys live in a
        bounded table (shared memory): entries counting now, the table's
        size, and admissions refused for want of a free entry. None otherwise."""
    def __enter__(self) -> None:
        """acquire(); a refusal raises ValueError("Failed to acquire permit")."""
    def __exit__(
        self,
        _exc_type: Optional[Type[BaseException]],
        _exc_value: Optional[BaseException],
        _traceback: Optional[TracebackType],
    ) -> Literal[False]:
        """release(); never suppresses the exception."""
    def __getitem__(self, key: str, /) -> "RateLimiter":
        """The same limiter counting for `key` alone: a RateLimiter with
        windows and burst permits of the key's own, under this configuration,
        kept where this limiter keeps its counts. `key` is a str of 1 to 256
        bytes in UTF-8 (else TypeError, ValueError). Views of one key are
        interchangeable; a view takes no further key (TypeError)."""
    def __call__(self, func: Callable[_P, _T]) -> Callable[_P, _T]:
        """Wraps `func`: each call is admitted first (a refusal raises
        ValueError("Failed to acquire permit")) and gives its burst permit
        back when `func` returns or raises. On an `async def` that is when the
        coroutine is created, before it runs: use AsyncRateLimiter to limit
        coroutines. The wrapper carries func's __name__, __qualname__,
        __module__, __doc__ and __wrapped__, as functools.wraps does, and
        binds as a method when it is a class attribute, as a function does."""

@final
class AsyncRateLimiter:
    """The asyncio limiter: the same limits as RateLimiter. Every method
    returns at once a Future of the running event loop; waiting happens on a
    background executor, so a waiting task holds no thread. The first call
    builds the executor, or raises pyo3_runtime.PanicException (a
    BaseException, not importable: match it by type name) when it cannot,
    e.g. for an invalid OSKEN_WORKER_THREADS or OSKEN_BLOCKING_IDLE_MS."""

    def __new__(
        cls,
        sec: Optional[int] = None,
        min: Optional[int] = None,
        hour: Optional[int] = None,
        day: Optional[int] = None,
        sec_window: Optional[int] = None,
        min_window: Optional[int] = None,
        hour_window: Optional[int] = None,
        day_window: Optional[int] = None,
        blocking: bool = True,
        max_burst: Optional[int] = None,
    ) -> Self: ...
    @classmethod
    def shared(
        cls,
        name: str,
        /,
        *,
        sec: Optional[int] = None,
        min: Optional[int] = None,
        hour: Optional[int] = None,
        day: Optional[int] = None,
        sec_window: Optional[int] = None,
        min_window: Optional[int] = None,
        hour_window: Optional[int] = None,
        day_window: Optional[int] = None,
        blocking: bool = True,
        max_burst: Optional[int] = None,
        mode: Optional[int] = None,
        storage: Optional[str] = None,
        storage_timeout: float = 1.0,
        on_storage_error: Literal["raise", "allow"] = "raise",
        lease: float = 30.0,
        max_keys: Optional[int] = None,
    ) -> Self:
        """A limiter whose windows and burst permits every process of this
        user on this host shares under `name` ([A-Za-z0-9._-]{1,200}), kept
        in shared memory created with permission bits `mode` (0o600 when
        None). The same name with other limits, or with a `mode` other than
        its own, raises ValueError naming both; one owned by another user
        raises PermissionError naming the owner (unless both pass the same
        group-writable `mode` and share its group); OS failures raise
        OSError. `blocking` stays this instance's own.

        With `storage="redis://[[user]:password@]host[:port][/db]"` (or
        "redis+unix:///path?db=N&password=...", or "rediss://..." for TLS,
        with `ssl_ca_certs`, `ssl_certfile`, `ssl_keyfile` and
        `ssl_cert_reqs=required|none` as query parameters, or
        "redis+sentinel://[[user]:password@]host:port[,host:port...]/service[/db]"
        for the master that Redis Sentinel names, "rediss+sentinel://..." over
        TLS, `sentinel_password=...` when the sentinels' differs, or a Cluster's
        "redis+cluster://[[user]:password@]host:port[,host:port...]" and
        "rediss+cluster://..."), the counts live on that Redis server (or the
        Cluster node of the name's slot) instead, shared by every process on
        every host that uses it (`mode` does not apply). `storage_timeout`: seconds for
        connecting and for each reply. A server that cannot be reached
        raises StorageError, or with on_storage_error="allow" admits.
        `lease`: seconds a burst permit stays held when its holder stops
        renewing it (it died, or lost the server).

        `max_keys` (shared memory only; 1024 when None): entries of the
        table of keys in the segment, fixed when the name is created and
        part of its configuration."""
    def acquire(self, cost: int = 1, timeout: Optional[float] = None) -> asyncio.Future[Optional[Tuple[()]]]:
        """Resolves to () when admitted and to None when a non-blocking
        limiter refuses or `timeout` seconds passed; both are falsy, so
        compare with None. `cost` and `timeout` as in RateLimiter.acquire.
        An admission nobody ever reads gives its burst permit back when the
        Future is collected."""
    def reserve(self, cost: int, timeout: Optional[float] = None) -> _AsyncReservation:
        """As RateLimiter.reserve, for `async with`."""
    def release(self) -> asyncio.Future[Tuple[()]]:
        """Gives a burst permit back; resolves to ()."""
    def get_remaining(self) -> asyncio.Future[Dict[str, int]]: ...
    def wait_time(self) -> asyncio.Future[Optional[float]]: ...
    def key_use(self) -> asyncio.Future[Optional[Dict[str, int]]]: ...
    def __aenter__(self) -> asyncio.Future[Tuple[()]]:
        """acquire(); a refusal fails with ValueError("Failed to acquire permit")."""
    def __aexit__(
        self,
        _exc_type: Optional[Type[BaseException]],
        _exc_value: Optional[BaseException],
        _traceback: Optional[TracebackType],
    ) -> asyncio.Future[Literal[False]]: ...
    def __getitem__(self, key: str, /) -> "AsyncRateLimiter":
        """The same limiter counting for `key` alone, as RateLimiter's."""
    @overload
    def __call__(self, func: Callable[_P, Awaitable[_T]]) -> Callable[_P, asyncio.Future[_T]]:
        """Wraps `func`: each call returns a Future (not a coroutine: pass it
        to asyncio.ensure_future, not create_task). After admission a
        coroutine function's coroutine runs on the caller's loop; a plain
        function runs on a thread of its own in a copy of the caller's
        context, and an awaitable it returns is awaited on the caller's loop.
        A non-blocking refusal fails with ValueError("Rate limit exceeded").
        The wrapper passes for `func` as RateLimiter's does, and counts as a
        coroutine function (asyncio.iscoroutinefunction, and from 3.12
        inspect.iscoroutinefunction) whatever `func` is: it must be awaited."""
    @overload
    def __call__(self, func: Callable[_P, _T]) -> Callable[_P, asyncio.Future[_T]]: ...

@final
class _Reservation:
    """What RateLimiter.reserve() returns; made by nothing else, and not
    named by the module: the name is for annotations only."""

    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        _exc_type: Optional[Type[BaseException]],
        _exc_value: Optional[BaseException],
        _traceback: Optional[TracebackType],
    ) -> Literal[False]: ...
    def settle(self, actual: int) -> None:
        """Records the real cost (an int >= 0; the last call counts), applied
        when the block is left: more is added without refusal, less gives
        places back. RuntimeError once the block has ended."""

@final
class _AsyncReservation:
    """What AsyncRateLimiter.reserve() returns; as _Reservation."""

    def __aenter__(self) -> asyncio.Future[Self]: ...
    def __aexit__(
        self,
        _exc_type: Optional[Type[BaseException]],
        _exc_value: Optional[BaseException],
        _traceback: Optional[TracebackType],
    ) -> asyncio.Future[Literal[False]]: ...
    def settle(self, actual: int) -> None:
        """As _Reservation.settle."""

class StorageError(ConnectionError):
    """The Redis server of a shared limiter could not be reached, answered
    too late, or refused the work; the message names the server and the cause."""

def remove_shared(name: str, /, *, storage: Optional[str] = None, storage_timeout: float = 1.0) -> None:
    """Deletes a shared limiter's name, and so its counts; limiters still
    open keep working on their own copy until they go. OSError
    (FileNotFoundError) when there is no such name in shared memory. With
    `storage`, deletes the name's keys on that Redis server (no error when
    there are none)."""
