#pragma once
// An interpreter embedded in the test executable, with quellgate built in, so
// that the module's frame (references, the interpreter lock, the bridge to
// asyncio) runs under the same sanitizers as the engine and the executor.
#include <string>

#include "frame/python.hpp"

namespace quellgate::testing {

// Runs Python statements in a fresh namespace, holding the interpreter lock,
// and returns str() of the value they bind to `result`. A raised exception
// comes back as "raised: <type>: <message>".
std::string run_python(const std::string& statements);

}  // namespace quellgate::testing
