#pragma once
#include <string>

namespace quellgate::redis_store {

// What the caller raises for a failed store operation.
enum class StoreErrorKind {
  config,       // a bad URL, name or configuration: ValueError
  storage,      // the server could not be reached or refused the work: StorageError
  unavailable,  // this build has no Redis support
};

struct StoreError {
  StoreErrorKind kind;
  std::string message;
};

}  // namespace quellgate::redis_store
