// The tools against the real bridge and the stand-in simulator, all on loopback: skyhelm-peer and
// the example peers of docs/protocol.md (exit codes and output, recordings, watch), and
// skyhelm-relay with UDP viewers and WebSocket clients, one of which stops reading.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/bridge_rig.h"
#include "tests/support/loopback_peer.h"
#include "tools/peer/line_decoder.h"

namespace skyhelm {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
using boost::asio::ip::tcp;
using std::chrono::milliseconds;
using std::chrono::seconds;
using test_support::BinPath;
using test_support::ChildProcess;
using test_support::RunProgram;
using SteadyClock = std::chrono::steady_clock;

constexpr milliseconds kGenerous(20000);
const std::string kPeer = BinPath("skyhelm-peer"), kRelay = BinPath("skyhelm-relay");

tcp::endpoint Loopback(int port) {
  return {boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)};
}

class PeerRig : public ::testing::Test {
 protected:
  // Starts (or restarts) the simulator and the bridge on bridge_port_.
  void StartBridge() {
    int sim_port = 0;
    sim_ = test_support::StartSimulator({"--time-scale", "5"}, sim_port);
    ASSERT_TRUE(sim_) << "skyhelm-sim did not start";
    bridge_ = test_support::StartBridge(bridge_port_, "127.0.0.1:" + std::to_string(sim_port));
    ASSERT_TRUE(bridge_) << "the bridge did not reach its loop";
  }
  std::vector<std::string> To(std::vector<std::string> args, const char* timeout_s,
                              const std::string& address = "") {
    args.insert(args.end(), {"--to", address.empty() ? address_ : address, "--timeout", timeout_s});
    return args;
  }
  bool SimPrinted(const std::string& text) { return sim_->WaitForStdout(text, kGenerous); }

  const int bridge_port_ = test_support::FreeLoopbackPort(true);
  const std::string address_ = "127.0.0.1:" + std::to_string(bridge_port_);
  std::unique_ptr<ChildProcess> sim_, bridge_;
};

struct CliCase {
  bool bridge;                    // skyhelm-peer to the bridge; else to a port nobody listens on
  std::vector<std::string> args;  // "PORT": the bridge's
  int exit_code;
  std::string out_has, err_has;
  const char* sim_has = "";     // what the simulator must log
  std::string program = kPeer;  // skyhelm-peer gets --to and --timeout unless the exit code is 2
};

// clang-format off
const CliCase kCliCases[] = {
    {true, {"send", "h270"}, 0, "heading_hold=", "", "HEADING_BUG_SET 270"},
    {true, {"send", "--json", "l900"}, 0, "{\"ground_speed\":", "", "AP_ALT_VAR_SET_ENGLISH 900"},
    {true, {"send", "--confirm", "l4200"}, 0, "altitude_setting=4200 ",
     "l4200 -> altitude setting 4200 ft", "AP_ALT_VAR_SET_ENGLISH 4200"},
    {true, {"send", "--raw", "help"}, 0, "", "sending anyway (--raw): \"elp\" after h",
     "HEADING_BUG_SET 0"},
    {true, {"record", "--out", "/nonexistent-dir/x.csv", "--seconds", "5"}, 1, "",
     "cannot write /nonexistent-dir/x.csv: No such file or directory"},
    {false, {"send", "help"}, 2, "", "refused: \"elp\" after h would be ignored"},
    {false, {"--version"}, 0, "skyhelm-peer 0.", ""},
    {false, {"--help"}, 0, "Exit codes: 0 success", ""},
    {false, {"bogus"}, 2, "", "\"bogus\" is not a subcommand"},
    {false, {"line", "--timeout", "abc"}, 2, "",
     "\"abc\" is not a number of seconds above 0 to 86400"},
    {false, {"send", "h270"}, 1, "", "no line from 127.0.0.1:"},
    {false, {"watch", "--seconds", "5"}, 1, "", "within 0.3 s"},
    {false, {"record", "--out", "/nonexistent-dir/never.csv"}, 1, "", "no line from"},
    {false, {}, 2, "", "subcommand"},
    {false, {"line", "--to", "127.0.0.1"}, 2, "", "HOST:PORT"},
    // Each example sends its heading, drains the stream and prints the newest line.
    {true, {SKYHELM_PYTHON_PEER, "127.0.0.1", "PORT", "h272"}, 0, "heading_bug=272 ", "",
     "HEADING_BUG_SET 272", SKYHELM_PYTHON},
    {true, {"127.0.0.1", "PORT", "h271"}, 0, "heading_bug=271 ", "", "HEADING_BUG_SET 271",
     SKYHELM_C_PEER},
    {false, {"--version"}, 0, "skyhelm-relay 0.", "", "", kRelay},
    {false, {"--rate", "0"}, 2, "", "--rate", "", kRelay},
    {false, {"--rate", "abc"}, 2, "",
     "--rate: \"abc\" is not a number of lines per second from 0.1 to 1000", "", kRelay},
    {false, {"--listen", "nope"}, 2, "", "--listen", "", kRelay},
    {false, {"--bridge", "127.0.0.1"}, 2, "", "HOST:PORT", "", kRelay},
    {false, {"--listen", "192.0.2.1", "--udp-port", "0", "--http-port", "0"}, 1, "",
     "relay: UDP port", "", kRelay},
};
// clang-format on

