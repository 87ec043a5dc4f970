// The command line at the bottom of the live view: keystrokes in, commands or "quit" out.
#pragma once

#include <cstddef>
#include <string>

namespace skyhelm::peer {

enum class EditorAction { kNone, kSubmit, kQuit };

// Pure state machine over the bytes a raw-mode terminal delivers. Escape sequences (arrow keys
// and the like) are swallowed whole, so they never end up inside a command.
class LineEditor {
 public:
  // Enter submits the text (read it with TakeSubmitted); q or Ctrl-D on an empty line quits;
  // Backspace deletes; Ctrl-U or a lone Escape clears. Text is at most kMaxCommandBytes long.
  EditorAction Feed(char byte);
  std::string TakeSubmitted();
  const std::string& text() const { return text_; }

  static constexpr std::size_t kMaxCommandBytes = 1024;  // the bridge's receive buffer

 private:
  enum class State { kText, kEscape, kSequence };
  State state_ = State::kText;
  std::string text_;
  std::string submitted_;
};

}  // namespace skyhelm::peer
