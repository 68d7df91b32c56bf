#pragma once

#include <string>

#include <exception>
#include <utility>

#include "base/reporting.h"

namespace drv {

// The text of the exception being handled; only to be called inside a catch block.
inline std::string CurrentExceptionText() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

namespace detail {

// A reporter that fails must not turn a reported error into a new, unhandled one.
inline void ReportQuietly(Reporter& reporter, const char* where, const char* what) noexcept {
  try {
    reporter.ReportException(where != nullptr ? where : "", what);
  } catch (...) {
  }
}

}  // namespace detail

// Runs one handler's body the way every event of the program is run: an error that escapes
// the body goes to the general exception report and the handler is left; the program goes
// on with its next event. Returns true when the body finished, false when it was cut short.
template <class F>
bool RunGuarded(Reporter& reporter, const char* where, F&& body) noexcept {
  try {
    std::forward<F>(body)();
    return true;
  } catch (const std::exception& e) {
    detail::ReportQuietly(reporter, where, e.what());
  } catch (...) {
    detail::ReportQuietly(reporter, where, "unknown error");
  }
  return false;
}

}  // namespace drv
