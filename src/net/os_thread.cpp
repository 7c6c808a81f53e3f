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

#if defined(_WIN32)
// Thread descriptions came with Windows 10 1607 (and are missing from older
// MinGW headers): looked up at run time, so the program still starts on an
// older system and simply leaves its threads unnamed there.
using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
using GetDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);

template <class F>
F kernel_function(const char* name) {
  const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return nullptr;
  // Through void(*)(), the one function pointer type GCC lets any other become.
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(::GetProcAddress(kernel, name)));
}
#endif
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
  static const auto set_description = kernel_function<SetDescription>("SetThreadDescription");
  if (set_description != nullptr) {
    try {
      const std::wstring wide(name.begin(), name.end());
      set_description(::GetCurrentThread(), wide.c_str());
    } catch (...) {
      // Out of memory: the thread stays unnamed for the system.
    }
  }
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
  static const auto get_description = kernel_function<GetDescription>("GetThreadDescription");
  PWSTR description = nullptr;
  if (get_description != nullptr && SUCCEEDED(get_description(::GetCurrentThread(), &description))) {
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
