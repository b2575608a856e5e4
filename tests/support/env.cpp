#include "support/env.hpp"

#include <stdlib.h>

#include <utility>

namespace nalto::testing {

namespace {

std::optional<std::string> current_env(const std::string& name) {
  const char* value = ::getenv(name.c_str());
  return value ? std::optional<std::string>(value) : std::nullopt;
}

void set_env(const std::string& name, const std::optional<std::string>& value) {
  if (value) {
    ::setenv(name.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name.c_str());
  }
}

}  // namespace

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value)
    : name_(std::move(name)), previous_(current_env(name_)) {
  set_env(name_, value);
}

ScopedEnv::ScopedEnv(std::string name, const char* value)
    : ScopedEnv(std::move(name), value ? std::optional<std::string>(value) : std::nullopt) {}

ScopedEnv::~ScopedEnv() {
  set_env(name_, previous_);
}

}  // namespace nalto::testing
