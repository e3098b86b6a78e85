// A failure that ends the run: run() prints its message and ends with status 1.
#pragma once

#include <stdexcept>

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};
