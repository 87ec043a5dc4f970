// The real skyhelm-relay between the real bridge (with the stand-in simulator) and many peers on
// loopback: UDP viewers, skyhelm-peer record, WebSocket clients, and ones that stop reading.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/bridge_rig.h"
#include "tools/peer/line_decoder.h"
#include "tests/support/test_names.h"

namespace skyhelm::relay {
namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
using boost::asio::ip::tcp;
using skyhelm::test_support::BinPath;
using skyhelm::test_support::ChildProcess;
using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

constexpr milliseconds kGenerous(20000);

// The port of the first "PREFIX ADDRESS:PORT" in `text`.
int PortAfter(const std::string& text, const std::string& prefix) {
  const auto at = text.find(prefix);
  if (at == std::string::npos) return 0;
  const auto colon = text.find(':', at + prefix.size());
  return colon == std::string::npos ? 0 : std::atoi(text.c_str() + colon + 1);
}

// The relay's CPU time so far, from /proc (utime + stime).
double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream rest(all.substr(all.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i >= 14) ticks += std::atof(field.c_str());
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

class RelayRig : public ::testing::Test {
 protected:
  // `wrap`: a shell prefix for the relay ("ulimit -n 40 &&"), empty to start it directly.
  void Start(std::vector<std::string> relay_args, const std::string& wrap = "") {
    int sim_port = 0;
    sim_ = test_support::StartSimulator({}, sim_port);
    ASSERT_TRUE(sim_) << "skyhelm-sim did not start";
    const int bridge_port = test_support::FreeLoopbackPort(true);
    bridge_ = test_support::StartBridge(bridge_port, sim_port);
    ASSERT_TRUE(bridge_) << "the bridge did not reach its loop";
    relay_args.insert(relay_args.end(), {"--bridge", "127.0.0.1:" + std::to_string(bridge_port),
                                         "--udp-port", "0", "--http-port", "0"});
    if (wrap.empty()) {
      relay_ = ChildProcess::Start(BinPath("skyhelm-relay"), relay_args);
    } else {
      std::string command = wrap + " exec '" + BinPath("skyhelm-relay") + "'";
      for (const std::string& arg : relay_args) command += " '" + arg + "'";
      relay_ = ChildProcess::Start("/bin/bash", {"-c", command});
    }
    const auto ready = [this] {
      const std::string& out = relay_->Stdout();
      const auto at = out.find("\npanel http");
      return at != std::string::npos && out.find('\n', at + 1) != std::string::npos;
    };
    const auto deadline = SteadyClock::now() + kGenerous;
    while (!ready() && SteadyClock::now() < deadline && relay_->Running()) {
      relay_->WaitForStdout("\n\n", milliseconds(50));
    }
    ASSERT_TRUE(ready()) << relay_->Stderr();
    udp_port_ = PortAfter(relay_->Stdout(), "relay udp ");
    http_port_ = PortAfter(relay_->Stdout(), "panel http://127.0.0.1");
    ASSERT_TRUE(udp_port_ > 0 && http_port_ > 0) << relay_->Stdout();
    // "arrive", or "are back" when the relay's first claim came before the bridge had bound its
    // port ("Running..." precedes the bind) and drew a port unreachable.
    ASSERT_TRUE(relay_->WaitForStderr("relay: bridge lines ", kGenerous)) << relay_->Stderr();
  }

  bool SimPrinted(const std::string& text) { return sim_->WaitForStdout(text, kGenerous); }

  std::unique_ptr<ChildProcess> sim_, bridge_, relay_;
  int udp_port_ = 0;
  int http_port_ = 0;
};

// A UDP peer of the relay; `receive_bytes` small and never read: one that stopped reading.
class Viewer {
 public:
  Viewer(int relay_port, int receive_bytes = 0) : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
    if (receive_bytes > 0)
      setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_bytes, sizeof receive_bytes);
    relay_.sin_family = AF_INET;
    relay_.sin_port = htons(static_cast<uint16_t>(relay_port));
    relay_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  ~Viewer() { close(fd_); }
  void Send(const std::string& text) {
    sendto(fd_, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&relay_),
           sizeof relay_);
  }
  // Reads whatever has arrived, keeping arrival gaps, and checks each datagram.
  void Drain() {
    char buffer[2048];
    for (;;) {
      const ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n < 0) return;
      const auto now = SteadyClock::now();
      const std::string datagram(buffer, static_cast<std::size_t>(n));
      const peer::DecodedDatagram decoded = peer::DecodeDatagram(datagram);
      if (decoded.kind != peer::DatagramKind::kLine) ++bad;
      if (lines > 0) max_gap = std::max(max_gap, now - last_at);
      if (datagram == last) ++repeats;
      last = datagram;
      last_at = now;
      ++lines;
    }
  }
  int fd() const { return fd_; }

  int lines = 0, bad = 0, repeats = 0;
  SteadyClock::duration max_gap{};
  std::string last;

 private:
  int fd_;
  sockaddr_in relay_{};
  SteadyClock::time_point last_at{};
};

