// Options shared by the subcommands, and the exit codes they return.
#pragma once

#include <netinet/in.h>

#include <string>
#include <vector>

namespace skyhelm::peer {

inline constexpr int kExitOk = 0;
inline constexpr int kExitNoLine = 1;  // no line within the timeout, or another run-time failure
inline constexpr int kExitUsage = 2;   // bad command line

inline constexpr const char* kDefaultBridge = "127.0.0.1:47001";

struct CommonOptions {
  sockaddr_in bridge{};
  std::string bridge_text = kDefaultBridge;
  double timeout_s = 2.0;  // how long to wait for a line before giving up
};

struct SendOptions {
  std::vector<std::string> texts;  // none for `line`: only the claim "1" goes out
  bool json = false;
  bool raw = false;      // send texts the command check refuses
  bool confirm = false;  // wait for a line that shows the commands' effect
};

struct WatchOptions {
  double seconds = 0;  // 0: until q, Ctrl-C or SIGTERM
  bool json = false;   // non-terminal mode only
  bool force_plain = false;
  bool raw = false;  // send typed texts the command check refuses
};

struct RecordOptions {
  std::string out_path;   // "-": standard output
  double seconds = 0;     // 0: until Ctrl-C or SIGTERM
  bool commands = false;  // send the command lines read from standard input
};

}  // namespace skyhelm::peer
