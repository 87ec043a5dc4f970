// The real skyhelm-relay between the real bridge (with the stand-in simulator) and many peers on
// loopback: UDP viewers, skyhelm-peer record, WebSocket clients, and ones that stop reading.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/bridge_rig.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/test_names.h"
#include "tools/peer/line_decoder.h"

namespace skyhelm::relay {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
using boost::asio::ip::tcp;
using std::chrono::milliseconds;
using std::chrono::seconds;
using test_support::BinPath;
using test_support::ChildProcess;
using SteadyClock = std::chrono::steady_clock;

constexpr milliseconds kGenerous(20000);
tcp::endpoint Loopback(int port) {
  return {boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)};
}

class RelayRig : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> relay_args) {
    int sim_port = 0;
    sim_ = test_support::StartSimulator({}, sim_port);
    ASSERT_TRUE(sim_) << "skyhelm-sim did not start";
    const int bridge_port = test_support::FreeLoopbackPort(true);
    bridge_ = test_support::StartBridge(bridge_port, sim_port);
    ASSERT_TRUE(bridge_) << "the bridge did not reach its loop";
    relay_args.insert(relay_args.end(), {"--bridge", "127.0.0.1:" + std::to_string(bridge_port),
                                         "--udp-port", "0", "--http-port", "0"});
    relay_ = ChildProcess::Start(BinPath("skyhelm-relay"), relay_args);
    // "arrive", or "are back" when the relay's first claim came before the bridge had bound its
    // port ("Running..." precedes the bind) and drew a port unreachable.
    ASSERT_TRUE(relay_->WaitForStdout("\npanel http", kGenerous) &&
                relay_->WaitForStderr("relay: bridge lines ", kGenerous))
        << relay_->Stdout() << relay_->Stderr();
    udp_port_ = relay_->WaitForPort("relay udp ", kGenerous);
    http_port_ = relay_->WaitForPort("panel http://127.0.0.1", kGenerous);
    ASSERT_TRUE(udp_port_ > 0 && http_port_ > 0) << relay_->Stdout();
  }
  bool SimPrinted(const std::string& text) { return sim_->WaitForStdout(text, kGenerous); }

  std::unique_ptr<ChildProcess> sim_, bridge_, relay_;
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
  // Sends a message and returns the next result frame.
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

TEST_F(RelayRig, ViewersAndRecorderGetEveryLineWhileCommandsGoThroughAndStalledOnesSlowNobody) {
  ASSERT_NO_FATAL_FAILURE(Start({"--rate", "30"}));
  auto record = ChildProcess::Start(BinPath("skyhelm-peer"),
                                    {"record", "--out", "-", "--seconds", "4", "--to",
                                     "127.0.0.1:" + std::to_string(udp_port_), "--timeout", "5"});
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

  // The recorder claims now and then, which must not cost it a line.
  ASSERT_EQ(record->Wait(kGenerous), 0) << record->Stderr();
  const std::string &rows = record->Stdout(), &summary = record->Stderr();
  EXPECT_GE(std::count(rows.begin(), rows.end(), '\n'), 41) << "a header and 40 rows";
  const auto longest = summary.find("(longest ");  // only when there was a gap
  EXPECT_LT(longest == std::string::npos ? 0 : std::atof(summary.c_str() + longest + 9), 0.4)
      << summary;
  // The stalled browser's frames were skipped rather than queued.
  const std::string status = WebClient(http_port_).Next("status");
  EXPECT_EQ(status.find("\"web_frames_skipped\":0,"), std::string::npos) << status;
  EXPECT_NE(status.find("\"bridge\":\"live\""), std::string::npos) << status;
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
  EXPECT_TRUE(relay_->WaitForStderr("takes commands from anyone", kGenerous)) << relay_->Stderr();
  WebClient client(http_port_, "http://127.0.0.1:" + std::to_string(http_port_));
  ASSERT_FALSE(client.ec) << client.ec.message();
  EXPECT_NE(client.Ask(Command("F", "")).find("\"code\":\"token_required\""), std::string::npos);
  const std::string token = out.substr(at + 6, 32);
  EXPECT_NE(client.Ask(Command("F", token)).find("\"outcome\":\"forwarded\""), std::string::npos);
  EXPECT_TRUE(SimPrinted("event TOGGLE_FLIGHT_DIRECTOR 0\n"));
}

TEST(RelayCli, ExitCodesAndTexts) {
  struct CliCase {
    std::vector<std::string> args;
    int exit_code;
    std::string out_or_err_has;
  };
  // clang-format off
  const CliCase cases[] = {
      {{"--version"}, 0, "skyhelm-relay 0."},
      {{"--rate", "0"}, 2, "--rate"},
      {{"--rate", "abc"}, 2, "--rate: \"abc\" is not a number of lines per second from 0.1 to 1000"},
      {{"--listen", "nope"}, 2, "--listen"},
      {{"--bridge", "127.0.0.1"}, 2, "HOST:PORT"},
      {{"--listen", "192.0.2.1", "--udp-port", "0", "--http-port", "0"}, 1, "relay: UDP port"},
  };
  // clang-format on
  for (const CliCase& c : cases) {
    SCOPED_TRACE("skyhelm-relay " + test_support::Joined(c.args));
    const auto result = test_support::RunProgram(BinPath("skyhelm-relay"), c.args);
    EXPECT_EQ(result.exit_code, c.exit_code) << result.err;
    EXPECT_NE((result.out + result.err).find(c.out_or_err_has), std::string::npos)
        << result.out << result.err;
  }
}

}  // namespace
}  // namespace skyhelm::relay