// A WebSocket client of the relay over Beast's synchronous API.
struct WebClient {
  explicit WebClient(int port, const std::string& origin = "", int receive_bytes = 0,
                     std::string host = "") {
    tcp::socket& socket = beast::get_lowest_layer(ws);
    socket.open(tcp::v4());
    if (receive_bytes > 0)
      socket.set_option(boost::asio::socket_base::receive_buffer_size(receive_bytes));
    socket.connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"),
                                 static_cast<unsigned short>(port)));
    if (host.empty()) host = "127.0.0.1:" + std::to_string(port);
    ws.set_option(websocket::stream_base::decorator([origin](websocket::request_type& request) {
      if (!origin.empty()) request.set(beast::http::field::origin, origin);
    }));
    ws.handshake(host, "/ws", ec);
  }
  // The next message whose type is `type`.
  std::string Next(const std::string& type) {
    for (int i = 0; i < 1000; ++i) {
      beast::flat_buffer buffer;
      ws.read(buffer, ec);
      if (ec) return "";
      std::string text = beast::buffers_to_string(buffer.data());
      if (text.find("\"type\":\"" + type + "\"") != std::string::npos) return text;
    }
    return "";
  }
  // Sends a message and returns the next result frame.
  std::string Ask(const std::string& message) {
    ws.write(boost::asio::buffer(message), ec);
    return ec ? "" : Next("result");
  }
  boost::asio::io_context io;
  websocket::stream<tcp::socket> ws{io};
  beast::error_code ec;
};

// GET `target` with Host `host`; the status code, 0 when no answer came.
int HttpGet(int port, const std::string& target, const std::string& host,
            std::string* body = nullptr) {
  boost::asio::io_context io;
  tcp::socket socket(io);
  beast::error_code ec;
  socket.connect(
      tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)),
      ec);
  beast::http::request<beast::http::empty_body> request(beast::http::verb::get, target, 11);
  request.set(beast::http::field::host, host);
  if (!ec) beast::http::write(socket, request, ec);
  beast::flat_buffer buffer;
  beast::http::response<beast::http::string_body> response;
  if (!ec) beast::http::read(socket, buffer, response, ec);
  if (ec) return 0;
  if (body) *body = response.body();
  return static_cast<int>(response.result_int());
}

