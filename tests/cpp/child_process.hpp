// Runs one of the build's helper programs as a child process, with one
// environment variable set or removed and everything else inherited, and
// collects its standard output. POSIX: posix_spawn and a pipe; Windows:
// CreateProcessW with an environment block of its own and a pipe.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#if defined(_WIN32)
#include <windows.h>

#include <thread>
#else
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace kestrel::test_support {

struct ChildRun {
  std::string out;      // everything written to standard output
  bool exited = false;  // ended by itself within the patience
  int exit_code = -1;
};

#if defined(_WIN32)

// UTF-8 to UTF-16, where a surrogate in its three-byte form (which no valid
// UTF-8 has) becomes that lone surrogate: how a test hands Windows a value
// that is not text.
inline std::wstring widen(std::string_view s) {
  std::wstring out;
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    std::uint32_t cp = n == 1 ? b : n == 2 ? b & 0x1Fu : n == 3 ? b & 0x0Fu : b & 0x07u;
    if (n == 0 || i + n > s.size()) {
      cp = 0xFFFD;
      n = 1;
    }
    for (std::size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3Fu);
    i += n;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<wchar_t>(cp));
    }
  }
  return out;
}

// Beside the running test binary: the build puts every program there.
inline std::wstring program_path(const std::string& name) {
  wchar_t self[MAX_PATH + 1];
  const DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH + 1);
  std::wstring path(self, n);
  path.resize(path.find_last_of(L"\\/") + 1);
  return path + widen(name) + L".exe";
}

inline ChildRun run_program(const std::string& name, const std::vector<std::string>& args,
                            const std::string& variable, const std::optional<std::string>& value,
                            std::chrono::seconds patience) {
  std::wstring environment;
  const std::wstring prefix = widen(variable) + L"=";
  if (wchar_t* inherited = ::GetEnvironmentStringsW()) {
    for (const wchar_t* e = inherited; *e != L'\0'; e += std::wstring_view(e).size() + 1) {
      const std::wstring_view entry(e);
      if (entry.starts_with(prefix)) continue;
      environment.append(entry);
      environment.push_back(L'\0');
    }
    ::FreeEnvironmentStringsW(inherited);
  }
  if (value) {
    environment += prefix + widen(*value);
    environment.push_back(L'\0');
  }
  environment.push_back(L'\0');

  const std::wstring program = program_path(name);
  std::wstring command = L"\"" + program + L"\"";
  for (const auto& arg : args) command += L" \"" + widen(arg) + L"\"";

  ChildRun run;
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!::CreatePipe(&read_end, &write_end, &inheritable, 0)) return run;
  ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = write_end;
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  const BOOL started =
      ::CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                       environment.data(), nullptr, &startup, &process);
  ::CloseHandle(write_end);
  if (!started) {
    ::CloseHandle(read_end);
    return run;
  }
  std::thread reader([&] {
    char buffer[4096];
    DWORD n = 0;
    while (::ReadFile(read_end, buffer, sizeof buffer, &n, nullptr) && n > 0) run.out.append(buffer, n);
  });
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(patience).count();
  run.exited = ::WaitForSingleObject(process.hProcess, static_cast<DWORD>(ms)) == WAIT_OBJECT_0;
  if (!run.exited) {
    ::TerminateProcess(process.hProcess, 1);
    ::WaitForSingleObject(process.hProcess, INFINITE);
  }
  reader.join();
  DWORD code = 0;
  if (run.exited && ::GetExitCodeProcess(process.hProcess, &code)) run.exit_code = static_cast<int>(code);
  ::CloseHandle(read_end);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return run;
}

#else

inline std::string program_path(const std::string& name) { return KESTREL_PROGRAM_DIR "/" + name; }

inline ChildRun run_program(const std::string& name, const std::vector<std::string>& args,
                            const std::string& variable, const std::optional<std::string>& value,
                            std::chrono::seconds patience) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string_view(*e).starts_with(variable + "=")) continue;
    env.emplace_back(*e);
  }
  if (value) env.push_back(variable + "=" + *value);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  std::string program = program_path(name);
  std::vector<std::string> arg_copies = args;
  std::vector<char*> argv{program.data()};
  for (auto& arg : arg_copies) argv.push_back(arg.data());
  argv.push_back(nullptr);

  ChildRun run;
  int out[2];
  if (::pipe(out) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (spawned != 0) {
    ::close(out[0]);
    return run;
  }

  const auto deadline = std::chrono::steady_clock::now() + patience;
  bool eof = false;
  while (!eof && std::chrono::steady_clock::now() < deadline) {
    pollfd p{out[0], POLLIN, 0};
    if (::poll(&p, 1, 1000) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n <= 0)
      eof = true;
    else
      run.out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  if (!eof) ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.exited = eof && WIFEXITED(status);
  if (run.exited) run.exit_code = WEXITSTATUS(status);
  return run;
}

#endif

}  // namespace kestrel::test_support