TEST_F(PeerRig, CommandLinesExitAndPrintAsDocumented) {
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  // "Running..." comes before the first pass binds the port, and a one-shot send is not
  // repeated: wait until the bridge answers.
  ASSERT_TRUE(test_support::LoopbackPeer(bridge_port_).Join());
  const std::string nobody = "127.0.0.1:" + std::to_string(test_support::FreeLoopbackPort(true));
  for (const CliCase& c : kCliCases) {
    SCOPED_TRACE(c.program + " " + test_support::Joined(c.args));
    auto args = c.exit_code == 2 || c.program != kPeer
                    ? c.args
                    : To(c.args, c.bridge ? "10" : "0.3", c.bridge ? "" : nobody);
    std::replace(args.begin(), args.end(), std::string("PORT"), std::to_string(bridge_port_));
    const auto result = RunProgram(c.program, args, {}, kGenerous);
    EXPECT_EQ(result.exit_code, c.exit_code) << result.out << result.err;
    EXPECT_NE(result.out.find(c.out_has), std::string::npos) << result.out;
    EXPECT_NE(result.err.find(c.err_has), std::string::npos) << result.err;
    EXPECT_TRUE(SimPrinted(c.sim_has)) << sim_->Stdout();
  }
}

// A recorder that the scheduler stops now and then finds the lines queued in its socket: neither a
// takeover nor a hole. Another peer's one-shot `line` is a takeover, claimed back before a hole.
TEST_F(PeerRig, RecordWritesDistinctRowsAndCountsOnlyARealTakeover) {
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  auto record = ChildProcess::Start(kPeer, To({"record", "--out", "-", "--seconds", "4"}, "10"));
  ASSERT_TRUE(record->WaitForStdout("time_s,", kGenerous)) << record->Stderr();
  for (int i = 0; i < 10; ++i) {  // each stop longer than a gap, shorter than the socket holds
    record->Signal(SIGSTOP);
    std::this_thread::sleep_for(milliseconds(105 + 5 * i));
    record->Signal(SIGCONT);
    std::this_thread::sleep_for(milliseconds(13 * i % 37));
  }
  EXPECT_EQ(RunProgram(kPeer, To({"line"}, "10")).exit_code, 0);
  ASSERT_EQ(record->Wait(kGenerous), 0) << record->Stderr();
  const std::string& err = record->Stderr();
  for (const char* has :
       {" 0 malformed", "; 0 gaps over", "another peer took the bridge 1 time(s)"}) {
    EXPECT_NE(err.find(has), std::string::npos) << err;
  }
  // The bridge sends each line on every pass: the repeats are counted, not written.
  EXPECT_EQ(err.find(" 0 duplicates"), std::string::npos) << err;
  std::vector<std::string> rows;
  std::istringstream stream(record->Stdout());
  for (std::string row; std::getline(stream, row);) rows.push_back(row);
  ASSERT_GE(rows.size(), 3u) << record->Stdout();
  EXPECT_EQ(rows[0],
            "time_s,ground_speed,altitude,pitch,bank,fd_pitch,fd_bank,heading_bug,heading_hold,"
            "speed_setting,speed_hold,throttle_arm,flight_director,autopilot_master,vs_setting,"
            "vs_hold,altitude_setting,altitude_hold,latitude,longitude,true_heading,"
            "gear_position");
  const auto values = [](const std::string& row) { return row.substr(row.find(',')); };
  for (std::size_t i = 1; i < rows.size(); ++i) {
    EXPECT_EQ(std::count(rows[i].begin(), rows[i].end(), ','), 21) << rows[i];
    EXPECT_TRUE(i == 1 || values(rows[i]) != values(rows[i - 1])) << "same values: " << rows[i];
  }
  EXPECT_NE(err.find("record: " + std::to_string(rows.size() - 1) + " rows written to - in"),
            std::string::npos)
      << err;
}