TEST_F(RelayRig, ViewersAndRecorderGetEveryLineWhileCommandsGoThroughAndStalledOnesSlowNobody) {
  ASSERT_NO_FATAL_FAILURE(Start({"--rate", "30"}));
  const std::string csv = ::testing::TempDir() + "relay_record.csv";
  auto record = ChildProcess::Start(BinPath("skyhelm-peer"),
                                    {"record", "--out", csv, "--seconds", "4", "--to",
                                     "127.0.0.1:" + std::to_string(udp_port_), "--timeout", "5"});
  Viewer a(udp_port_), b(udp_port_);
  Viewer stalled(udp_port_, 2048);
  WebClient stalled_browser(http_port_, "", 4096);
  ASSERT_FALSE(stalled_browser.ec) << stalled_browser.ec.message();
  std::atomic<int> browser_frames{0};
  std::thread browser([port = http_port_, &browser_frames] {
    WebClient client(port);
    const auto end = SteadyClock::now() + std::chrono::seconds(4);
    while (SteadyClock::now() < end && !client.Next("telemetry").empty()) ++browser_frames;
  });
  for (Viewer* v : {&a, &b, &stalled}) v->Send("1");
  const auto start = SteadyClock::now();
  bool a_sent = false, b_sent = false;
  while (SteadyClock::now() - start < std::chrono::seconds(4)) {
    pollfd fds[2] = {{a.fd(), POLLIN, 0}, {b.fd(), POLLIN, 0}};
    poll(fds, 2, 20);
    a.Drain();
    b.Drain();
    const auto elapsed = SteadyClock::now() - start;
    if (!a_sent && elapsed > std::chrono::seconds(1)) a.Send("h200"), a_sent = true;
    if (!b_sent && elapsed > std::chrono::seconds(2)) b.Send("k150"), b_sent = true;
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

  ASSERT_EQ(record->Wait(kGenerous), 0) << record->Stderr();
  EXPECT_EQ(record->Stderr().find("no line from the bridge"), std::string::npos)
      << record->Stderr();
  std::ifstream rows(csv);
  std::string row;
  std::getline(rows, row);  // header
  double previous = -1, max_gap_s = 0;
  int count = 0;
  while (std::getline(rows, row)) {
    const double t = std::atof(row.c_str());
    if (previous >= 0) max_gap_s = std::max(max_gap_s, t - previous);
    previous = t;
    ++count;
  }
  EXPECT_GE(count, 40);
  EXPECT_LT(max_gap_s, 0.4);

  // The stalled browser's frames were skipped rather than queued.
  WebClient observer(http_port_);
  const std::string status = observer.Next("status");
  EXPECT_EQ(status.find("\"web_frames_skipped\":0,"), std::string::npos) << status;
  EXPECT_NE(status.find("\"bridge\":\"live\""), std::string::npos) << status;
}

struct WebCase {
  const char* name;
  std::string message;
  bool ok;
  std::string reply_has;
  std::string sim_event;      // printed by the simulator when the command goes through
  std::string then_has = "";  // the second result frame (confirmed or not)
};

void PrintTo(const WebCase& c, std::ostream* os) { *os << c.name; }

class RelayWeb : public RelayRig, public ::testing::WithParamInterface<WebCase> {};

TEST_P(RelayWeb, CommandsAreCheckedAndNeedTheToken) {
  ASSERT_NO_FATAL_FAILURE(Start({"--token", "s3cret"}));
  WebClient client(http_port_);
  ASSERT_FALSE(client.ec) << client.ec.message();
  EXPECT_NE(client.Next("status").find("\"token_required\":true"), std::string::npos);
  const std::string telemetry = client.Next("telemetry");
  EXPECT_NE(telemetry.find("\"heading_bug\":{\"value\":90,\"unit\":\"deg\"}"), std::string::npos)
      << telemetry;
  client.ws.write(boost::asio::buffer(GetParam().message));
  const std::string reply = client.Next("result");
  // A wrong token makes the next try wait a quarter of a second.
  if (reply.find("token_wrong") != std::string::npos)
    std::this_thread::sleep_for(milliseconds(300));
  EXPECT_NE(reply.find(GetParam().ok ? "\"ok\":true" : "\"ok\":false"), std::string::npos) << reply;
  EXPECT_NE(reply.find(GetParam().reply_has), std::string::npos) << reply;
  if (!GetParam().then_has.empty()) {
    const std::string then = client.Next("result");
    EXPECT_NE(then.find(GetParam().then_has), std::string::npos) << then;
  }
  // A later command that does go through proves the refused one never reached the simulator.
  client.ws.write(
      boost::asio::buffer(std::string(R"({"type":"command","text":"g1","token":"s3cret"})")));
  ASSERT_TRUE(SimPrinted("event GEAR_SET 1\n"));
  const std::string& events = sim_->Stdout();
  EXPECT_EQ(events.find("HEADING_BUG_SET") != std::string::npos, GetParam().ok) << events;
  if (GetParam().ok) {
    EXPECT_LT(events.find(GetParam().sim_event), events.find("event GEAR_SET 1")) << events;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Messages, RelayWeb,
    ::testing::Values(
        WebCase{"with_token", R"({"type":"command","text":"h123","token":"s3cret","id":5})", true,
                "\"id\":5,\"ok\":true,\"outcome\":\"forwarded\"", "event HEADING_BUG_SET 123\n",
                "\"id\":5,\"ok\":true,\"outcome\":\"confirmed\""},
        WebCase{"non_ascii_comes_back_as_it_went",
                "{\"type\":\"command\",\"text\":\"h270\xc3\xa9\",\"token\":\"s3cret\"}", false,
                "\"text\":\"h270\xc3\xa9\"", ""},
        WebCase{"without_token", R"({"type":"command","text":"h123"})", false, "needs a token", ""},
        WebCase{"wrong_token", R"({"type":"command","text":"h123","token":"s3cre"})", false,
                "wrong token", ""},
        WebCase{"checker_refuses", R"({"type":"command","text":"xyz","token":"s3cret"})", false,
                "\"error\":", ""},
        WebCase{
            "over_the_datagram_limit",
            R"({"type":"command","token":"s3cret","text":"h123)" + std::string(1100, ' ') + "\"}",
            false, "\"error\":", ""},
        WebCase{"not_json", "h123", false, "not a JSON object", ""}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(RelayRig, RefusesCrossOriginWebSocketsAndServesThePageAndStatus) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  const std::string self = "http://127.0.0.1:" + std::to_string(http_port_);
  EXPECT_FALSE(WebClient(http_port_, self).ec);
  EXPECT_TRUE(WebClient(http_port_, "http://evil.example").ec);
  EXPECT_TRUE(WebClient(http_port_, "http://127.0.0.1:1").ec);
  struct Get {
    const char* target;
    const char* host;
    int status;
    const char* body_has;
  };
  for (const Get& get : {Get{"/", "127.0.0.1", 200, "<title>Skyhelm panel</title>"},
                         Get{"/status", "localhost:8047", 200, "\"bridge\":\"live\""},
                         Get{"/nothing", "127.0.0.1", 404, ""},
                         Get{"/", "rebound.example:8047", 403, "unknown host"}}) {
    std::string body;
    EXPECT_EQ(HttpGet(http_port_, get.target, get.host, &body), get.status) << get.target;
    EXPECT_NE(body.find(get.body_has), std::string::npos) << get.target;
  }
}

// 0.0.0.0 is network mode; the test reaches it through 127.0.0.1 only.
TEST_F(RelayRig, NetworkModeMakesATokenServesOnlyItsOwnNamesAndSlowsGuessersAndFloods) {
  ASSERT_NO_FATAL_FAILURE(Start({"--listen", "0.0.0.0"}));
  ASSERT_TRUE(relay_->WaitForStdout("(generated", kGenerous)) << relay_->Stdout();
  const std::string out = relay_->Stdout();
  EXPECT_EQ(out.find("http://0.0.0.0"), std::string::npos) << out;
  const auto at = out.find("token ");
  ASSERT_NE(at, std::string::npos) << out;
  const std::string token = out.substr(at + 6, 32);
  EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << out;
  EXPECT_TRUE(relay_->WaitForStderr("takes commands from anyone", kGenerous)) << relay_->Stderr();

  EXPECT_EQ(HttpGet(http_port_, "/", "attacker.example"), 403);
  EXPECT_TRUE(WebClient(http_port_, "", 0, "evil.example").ec) << "rebinding Host";
  EXPECT_TRUE(WebClient(http_port_, "http://evil.example").ec) << "foreign Origin";

  WebClient client(http_port_, "http://127.0.0.1:" + std::to_string(http_port_));
  ASSERT_FALSE(client.ec) << client.ec.message();
  EXPECT_NE(client.Next("hello").find("\"protocol\":1"), std::string::npos);
  const auto command = [&](const std::string& text, const std::string& with) {
    return R"({"type":"command","text":")" + text + "\"" +
           (with.empty() ? "" : R"(,"token":")" + with + "\"") + "}";
  };
  EXPECT_NE(client.Ask(command("F", "")).find("\"code\":\"token_required\""), std::string::npos);
  EXPECT_NE(client.Ask(command("F", token)).find("\"outcome\":\"forwarded\""), std::string::npos);
  EXPECT_TRUE(SimPrinted("event TOGGLE_FLIGHT_DIRECTOR 0\n"));
  // A wrong guess makes the next one wait, on this connection and on a new one from the address.
  EXPECT_NE(client.Ask(command("F", "guess")).find("token_wrong"), std::string::npos);
  EXPECT_NE(client.Ask(command("F", "guess")).find("token_backoff"), std::string::npos);
  WebClient other(http_port_);
  EXPECT_NE(other.Ask(command("F", token)).find("token_backoff"), std::string::npos);
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_NE(other.Ask(command("g1", token)).find("forwarded"), std::string::npos);

  // A burst: some go, the rest are refused at once; one that keeps flooding is closed.
  int forwarded = 0, limited = 0;
  for (int i = 0; i < 60; ++i) {
    const std::string reply = other.Ask(command("g1", token));
    forwarded += reply.find("forwarded") != std::string::npos;
    limited += reply.find("rate_limited") != std::string::npos;
  }
  EXPECT_GT(limited, 20);
  EXPECT_LT(forwarded, 40);
  for (int i = 0; i < 400 && !other.ec; ++i)
    other.ws.write(boost::asio::buffer(command("g1", "")), other.ec);
  beast::flat_buffer buffer;
  for (int i = 0; i < 1000 && !other.ec; ++i) other.ws.read(buffer, other.ec);
  EXPECT_TRUE(other.ec) << "a flood is closed";
}

