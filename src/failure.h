// A failure that ends the run: run() prints its message and ends with status 1.
#pragma once

#include <stdexcept>
#include <string>

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
  bool in_content = false;  // the game file's content caused it: a person may ask where
};

// A failure that the game file's content causes.
inline Failure content_failure(const std::string& what) {
  Failure failure(what);
  failure.in_content = true;
  return failure;
}
