// Test support: child processes and free loopback ports.
#include "tests/support/child_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>

extern char** environ;

namespace skyhelm::test_support {
namespace {

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Reads a non-blocking pipe until it is empty; closes it (fd = -1) at end of file or on an error.
void ReadPipe(int& fd, std::string& sink) {
  char buffer[65536];
  while (fd >= 0) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      sink.append(buffer, static_cast<size_t>(n));
    } else if (n < 0 && errno == EAGAIN) {
      return;
    } else if (n == 0 || errno != EINTR) {
      close(fd);
      fd = -1;
    }
  }
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::string& program,
                                                  const std::vector<std::string>& args,
                                                  const std::vector<std::string>& env,
                                                  StderrMode stderr_mode) {
  std::unique_ptr<ChildProcess> child(new ChildProcess());  // its destructor closes the pipes
  int out_pipe[2] = {-1, -1};
  int err_pipe[2] = {-1, -1};
  const bool piped = pipe2(out_pipe, O_CLOEXEC) == 0 && pipe2(err_pipe, O_CLOEXEC) == 0;
  child->out_fd_ = out_pipe[0];
  child->err_fd_ = err_pipe[0];
  if (!piped) {
    close(out_pipe[1]);
    return nullptr;
  }
  std::vector<std::string> argv_strings{program};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<std::string> env_strings = env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string name = std::string(*entry).substr(0, std::string(*entry).find('=') + 1);
    if (std::none_of(env.begin(), env.end(), [&](auto& e) { return e.rfind(name, 0) == 0; }))
      env_strings.push_back(*entry);
  }
  std::vector<char*> argv = Pointers(argv_strings);
  std::vector<char*> envp = Pointers(env_strings);

  const pid_t pid = fork();
  if (pid == 0) {
    if (stderr_mode == StderrMode::kAllClosed) {
      for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) close(fd);
      execve(program.c_str(), argv.data(), envp.data());
      _exit(127);
    }
    dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
    dup2(out_pipe[1], STDOUT_FILENO);
    if (stderr_mode == StderrMode::kDiscarded) {
      dup2(open("/dev/null", O_WRONLY), STDERR_FILENO);
    } else {
      dup2(stderr_mode == StderrMode::kIntoStdout ? out_pipe[1] : err_pipe[1], STDERR_FILENO);
    }
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (pid < 0) return nullptr;
  child->pid_ = pid;
  fcntl(child->out_fd_, F_SETFL, O_NONBLOCK);
  fcntl(child->err_fd_, F_SETFL, O_NONBLOCK);
  if (stderr_mode == StderrMode::kNeverRead) std::swap(child->err_fd_, child->unread_err_fd_);
  if (stderr_mode == StderrMode::kReaderGone) {
    close(child->err_fd_);
    child->err_fd_ = -1;
  }
  return child;
}

ChildProcess::~ChildProcess() {
  if (!status_.has_value() && pid_ > 0) {
    kill(pid_, SIGKILL);
    Reap(true);
  }
  if (out_fd_ >= 0) close(out_fd_);
  if (err_fd_ >= 0) close(err_fd_);
  if (unread_err_fd_ >= 0) close(unread_err_fd_);
}

int ChildProcess::UnreadStderrBytes() const {
  int bytes = -1;
  if (unread_err_fd_ < 0 || ioctl(unread_err_fd_, FIONREAD, &bytes) != 0) return -1;
  return bytes;
}

bool ChildProcess::PumpFor(milliseconds timeout) {
  if (out_fd_ < 0 && err_fd_ < 0) return false;
  pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  if (poll(fds, 2, static_cast<int>(timeout.count())) <= 0) return true;
  ReadPipe(out_fd_, out_);
  ReadPipe(err_fd_, err_);
  return true;
}

bool ChildProcess::WaitUntil(const std::function<bool()>& done, milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    // PumpFor is false once both pipes were closed before it: nothing more can come.
    if (std::chrono::steady_clock::now() >= deadline || !PumpFor(milliseconds(10))) return false;
  }
  return true;
}

int ChildProcess::WaitForPort(const std::string& prefix, milliseconds timeout) {
  std::size_t at = 0, end = 0;
  const auto whole_line = [&] {
    at = out_.find(prefix);
    end = at == std::string::npos ? at : out_.find('\n', at);
    return end != std::string::npos;
  };
  if (!WaitUntil(whole_line, timeout)) return 0;
  const std::size_t colon = out_.find(':', at + prefix.size());
  return colon < end ? std::atoi(out_.c_str() + colon + 1) : 0;
}

void ChildProcess::Signal(int signal_number) {
  if (!status_.has_value()) kill(pid_, signal_number);
}

bool ChildProcess::Reap(bool block) {
  int status = 0;
  if (waitpid(pid_, &status, block ? 0 : WNOHANG) != pid_) return false;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

bool ChildProcess::Running() {
  Pump();
  return !status_.has_value() && !Reap(false);
}

std::optional<int> ChildProcess::Wait(milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!status_.has_value() && !Reap(false)) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    if (!PumpFor(milliseconds(5))) usleep(2000);
  }
  Pump();  // what the child left; a grandchild may hold the pipes open, so never wait for the end
  return status_;
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& env, milliseconds timeout) {
  auto child = ChildProcess::Start(program, args, env);
  if (!child) return {};
  return {child->Wait(timeout), child->Stdout(), child->Stderr()};  // in this order
}

int BindOnLoopback(int type, sockaddr_in& address) {
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  address = sockaddr_in{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    return fd;
  close(fd);
  return -1;
}

int FreeLoopbackPort(bool udp) {
  sockaddr_in address{};
  const int fd = BindOnLoopback(udp ? SOCK_DGRAM : SOCK_STREAM, address);
  if (fd < 0) return -1;
  close(fd);
  return ntohs(address.sin_port);
}

int ListenOnLoopback(int backlog, sockaddr_in& address) {
  const int fd = BindOnLoopback(SOCK_STREAM, address);
  if (fd >= 0 && listen(fd, backlog) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string BinPath(const std::string& program) {
  return std::string(SKYHELM_BIN_DIR) + "/" + program;
}

}  // namespace skyhelm::test_support
