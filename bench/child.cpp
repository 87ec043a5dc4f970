// Child processes for the bench.
#include "bench/child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bench/clock.h"

extern char** environ;

namespace skyhelm::bench {
namespace {

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> merged;
  for (const std::string& entry : extra) merged.push_back(entry);
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view current(*entry);
    const std::string_view name = current.substr(0, current.find('='));
    bool replaced = false;
    for (const std::string& added : extra) {
      if (added.compare(0, name.size() + 1, std::string(name) + "=") == 0) replaced = true;
    }
    if (!replaced) merged.emplace_back(current);
  }
  return merged;
}

std::vector<char*> PointerArray(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& text : strings) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// In the forked child: only async-signal-safe calls until exec.
[[noreturn]] void ExecChild(const char* program, char** argv, char** envp, int out_fd) {
  const int null_fd = open("/dev/null", O_RDWR);
  dup2(null_fd, STDIN_FILENO);
  dup2(out_fd >= 0 ? out_fd : null_fd, STDOUT_FILENO);
  dup2(null_fd, STDERR_FILENO);
  execve(program, argv, envp);
  _exit(127);
}

}  // namespace

std::unique_ptr<Child> Child::Start(const std::string& program,
                                    const std::vector<std::string>& args,
                                    const std::vector<std::string>& env, LineHandler on_line) {
  std::vector<std::string> argv_strings{program};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<std::string> env_strings = MergedEnvironment(env);
  std::vector<char*> argv = PointerArray(argv_strings);
  std::vector<char*> envp = PointerArray(env_strings);

  int pipe_fds[2] = {-1, -1};
  if (on_line && pipe2(pipe_fds, O_CLOEXEC) != 0) return nullptr;
  const pid_t pid = fork();
  if (pid < 0) {
    if (on_line) {
      close(pipe_fds[0]);
      close(pipe_fds[1]);
    }
    return nullptr;
  }
  if (pid == 0) ExecChild(program.c_str(), argv.data(), envp.data(), pipe_fds[1]);

  std::unique_ptr<Child> child(new Child());
  child->pid_ = pid;
  if (on_line) {
    close(pipe_fds[1]);
    child->reader_ = std::thread(&Child::ReadLines, child.get(), pipe_fds[0], std::move(on_line));
  }
  return child;
}

Child::~Child() {
  if (Running()) {
    kill(pid_, SIGTERM);
    for (int i = 0; i < 100 && Running(); ++i) SleepNs(10000000);
    if (Running()) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      reaped_ = true;
    }
  }
  if (reader_.joinable()) reader_.join();
}

bool Child::Running() {
  if (reaped_) return false;
  const pid_t result = waitpid(pid_, nullptr, WNOHANG);
  if (result == pid_ || (result < 0 && errno == ECHILD)) reaped_ = true;
  return !reaped_;
}

void Child::ReadLines(int fd, LineHandler on_line) {
  std::string pending;
  char chunk[4096];
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const std::int64_t read_ns = NowNs();
    pending.append(chunk, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
      on_line(std::string_view(pending).substr(start, end - start), read_ns);
    }
    pending.erase(0, start);
  }
  close(fd);
}

}  // namespace skyhelm::bench
