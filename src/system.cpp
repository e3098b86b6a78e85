// What both sides of the system share.
#include "system.h"

#include <memory>
#include <system_error>
#include <thread>

std::function<void()> start_std_thread(std::function<void()> task) {
  try {
    auto thread = std::make_shared<std::thread>(std::move(task));
    return [thread] { thread->join(); };
  } catch (const std::system_error&) {
    return nullptr;
  }
}
