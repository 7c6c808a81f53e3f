#include "python/panic_boundary.hpp"

#include <cstdlib>
#include <string_view>

#include "core/console.hpp"
#include "core/failure.hpp"
#include "core/texts.hpp"
#include "net/panic.hpp"
#include "python/errors.hpp"
#include "python/process_state.hpp"

namespace kestrel::py {
namespace {

[[noreturn]] void abort_at_boundary() noexcept {
  console::err_line(texts::kPanicAtBoundary);
  std::abort();
}

}  // namespace

void raise_panic(const char* message) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) abort_at_boundary();
  std::string_view text = message != nullptr ? std::string_view(message) : texts::kUnknownError;
  PyObject* argument = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (argument == nullptr) abort_at_boundary();
  PyErr_SetObject(type, argument);
  Py_DECREF(argument);
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (PyError& error) {
    std::move(error).restore();
  } catch (const InternalFailure& failure) {
    // Reported like a failure inside background work, from the thread that
    // made the call, before Python sees the exception.
    net::report_panic(&failure.where(), failure.what());
    raise_panic(failure.what());
  } catch (const std::exception& failure) {
    raise_panic(failure.what());
  } catch (...) {
    raise_panic(nullptr);
  }
}

}  // namespace kestrel::py
