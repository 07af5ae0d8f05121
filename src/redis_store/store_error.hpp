#pragma once
#include <string>

namespace quellgate::redis_store {

// What the caller raises for a failed store operation.
enum class StoreErrorKind {
  config,       // a bad URL, name or configuration, or a key of the wrong type at the name: ValueError
  storage,      // the server could not be reached (refused, reset, timed out): StorageError,
                // and the only kind on_storage_error="allow" admits through
  refused,      // the server answered with an error (a wrong password, a bad database,
                // a read-only replica...): StorageError, whatever on_storage_error says
  interrupted,  // the calling thread's watch ended the wait (a signal handler raised)
  unavailable,  // this build has no Redis support
};

struct StoreError {
  StoreErrorKind kind;
  std::string message;
};

}  // namespace quellgate::redis_store
