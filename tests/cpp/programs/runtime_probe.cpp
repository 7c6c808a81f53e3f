// Creates the background runtime under whatever environment it was started
// with and prints what came of it, one "key=value" line each:
//   runtime_probe threads  -- workers, named threads, processors; or the
//                             failure and the failure of a second request
//   runtime_probe nofile   -- the same with no file descriptors to spare
//                             (POSIX only: Windows has no such limit)
//   runtime_probe exit     -- returns from main while tasks run and a
//                             blocking job sleeps; must exit at once
#if defined(_WIN32)
#include <windows.h>
// After <windows.h>, which it needs.
#include <tlhelp32.h>
#else
#include <sys/resource.h>
#endif

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <thread>

#include "core/failure.hpp"
#include "net/os_thread.hpp"
#include "net/runtime.hpp"
#include "net/task.hpp"
#include "net/worker_config.hpp"

namespace asio = boost::asio;
using kestrel::net::background_runtime;

namespace {

// The names the system gives this process's threads, as "name xN" items
// ("<unnamed>" for none), and how many carry the runtime's name. Linux keeps
// 15 characters of it ("tokio-runtime-w"), Windows all of it.
#if defined(_WIN32)
constexpr const char* kRuntimeThreadName = "tokio-runtime-worker";

std::map<std::string, int> thread_names() {
  using GetDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);
  const auto get_description = reinterpret_cast<GetDescription>(reinterpret_cast<void (*)()>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
  std::map<std::string, int> names;
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return names;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != ::GetCurrentProcessId()) continue;
    std::string name;
    const HANDLE thread = ::OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID);
    PWSTR description = nullptr;
    if (thread != nullptr && get_description != nullptr && SUCCEEDED(get_description(thread, &description))) {
      for (const wchar_t* p = description; *p != L'\0'; ++p)
        name.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');
      ::LocalFree(description);
    }
    if (thread != nullptr) ::CloseHandle(thread);
    ++names[name.empty() ? "<unnamed>" : name];
  }
  ::CloseHandle(snapshot);
  return names;
}

void set_environment(const char* name, const char* value) { ::SetEnvironmentVariableA(name, value); }
#else
constexpr const char* kRuntimeThreadName = "tokio-runtime-w";

std::map<std::string, int> thread_names() {
  std::map<std::string, int> names;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    ++names[name.empty() ? "<unnamed>" : name];
  }
  return names;
}

void set_environment(const char* name, const char* value) { ::setenv(name, value, 1); }
#endif

std::string show(const std::map<std::string, int>& names) {
  std::string out;
  for (const auto& [name, count] : names) {
    out += (out.empty() ? "" : ", ") + name + " x" + std::to_string(count);
  }
  return out;
}

void request_twice() {
  try {
    const std::size_t workers = background_runtime().worker_count();
    std::cout << "workers=" << workers << "\n";
    const auto names = thread_names();
    const auto named = names.find(kRuntimeThreadName);
    std::cout << "named=" << (named == names.end() ? 0 : named->second) << "\n";
    std::cout << "thread_names=" << show(names) << "\n";
    std::cout << "processors=" << kestrel::net::processor_count() << "\n";
    // Read once: a later change has no effect.
    set_environment(kestrel::net::kWorkerThreadsVariable, "3");
    const std::size_t again = background_runtime().worker_count();
    std::cout << "workers_again=" << again << "\n";
  } catch (const kestrel::InternalFailure& e) {
    std::cout << "error=" << e.what() << "\n";
    try {
      background_runtime();
      std::cout << "again=created\n";
    } catch (const kestrel::InternalFailure& again) {
      std::cout << "again=" << again.what() << "\n";
    }
  }
}

// Each task gets a strand of its own, so none waits for another.
asio::any_io_executor new_strand() { return asio::make_strand(background_runtime().context()); }

asio::awaitable<void> tick_forever() {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  for (;;) {
    timer.expires_after(std::chrono::milliseconds(1));
    co_await timer.async_wait(asio::use_awaitable);
  }
}

asio::awaitable<void> sleep_blocking() {
  co_await background_runtime().run_blocking([] { std::this_thread::sleep_for(std::chrono::hours(1)); });
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "threads";
  if (mode == "nofile") {
#if defined(_WIN32)
    std::cout << "unsupported=nofile\n";
    return 2;
#else
    // Only the three standard streams fit: the runtime's epoll cannot open.
    rlimit limit{3, 3};
    ::setrlimit(RLIMIT_NOFILE, &limit);
#endif
  }
  if (mode == "exit") {
    for (int i = 0; i < 8; ++i) kestrel::net::spawn_detached_on(new_strand(), tick_forever());
    kestrel::net::spawn_detached_on(new_strand(), sleep_blocking());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::cout << "leaving" << std::endl;
    return 0;
  }
  request_twice();
  return 0;
}
