#pragma once
#include <memory>

#include "frame/closure.hpp"

namespace quellgate {

// What a limiter used as a decorator returns: a callable that runs `state`
// and passes for the callable it wraps. It gets what functools.update_wrapper
// gives (__module__, __name__, __qualname__, __doc__, __annotations__, the
// wrapped callable's __dict__, and __wrapped__, which inspect.signature
// follows) and an instance dict and weak references, as a function has; as an
// attribute of a class it binds to the instance, as a function does. Web
// frameworks register and introspect it as the function it wraps.
//
// `returns_awaitable`: each call gives something to await, so the wrapper is
// marked as a coroutine function, for asyncio.iscoroutinefunction on every
// version and for inspect.iscoroutinefunction from 3.12 (which recognises
// nothing but Python functions before that). Frameworks ask them whether to
// await a callable or to run it on a thread. Lock held.
Result<PyRef> make_decorated_function(std::unique_ptr<Closure> state, PyObject* wrapped, bool returns_awaitable);

// Whether calling `func` gives a coroutine, as asyncio.iscoroutinefunction
// answers, without importing asyncio for a function that cannot be one: while
// neither asyncio nor inspect is loaded, nothing can carry their marks, so
// only the code of an `async def` can say so. Lock held; an error in asking
// counts as "no".
bool is_coroutine_function_cheaply(PyObject* func);

}  // namespace quellgate
