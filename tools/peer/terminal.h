// Raw-mode terminal for the live view, restored on destruction whatever ended the view.
#pragma once

#include <termios.h>

#include <string_view>

namespace skyhelm::peer {

// While entered: keystrokes arrive one by one without echo (signals such as Ctrl-C still work),
// the view draws on the alternate screen. Ctrl-Z is ignored meanwhile,
// since a stopped view would leave the shell in raw mode.
class RawTerminal {
 public:
  RawTerminal() = default;
  ~RawTerminal();
  RawTerminal(const RawTerminal&) = delete;
  RawTerminal& operator=(const RawTerminal&) = delete;

  // False when standard input is not a terminal that can be switched.
  bool Enter();
  void Restore();

  // Writes all bytes to standard output (retrying short writes and interruptions).
  static void Write(std::string_view bytes);

 private:
  bool entered_ = false;
  termios saved_{};
};

}  // namespace skyhelm::peer