TEST_F(RelayRig, ConnectionsAreCountedAtAcceptAndRunningOutOfDescriptorsDoesNotSpin) {
#if defined(__has_feature)
#if __has_feature(undefined_behavior_sanitizer) || __has_feature(address_sanitizer)
  // UBSan's vptr check proves memory readable through a pipe, which a process out of descriptors
  // cannot make: it then reports Boost's error categories as bad and stops the relay.
  GTEST_SKIP() << "the sanitizers need descriptors of their own";
#endif
#endif
  ASSERT_NO_FATAL_FAILURE(Start({}, "ulimit -n 64 &&"));
  // Far more connections than descriptors: the relay refuses or waits, and never spins.
  std::vector<std::unique_ptr<tcp::socket>> held;
  boost::asio::io_context io;
  for (int i = 0; i < 150; ++i) {
    auto socket = std::make_unique<tcp::socket>(io);
    beast::error_code ec;
    socket->connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"),
                                  static_cast<unsigned short>(http_port_)),
                    ec);
    if (!ec) held.push_back(std::move(socket));
  }
  const double cpu_before = CpuSeconds(relay_->pid());
  std::this_thread::sleep_for(milliseconds(1500));
  const double cpu = CpuSeconds(relay_->pid()) - cpu_before;
  EXPECT_LT(cpu, 0.5) << "seconds of CPU in 1.5 s with descriptors exhausted";
  held.clear();
  std::string body;
  int status = 0;
  for (int i = 0; i < 50 && status != 200; ++i) {
    status = HttpGet(http_port_, "/status", "127.0.0.1", &body);
    if (status != 200) std::this_thread::sleep_for(milliseconds(100));
  }
  EXPECT_EQ(status, 200) << "answers again once descriptors are free";
  EXPECT_TRUE(relay_->WaitForStderr("accepting connections again", kGenerous)) << relay_->Stderr();
}