TEST_F(PeerRig, LineWaitingForNobodyExitsWith130OnCtrlC) {
  auto line = ChildProcess::Start(kPeer, To({"line"}, "20"));
  std::this_thread::sleep_for(milliseconds(300));
  line->Signal(SIGINT);
  EXPECT_EQ(line->Wait(kGenerous), 130) << line->Stderr();
}

// With the simulator gone the bridge repeats its last line: --confirm notices that nothing
// takes effect, where a plain send would print that stale line and exit 0.
TEST_F(PeerRig, ConfirmFailsWhenTheSimulatorIsGone) {
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  ASSERT_EQ(RunProgram(kPeer, To({"line"}, "10")).exit_code, 0);
  sim_->Signal(SIGKILL);
  ASSERT_TRUE(sim_->Wait(kGenerous));
  const auto result = RunProgram(kPeer, To({"send", "--confirm", "h123"}, "1"), {}, kGenerous);
  EXPECT_EQ(result.exit_code, 1) << result.out << result.err;
  EXPECT_NE(result.err.find("not confirmed: heading_bug is still 90"), std::string::npos)
      << result.err;
}

// Without a terminal, watch prints one line a second (here as JSON), and warns when the bridge
// stops.
TEST_F(PeerRig, WatchWithoutATerminalPrintsLinesAndWarnsWhenTheBridgeStops) {
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  ASSERT_TRUE(test_support::LoopbackPeer(bridge_port_).Join());
  auto watch = ChildProcess::Start(kPeer, To({"watch", "--json"}, "1"));
  ASSERT_TRUE(watch->WaitForStdout("{\"ground_speed\":", kGenerous)) << watch->Stderr();
  bridge_->Signal(SIGKILL);
  EXPECT_TRUE(watch->WaitForStderr("no line from the bridge for ", kGenerous)) << watch->Stderr();
  watch->Signal(SIGTERM);
  EXPECT_EQ(watch->Wait(kGenerous), 0) << watch->Stderr();
}

// The bridge, and the relay as its one peer.
class RelayRig : public PeerRig {
 protected:
  void Start(std::vector<std::string> relay_args) {
    ASSERT_NO_FATAL_FAILURE(StartBridge());
    relay_args.insert(relay_args.end(),
                      {"--bridge", address_, "--udp-port", "0", "--http-port", "0"});
    relay_ = ChildProcess::Start(kRelay, relay_args);
    udp_port_ = relay_->WaitForPort("relay udp ", kGenerous);
    http_port_ = relay_->WaitForPort("panel http://127.0.0.1", kGenerous);
    // "arrive", or "are back" when the relay's first claim came before the bridge had bound its
    // port ("Running..." precedes the bind) and drew a port unreachable.
    ASSERT_TRUE(udp_port_ > 0 && http_port_ > 0 &&
                relay_->WaitForStderr("relay: bridge lines ", kGenerous))
        << relay_->Stdout() << relay_->Stderr();
  }

  std::unique_ptr<ChildProcess> relay_;
  int udp_port_ = 0, http_port_ = 0;
};

// A UDP peer of the relay that keeps figures on the lines it reads.
struct Viewer : test_support::LoopbackPeer {
  using LoopbackPeer::LoopbackPeer;
  void Drain() {
    while (const auto datagram = Receive(milliseconds(0))) {
      const auto now = SteadyClock::now();
      bad += peer::DecodeDatagram(*datagram).kind != peer::DatagramKind::kLine;
      if (lines++ > 0) max_gap = std::max(max_gap, now - last_at);
      repeats += *datagram == last;
      last = *datagram;
      last_at = now;
    }
  }
  int lines = 0, bad = 0, repeats = 0;
  SteadyClock::duration max_gap{};
  SteadyClock::time_point last_at{};
  std::string last;
};

