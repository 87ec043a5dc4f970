// Keystrokes of the live view's command line.
#include "tools/peer/line_editor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace skyhelm::peer {
namespace {

struct KeysCase {
  const char* name;
  std::string keys;
  std::vector<std::string> submitted;
  bool quits;
  std::string left_over;
};

class Keys : public ::testing::TestWithParam<KeysCase> {};

TEST_P(Keys, ProduceCommands) {
  const KeysCase& c = GetParam();
  LineEditor editor;
  std::vector<std::string> submitted;
  bool quit = false;
  for (char key : c.keys) {
    const EditorAction action = editor.Feed(key);
    if (action == EditorAction::kSubmit) submitted.push_back(editor.TakeSubmitted());
    if (action == EditorAction::kQuit) {
      quit = true;
      break;
    }
  }
  EXPECT_EQ(submitted, c.submitted);
  EXPECT_EQ(quit, c.quits);
  EXPECT_EQ(editor.text(), c.left_over);
}

INSTANTIATE_TEST_SUITE_P(
    LineEditor, Keys,
    ::testing::Values(KeysCase{"enter_submits", "h270\r", {"h270"}, false, ""},
                      KeysCase{"line_feed_submits_too", "v-500\nE\n", {"v-500", "E"}, false, ""},
                      KeysCase{"q_on_empty_line_quits", "q", {}, true, ""},
                      KeysCase{"q_inside_text_is_text", "hq", {}, false, "hq"},
                      KeysCase{"ctrl_d_on_empty_line_quits", "\x04", {}, true, ""},
                      KeysCase{"backspace_and_delete", "h2700\x7f\r", {"h270"}, false, ""},
                      KeysCase{"backspace_on_empty_is_harmless", "\x08\x08k1\r", {"k1"}, false, ""},
                      KeysCase{"ctrl_u_clears", "h90\x15h180\r", {"h180"}, false, ""},
                      KeysCase{
                          "arrow_keys_are_swallowed", "h\x1b[A2\x1bOB70\r", {"h270"}, false, ""},
                      KeysCase{"escape_clears_the_line", "h90\x1bl1000\r", {"l1000"}, false, ""},
                      KeysCase{"control_bytes_are_dropped", "h\x01\x02\t90\r", {"h90"}, false, ""},
                      KeysCase{"empty_enter_submits_empty", "\r", {""}, false, ""}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(LineEditor, CommandLengthIsBoundedByTheBridgesBuffer) {
  LineEditor editor;
  for (int i = 0; i < 5000; ++i) editor.Feed('1');
  EXPECT_EQ(editor.text().size(), LineEditor::kMaxCommandBytes);
}

}  // namespace
}  // namespace skyhelm::peer