TEST_F(RelayRig, ABurstOfWebSocketsGetsTheCapAndA503ForTheRest) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  std::vector<std::unique_ptr<WebClient>> clients;
  std::vector<std::thread> threads;
  std::mutex mutex;
  int open = 0;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 100; ++i) {
        auto client = std::make_unique<WebClient>(http_port_);
        const std::lock_guard<std::mutex> lock(mutex);
        open += !client->ec;
        clients.push_back(std::move(client));
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_LE(open, 256);
  EXPECT_GE(open, 100);
  EXPECT_EQ(HttpGet(http_port_, "/status", "127.0.0.1"), 200) << "the relay still answers";
}

TEST_F(RelayRig, APeerThatResendsOneAfterASecondOfSilenceIsNeverDropped) {
  ASSERT_NO_FATAL_FAILURE(Start({"--expire", "1"}));
  Viewer peer(udp_port_);
  peer.Send("1");
  int resends = 0;
  auto last_line = SteadyClock::now();
  const auto end = SteadyClock::now() + std::chrono::seconds(5);
  while (SteadyClock::now() < end) {
    pollfd fd{peer.fd(), POLLIN, 0};
    poll(&fd, 1, 20);
    const int before = peer.lines;
    peer.Drain();
    if (peer.lines > before) last_line = SteadyClock::now();
    if (SteadyClock::now() - last_line > std::chrono::seconds(1)) {
      peer.Send("1");  // the document's rule for the bridge
      last_line = SteadyClock::now();
      ++resends;
    }
  }
  EXPECT_GE(resends, 1) << "the relay's expiry paused the lines";
  EXPECT_LT(SteadyClock::now() - last_line, std::chrono::milliseconds(1100));
  EXPECT_GE(peer.lines, 60);
}