// A WebSocket client of the relay; a small `receive_bytes` for one that stops reading.
struct WebClient {
  explicit WebClient(int port, const std::string& origin = "", int receive_bytes = 1 << 20) {
    tcp::socket& socket = beast::get_lowest_layer(ws);
    socket.open(tcp::v4());
    socket.set_option(boost::asio::socket_base::receive_buffer_size(receive_bytes));
    socket.connect(Loopback(port), ec);
    ws.set_option(
        beast::websocket::stream_base::decorator([origin](http::request<http::empty_body>& r) {
          if (!origin.empty()) r.set(http::field::origin, origin);
        }));
    if (!ec) ws.handshake("127.0.0.1:" + std::to_string(port), "/ws", ec);
  }
  // The next message whose type is `type`; "" when the connection failed.
  std::string Next(const std::string& type) {
    for (int i = 0; i < 1000 && !ec; ++i) {
      beast::flat_buffer buffer;
      ws.read(buffer, ec);
      std::string text = beast::buffers_to_string(buffer.data());
      if (!ec && text.find("\"type\":\"" + type + "\"") != std::string::npos) return text;
    }
    return "";
  }
  std::string Ask(const std::string& message) {
    ws.write(boost::asio::buffer(message), ec);
    return Next("result");
  }
  boost::asio::io_context io;
  beast::websocket::stream<tcp::socket> ws{io};
  beast::error_code ec;
};

// GET `target` with Host `host`: the status code (0 when no answer came) and the body.
std::pair<int, std::string> HttpGet(int port, const std::string& target, const std::string& host) {
  boost::asio::io_context io;
  tcp::socket socket(io);
  beast::error_code ec;
  socket.connect(Loopback(port), ec);
  http::request<http::empty_body> request(http::verb::get, target, 11);
  request.set(http::field::host, host);
  if (!ec) http::write(socket, request, ec);
  beast::flat_buffer buffer;
  http::response<http::string_body> response;
  if (!ec) http::read(socket, buffer, response, ec);
  return {ec ? 0 : static_cast<int>(response.result_int()), response.body()};
}

TEST_F(RelayRig, ViewersGetEveryLineWhileCommandsGoThroughAndAStalledBrowserSlowsNobody) {
  ASSERT_NO_FATAL_FAILURE(Start({"--rate", "30"}));
  Viewer a(udp_port_), b(udp_port_);
  WebClient stalled_browser(http_port_, "", 4096);
  ASSERT_FALSE(stalled_browser.ec) << stalled_browser.ec.message();
  std::atomic<int> browser_frames{0};
  std::thread browser([port = http_port_, &browser_frames] {
    WebClient client(port);
    const auto end = SteadyClock::now() + seconds(4);
    while (SteadyClock::now() < end && !client.Next("telemetry").empty()) ++browser_frames;
  });
  for (Viewer* v : {&a, &b}) v->Send("1");
  const auto start = SteadyClock::now();
  bool a_sent = false, b_sent = false;
  for (SteadyClock::duration t{}; t < seconds(4); t = SteadyClock::now() - start) {
    std::this_thread::sleep_for(milliseconds(5));
    a.Drain();
    b.Drain();
    if (!a_sent && t > seconds(1)) a_sent = true, a.Send("h200");
    if (!b_sent && t > seconds(2)) b_sent = true, b.Send("k150");
  }
  browser.join();
  EXPECT_TRUE(SimPrinted("event HEADING_BUG_SET 200\n"));
  EXPECT_TRUE(SimPrinted("event AP_SPD_VAR_SET 150\n"));
  for (const Viewer* v : {&a, &b}) {
    EXPECT_EQ(v->bad, 0);
    EXPECT_EQ(v->repeats, 0) << "the aircraft moves: every line is new";
    // 4 s at 30 lines/s: the cap holds, and no gap anywhere near the peers' one-second alarm.
    EXPECT_GE(v->lines, 40);
    EXPECT_LE(v->lines, 4 * 30 + 10);
    EXPECT_LT(v->max_gap, milliseconds(400));
    EXPECT_NE(v->last.find(",200,"), std::string::npos) << "a's command came back in the line";
  }
  EXPECT_GE(browser_frames.load(), 40) << "a reading browser beside a stalled one";
  // The stalled browser's frames were skipped rather than queued.
  const std::string status = WebClient(http_port_).Next("status");
  EXPECT_EQ(status.find("\"web_frames_skipped\":0,"), std::string::npos) << status;
}

// A command with this token ("": none).
std::string Command(const std::string& text, const std::string& token = "s3cret") {
  return R"({"id":5,"type":"command","text":")" + text + "\"" +
         (token.empty() ? "" : R"(,"token":")" + token + "\"") + "}";
}

// Every refused one would show in the simulator as HEADING_BUG_SET 10x.
const std::pair<std::string, std::string> kWebCases[] = {
    {Command("h123"), "\"id\":5,\"ok\":true,\"outcome\":\"forwarded\""},
    {Command("h101", ""), "\"code\":\"token_required\""},
    {Command("h103x"), "\"ok\":false"},
    {Command("h102", "s3cre"), "\"code\":\"token_wrong\""},  // last: it slows the next try
};

