// A headless GL context for tests. Under CI=true a context that cannot be made fails the test;
// elsewhere the test is skipped with the reason.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/headless/headless_context.h"

namespace vl::test {

inline bool RunningInCi() {
  const char* ci = std::getenv("CI");
  return ci && std::strcmp(ci, "true") == 0;
}

// Use as VL_REQUIRE_GL(gl, w, h); then gl is the context; without one the macro has already
// failed or skipped the test.
// NOLINTBEGIN(bugprone-macro-parentheses): `var` is the name the macro declares
#define VL_REQUIRE_GL(var, w, h) \
  std::string var##_error; \
  auto var = ::vl::headless::HeadlessContext::Create((w), (h), &var##_error); \
  if (!(var)) { \
    if (::vl::test::RunningInCi()) FAIL() << var##_error; \
    GTEST_SKIP() << "no headless OpenGL context (" << var##_error << ")"; \
  }
// NOLINTEND(bugprone-macro-parentheses)

// For a test body running in a child process: a small context, or null with `report` saying why.
inline std::unique_ptr<::vl::headless::HeadlessContext> ChildGlContext(std::string& report) {
  std::string error;
  auto gl = ::vl::headless::HeadlessContext::Create(16, 16, &error);
  if (!gl) report = "no GL context: " + error;
  return gl;
}

}  // namespace vl::test