struct CliCase {
  std::vector<std::string> args;
  int exit_code;
  std::string out_or_err_has;
};

void PrintTo(const CliCase& c, std::ostream* os) {
  *os << "skyhelm-relay " << test_support::Joined(c.args);
}

class RelayCli : public ::testing::TestWithParam<CliCase> {};

TEST_P(RelayCli, ExitCodesAndTexts) {
  const auto result = skyhelm::test_support::RunProgram(BinPath("skyhelm-relay"), GetParam().args);
  EXPECT_EQ(result.exit_code, GetParam().exit_code) << result.err;
  EXPECT_NE((result.out + result.err).find(GetParam().out_or_err_has), std::string::npos)
      << result.out << result.err;
}

INSTANTIATE_TEST_SUITE_P(
    Options, RelayCli,
    ::testing::Values(CliCase{{"--version"}, 0, "skyhelm-relay 0."},
                      CliCase{{"--help"}, 0, "--allow-origin"},
                      CliCase{{"--rate", "0"}, 2, "--rate"},
                      CliCase{
                          {"--rate", "abc"},
                          2,
                          "--rate: \"abc\" is not a number of lines per second from 0.1 to 1000"},
                      CliCase{{"--listen", "nope"}, 2, "--listen"},
                      CliCase{{"--bridge", "127.0.0.1"}, 2, "HOST:PORT"},
                      CliCase{{"--listen", "192.0.2.1", "--udp-port", "0", "--http-port", "0"},
                              1,
                              "relay: UDP port"}),
    [](const auto& test) { return test_support::TestName(test_support::Joined(test.param.args)); });

}  // namespace
}  // namespace skyhelm::relay