TEST_F(RelayRig, ServesOnlyItsOwnNamesAndForwardsOnlyCheckedAuthorisedCommands) {
  ASSERT_NO_FATAL_FAILURE(Start({"--token", "s3cret"}));
  for (const auto& [target, host, status, body_has] :
       {std::tuple{"/", "127.0.0.1", 200, "<title>Skyhelm panel</title>"},
        {"/status", "localhost:8047", 200, "\"bridge\":\"live\""},
        {"/nothing", "127.0.0.1", 404, ""},
        {"/", "rebound.example:8047", 403, "unknown host"}}) {
    const auto [got, body] = HttpGet(http_port_, target, host);
    EXPECT_EQ(got, status) << target;
    EXPECT_NE(body.find(body_has), std::string::npos) << target;
  }
  const std::string self = "http://127.0.0.1:" + std::to_string(http_port_);
  EXPECT_FALSE(WebClient(http_port_, self).ec);
  EXPECT_TRUE(WebClient(http_port_, "http://evil.example").ec);

  WebClient client(http_port_);
  ASSERT_FALSE(client.ec) << client.ec.message();
  EXPECT_NE(client.Next("status").find("\"token_required\":true"), std::string::npos);
  const std::string telemetry = client.Next("telemetry");
  EXPECT_NE(telemetry.find("\"heading_bug\":{\"value\":90,\"unit\":\"deg\"}"), std::string::npos)
      << telemetry;
  for (const auto& [message, reply_has] : kWebCases) {
    const std::string reply = client.Ask(message);
    EXPECT_NE(reply.find(reply_has), std::string::npos) << message << " -> " << reply;
  }
  // The wrong token makes the next try wait, on a new connection from the address too.
  WebClient other(http_port_);
  EXPECT_NE(other.Ask(Command("g1")).find("token_backoff"), std::string::npos);
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_NE(other.Ask(Command("g1")).find("forwarded"), std::string::npos);
  ASSERT_TRUE(SimPrinted("event GEAR_SET 1\n"));
  EXPECT_EQ(sim_->Stdout().find("HEADING_BUG_SET 10"), std::string::npos) << sim_->Stdout();
  // Past the burst each message is refused at once, and one that keeps flooding is closed.
  int limited = 0;
  for (int i = 0; i < 25; ++i) {
    limited += other.Ask(Command("g1", "")).find("\"code\":\"rate_limited\"") != std::string::npos;
  }
  EXPECT_GT(limited, 0);
  for (int i = 0; i < 400 && !other.ec; ++i) {
    other.ws.write(boost::asio::buffer(Command("g1", "")), other.ec);
  }
  EXPECT_EQ(other.Next("never"), "");
  EXPECT_TRUE(other.ec) << "a flood is closed";

  // One by one past the cap of 256 (`client` is one): the rest are turned away, /status answers.
  std::vector<std::unique_ptr<WebClient>> more;
  int open = 1;
  for (int i = 0; i < 260; ++i) {
    more.push_back(std::make_unique<WebClient>(http_port_));
    open += !more.back()->ec;
  }
  EXPECT_LE(open, 256);
  EXPECT_GE(open, 200);
  EXPECT_EQ(HttpGet(http_port_, "/status", "127.0.0.1").first, 200) << "it still answers";
}

// 0.0.0.0 is network mode; the test reaches it through 127.0.0.1 only.
TEST_F(RelayRig, NetworkModeWarnsAndRequiresTheTokenItPrints) {
  ASSERT_NO_FATAL_FAILURE(Start({"--listen", "0.0.0.0"}));
  ASSERT_TRUE(relay_->WaitForStdout("(generated", kGenerous)) << relay_->Stdout();
  const std::string out = relay_->Stdout();
  const auto at = out.find("token ");  // on the line that ends "(generated"
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_TRUE(relay_->WaitForStderr("takes commands from anyone", kGenerous)) << relay_->Stderr();
  WebClient client(http_port_, "http://127.0.0.1:" + std::to_string(http_port_));
  ASSERT_FALSE(client.ec) << client.ec.message();
  EXPECT_NE(client.Ask(Command("F", "")).find("\"code\":\"token_required\""), std::string::npos);
  const std::string token = out.substr(at + 6, 32);
  EXPECT_NE(client.Ask(Command("F", token)).find("\"outcome\":\"forwarded\""), std::string::npos);
  EXPECT_TRUE(SimPrinted("event TOGGLE_FLIGHT_DIRECTOR 0\n"));
}

}  // namespace
}  // namespace skyhelm
