// Child processes for the bench: the bridge and the stand-in simulator, started with extra
// environment, their standard output read line by line, always stopped and reaped.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace skyhelm::bench {

// Called on the reader thread for each complete line (without its line feed), with the
// monotonic time at which the read that completed it returned.
using LineHandler = std::function<void(std::string_view line, std::int64_t read_ns)>;

class Child {
 public:
  // Starts `program` with argv[1...] = args; `env` entries "NAME=VALUE" are added to this
  // process's environment. Standard input and standard error are /dev/null (the bridge writes an
  // acknowledgement per command there, which nobody here reads). When on_line is given, standard
  // output is read on a thread of its own and every line handed to it; otherwise it is /dev/null.
  // nullptr when the program cannot be started.
  static std::unique_ptr<Child> Start(const std::string& program,
                                      const std::vector<std::string>& args,
                                      const std::vector<std::string>& env, LineHandler on_line);
  // Stops the child (SIGTERM, SIGKILL after a second), reaps it and joins the reader.
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // False once the child has ended (it is then reaped).
  bool Running();

 private:
  Child() = default;
  void ReadLines(int fd, LineHandler on_line);

  pid_t pid_ = -1;
  bool reaped_ = false;
  std::thread reader_;
};

}  // namespace skyhelm::bench
