// Fuzz target: the stand-in client library framing what arrives from the simulator.
//
// A loopback TCP server answers the handshake on a background thread; then the fuzzing thread
// writes the input itself, one chunk between two dispatches of the client, so a message can
// arrive split anywhere. The first input byte picks the chunk size (0: everything in one write),
// the rest is the stream, written in at most kMaxChunks chunks; then the server ends the stream.
//
// Invariants: the messages handed out are exactly the frames of the stream, in order, 8-byte
// aligned, each at least a header and at most the protocol's bound; the stream ends in exactly
// one quit (the simulator's own, or one the library makes when the stream breaks or closes) and
// nothing after it. Every delivered message also goes through the bridge's dispatch callback.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/simconnect/client_connection.h"
#include "platform/simconnect/wire_protocol.h"
#include "sim/telemetry.h"

namespace {

namespace wire = skyhelm::wire;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kMaxChunks = 32;

void WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = send(fd, data + done, size - done, MSG_NOSIGNAL);
    if (n <= 0) return;  // the client has gone: the rest is of no interest
    done += static_cast<std::size_t>(n);
  }
}

// The simulator's end of each connection. A background thread accepts and sends the open message
// at once (the client's Open does not wait for it); everything after it happens on the fuzzing
// thread.
class LoopbackServer {
 public:
  LoopbackServer() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    FUZZ_CHECK(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
    FUZZ_CHECK(listen(listener_, 16) == 0);
    FUZZ_CHECK(getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0);
    port_ = ntohs(address.sin_port);
    std::thread([this] { Serve(); }).detach();  // lives as long as the fuzzing process
  }

  std::uint16_t port() const { return port_; }

  // The server side of the connection whose handshake was answered last.
  int TakeConnection() {
    std::unique_lock<std::mutex> lock(mutex_);
    answered_.wait(lock, [&] { return connection_ >= 0; });
    const int fd = connection_;
    connection_ = -1;
    return fd;
  }

 private:
  void Serve() {
    Bytes open;
    wire::EncodeOpenMessage(wire::kDefaultProtocol, "Stand-in", {}, open);
    for (;;) {
      const int client = accept(listener_, nullptr, nullptr);
      if (client < 0) continue;
      int one = 1;  // each chunk leaves at once, so the client really sees it on its own
      setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      WriteAll(client, open.data(), open.size());
      std::lock_guard<std::mutex> lock(mutex_);
      connection_ = client;
      answered_.notify_all();
    }
  }

  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::mutex mutex_;
  std::condition_variable answered_;
  int connection_ = -1;
};

// The frames a correct reader hands out for `stream`: the open message first, then whole frames
// up to and including a quit; a broken size or an end inside a frame gives a made-up quit.
std::vector<Bytes> ExpectedMessages(const Bytes& stream) {
  std::vector<Bytes> expected;
  wire::EncodeOpenMessage(wire::kDefaultProtocol, "Stand-in", {}, expected.emplace_back());
  std::size_t at = 0;
  for (;;) {
    std::size_t size = 0;
    const auto status =
        wire::PeekFrame(stream.data() + at, stream.size() - at, wire::kMessageHeaderBytes, size);
    if (status != wire::FrameStatus::kComplete) break;
    expected.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(at),
                          stream.begin() + static_cast<std::ptrdiff_t>(at + size));
    at += size;
    if (wire::GetU32(expected.back().data() + 8) == wire::kRecvIdQuit) {
      return expected;
    }
  }
  Bytes quit;
  wire::EncodeQuitMessage(wire::kDefaultProtocol, quit);
  expected.push_back(quit);
  return expected;
}

void Describe(const char* what, const std::vector<Bytes>& messages) {
  std::fprintf(stderr, "%s:", what);
  for (const Bytes& m : messages) {
    std::fprintf(stderr, " [%zu bytes, id %u]", m.size(),
                 m.size() >= 12 ? wire::GetU32(m.data() + 8) : 0u);
  }
  std::fprintf(stderr, "\n");
}

void Collect(std::uint8_t* message, std::uint32_t size, void* context) {
  FUZZ_CHECK(reinterpret_cast<std::uintptr_t>(message) % 8 == 0);
  FUZZ_CHECK(size >= wire::kMessageHeaderBytes && size <= wire::kMaxMessageBytes);
  static_cast<std::vector<Bytes>*>(context)->emplace_back(message, message + size);
  skyhelm::HandleSimMessage(reinterpret_cast<SIMCONNECT_RECV*>(message), size, nullptr);
}

// Ends the stream with a FIN and waits (boundedly) for the client to close its end before closing
// this one: closing with the client's requests unread would reset the connection instead.
void EndStream(int fd) {
  shutdown(fd, SHUT_WR);
  char sink[4096];
  pollfd readable{fd, POLLIN, 0};
  while (poll(&readable, 1, 2000) > 0 && recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
  }
  close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static LoopbackServer server;
  if (size == 0) return 0;
  const Bytes stream(data + 1, data + size);
  const std::size_t fewest_bytes = (stream.size() + kMaxChunks - 1) / kMaxChunks;
  const std::size_t chunk =
      data[0] == 0 ? stream.size() : std::max<std::size_t>(data[0], fewest_bytes);

  auto connection = std::make_unique<skyhelm::simconnect::ClientConnection>();
  std::string why;
  FUZZ_CHECK(
      connection->Open({"127.0.0.1", server.port()}, wire::kDefaultProtocol, "Request Data", why));
  const int simulator = server.TakeConnection();
  std::vector<Bytes> delivered;
  const bool stop = false;
  for (std::size_t at = 0; at < stream.size(); at += chunk) {
    WriteAll(simulator, stream.data() + at, std::min(chunk, stream.size() - at));
    connection->Dispatch(&Collect, &delivered, stop);
  }
  shutdown(simulator, SHUT_WR);
  for (int attempt = 0; attempt < 5000 && !connection->Ended(); ++attempt) {
    connection->Dispatch(&Collect, &delivered, stop);
    if (!connection->Ended()) usleep(100);
  }
  FUZZ_CHECK(connection->Ended());
  connection.reset();
  EndStream(simulator);

  const std::vector<Bytes> expected = ExpectedMessages(stream);
  if (delivered != expected) {
    Describe("delivered", delivered);
    Describe("expected", expected);
  }
  FUZZ_CHECK(delivered == expected);
  return 0;
}
