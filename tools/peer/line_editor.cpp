// Keystroke handling for the live view's command line.
#include "tools/peer/line_editor.h"

#include <utility>

namespace skyhelm::peer {
namespace {

constexpr char kCtrlD = 0x04;
constexpr char kBackspace = 0x08;
constexpr char kCtrlU = 0x15;
constexpr char kEscape = 0x1b;
constexpr char kDelete = 0x7f;

}  // namespace

EditorAction LineEditor::Feed(char byte) {
  switch (state_) {
    case State::kEscape:
      // ESC [ and ESC O open a key's sequence; after a lone Escape the line is cleared and the
      // byte counts as typed.
      if (byte == '[' || byte == 'O') {
        state_ = State::kSequence;
        return EditorAction::kNone;
      }
      state_ = State::kText;
      text_.clear();
      break;
    case State::kSequence:
      if (byte >= 0x40 && byte <= 0x7e) state_ = State::kText;
      return EditorAction::kNone;
    case State::kText:
      break;
  }
  switch (byte) {
    case '\r':
    case '\n':
      submitted_ = std::exchange(text_, std::string());
      return EditorAction::kSubmit;
    case kEscape:
      state_ = State::kEscape;
      return EditorAction::kNone;
    case kCtrlU:
      text_.clear();
      return EditorAction::kNone;
    case kBackspace:
    case kDelete:
      if (!text_.empty()) text_.pop_back();
      return EditorAction::kNone;
    case kCtrlD:
      return text_.empty() ? EditorAction::kQuit : EditorAction::kNone;
    default:
      break;
  }
  if (byte == 'q' && text_.empty()) return EditorAction::kQuit;
  if (byte >= 0x20 && byte < 0x7f && text_.size() < kMaxCommandBytes) text_ += byte;
  return EditorAction::kNone;
}

std::string LineEditor::TakeSubmitted() { return std::exchange(submitted_, std::string()); }

}  // namespace skyhelm::peer
