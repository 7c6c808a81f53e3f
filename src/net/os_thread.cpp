#include "net/os_thread.hpp"

#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace kestrel::net {

namespace {
// The name as given: some systems keep only a prefix (Linux: 15 characters),
// and reports should name the thread in full.
thread_local std::string given_thread_name;
}  // namespace

std::size_t processor_count() noexcept {
#if defined(_WIN32)
  SYSTEM_INFO info;
  ::GetSystemInfo(&info);
  const std::size_t count = info.dwNumberOfProcessors;
#else
  const std::size_t count = std::thread::hardware_concurrency();
#endif
  return count == 0 ? 1 : count;
}

void set_current_thread_name(std::string_view name) noexcept {
  try {
    given_thread_name = name;
  } catch (...) {
    // Out of memory: reports fall back to the name the OS kept.
  }
#if defined(_WIN32)
  std::wstring wide(name.begin(), name.end());
  ::SetThreadDescription(::GetCurrentThread(), wide.c_str());
#elif defined(__linux__)
  char buffer[16] = {};  // the kernel keeps 15 characters
  name.copy(buffer, sizeof buffer - 1);
  ::pthread_setname_np(::pthread_self(), buffer);
#elif defined(__APPLE__)
  ::pthread_setname_np(std::string(name).c_str());
#else
  (void)name;
#endif
}

std::string current_thread_name() {
  if (!given_thread_name.empty()) return given_thread_name;
  std::string name;
#if defined(_WIN32)
  PWSTR description = nullptr;
  if (SUCCEEDED(::GetThreadDescription(::GetCurrentThread(), &description))) {
    for (const wchar_t* p = description; *p != L'\0'; ++p) {
      name.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');
    }
    ::LocalFree(description);
  }
#elif defined(__linux__) || defined(__APPLE__)
  char buffer[64] = {};
  if (::pthread_getname_np(::pthread_self(), buffer, sizeof buffer) == 0) name = buffer;
#endif
  return name.empty() ? "<unnamed>" : name;
}

}  // namespace kestrel::net
