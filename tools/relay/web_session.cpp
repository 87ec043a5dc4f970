// Browsers: HTTP for the panel and /status, WebSocket on /ws for the stream and commands.
#include "tools/relay/web_session.h"

#include <chrono>
#include <cstdio>

#include "tools/common/command_check.h"
#include "tools/relay/panel_page.h"

namespace skyhelm::relay {

namespace http = beast::http;
namespace websocket = beast::websocket;

namespace {

constexpr std::size_t kMaxRequestBytes = 8192;
constexpr std::size_t kMaxReplyQueue = 16;
constexpr std::size_t kMaxUnconfirmed = 16;
constexpr int kWebSendBufferBytes = 32 * 1024;
// An idle keep-alive connection holds a slot; a browser opens a new one at once when needed.
constexpr auto kHttpTimeout = std::chrono::seconds(10);
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);
constexpr BudgetPolicy kBudget{};

double Ms(Duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::string Seconds(Duration d) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(d).count());
  return text;
}

class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(Relay& relay, tcp::socket socket)
      : relay_(relay), slot_(std::make_shared<ConnectionSlot>(relay)), stream_(std::move(socket)) {}

  void Read() {
    parser_.emplace();
    parser_->header_limit(kMaxRequestBytes);
    parser_->body_limit(kMaxRequestBytes);
    stream_.expires_after(kHttpTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) {
                       if (!ec) self->Handle(self->parser_->release());
                     });
  }

 private:
  void Handle(http::request<http::string_body> request) {
    const std::string target(request.target());
    const std::string host(request[http::field::host]);
    if (!HostAllowed(relay_.hosts, host)) {
      return Respond(request, http::status::forbidden, "text/plain",
                     "unknown host name (skyhelm-relay --allow-host NAME serves it)\n");
    }
    if (websocket::is_upgrade(request)) {
      if (target != "/ws" && target.rfind("/ws?", 0) != 0)
        return Respond(request, http::status::not_found, "text/plain", "not found\n");
      const auto origin_field = request.find(http::field::origin);
      const std::string origin =
          origin_field == request.end() ? "" : std::string(origin_field->value());
      if (!OriginAllowed(relay_.hosts, origin_field == request.end() ? nullptr : &origin, host))
        return Respond(request, http::status::forbidden, "text/plain",
                       "cross-origin WebSocket refused (skyhelm-relay --allow-origin ORIGIN "
                       "allows it)\n");
      if (relay_.web_connections >= relay_.options.max_web_clients)
        return Respond(request, http::status::service_unavailable, "text/plain",
                       "too many clients\n");
      stream_.expires_never();
      // Little room in the kernel for a slow browser: what waits there is stale, while the
      // newest frame waits in the session.
      beast::error_code ignored;
      stream_.socket().set_option(net::socket_base::send_buffer_size(kWebSendBufferBytes), ignored);
      auto session = std::make_shared<WebSession>(relay_, stream_.release_socket(), slot_);
      session->Accept(std::move(request));
      return;
    }
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
      return Respond(request, http::status::method_not_allowed, "text/plain", "GET only\n");
    }
    if (target == "/" || target == "/index.html") {
      return Respond(request, http::status::ok, "text/html; charset=utf-8",
                     std::string(PanelPage()));
    }
    if (target == "/status") {
      return Respond(request, http::status::ok, "application/json",
                     relay_.StatusText(Clock::now()) + "\n");
    }
    Respond(request, http::status::not_found, "text/plain", "not found\n");
  }

  void Respond(const http::request<http::string_body>& request, http::status status,
               const char* type, std::string body) {
    auto response = std::make_shared<http::response<http::string_body>>(status, request.version());
    response->set(http::field::server, "skyhelm-relay");
    response->set(http::field::content_type, type);
    response->set(http::field::cache_control, "no-store");
    response->set("X-Content-Type-Options", "nosniff");
    response->set("X-Frame-Options", "DENY");
    response->keep_alive(request.keep_alive() && status == http::status::ok);
    response->body() = std::move(body);
    response->prepare_payload();
    if (request.method() == http::verb::head) response->body().clear();
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response](beast::error_code ec, std::size_t) {
                        if (ec || !response->keep_alive()) {
                          beast::error_code ignored;
                          self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
                          return;
                        }
                        self->Read();
                      });
  }

  Relay& relay_;
  std::shared_ptr<ConnectionSlot> slot_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
};

// Above the caps a connection gets a short 503 at once, without waiting for its request: the
// answer must not cost a slot, a timer or a read.
void RefuseBusy(tcp::socket& socket) {
  static constexpr char kBusy[] =
      "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: 21\r\n"
      "Connection: close\r\nRetry-After: 5\r\n\r\ntoo many connections\n";
  boost::system::error_code ec;
  socket.non_blocking(true, ec);
  std::array<char, 4096> request{};
  socket.receive(net::buffer(request), 0, ec);  // what has come; an unread request would reset
  socket.send(net::buffer(kBusy, sizeof kBusy - 1), 0, ec);
  socket.shutdown(tcp::socket::shutdown_send, ec);
  socket.close(ec);
}

void Accept(Relay& relay) {
  relay.acceptor.async_accept([&relay](beast::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted) return;
    if (ec && ec != net::error::connection_aborted) {
      // Accepting again at once would fail at once, forever: the loop would spin. Wait a little;
      // closing connections free descriptors meanwhile.
      if (!relay.accept_failing) {
        relay.Log("relay: cannot accept a connection (" + ec.message() +
                  "); trying again every 100 ms\n");
      }
      relay.accept_failing = true;
      relay.accept_backoff.expires_after(kAcceptBackoff);
      relay.accept_backoff.async_wait([&relay](beast::error_code timer_ec) {
        if (!timer_ec) Accept(relay);
      });
      return;
    }
    if (relay.accept_failing) {
      relay.accept_failing = false;
      relay.Log("relay: accepting connections again\n");
    }
    if (!ec) {
      const std::size_t http_open = relay.connections - relay.web_connections;
      if (http_open >= relay.options.max_http_connections) {
        RefuseBusy(socket);
      } else {
        socket.set_option(tcp::no_delay(true), ec);
        std::make_shared<HttpSession>(relay, std::move(socket))->Read();
      }
    }
    Accept(relay);
  });
}

}  // namespace

void StartAccepting(Relay& relay) { Accept(relay); }

WebSession::WebSession(Relay& relay, tcp::socket socket, std::shared_ptr<ConnectionSlot> slot)
    : pace(relay.web_pace), relay_(relay), slot_(std::move(slot)), ws_(std::move(socket)) {
  ++relay_.web_connections;
  boost::system::error_code ec;
  const tcp::endpoint remote = beast::get_lowest_layer(ws_).socket().remote_endpoint(ec);
  address_ = ec ? "" : remote.address().to_string();
}

WebSession::~WebSession() { --relay_.web_connections; }

void WebSession::Accept(http::request<http::string_body> request) {
  ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
  ws_.read_message_max(4096);
  ws_.text(true);
  ws_.async_accept(request, [self = shared_from_this()](beast::error_code ec) {
    if (ec) return;
    self->open_ = true;
    HelloFigures hello;
    hello.relay_version = "skyhelm-relay " SKYHELM_VERSION;
    hello.max_rate_hz = self->relay_.options.rate_hz;
    hello.token_required = !self->relay_.options.token.empty();
    hello.command_burst = kBudget.burst;
    hello.commands_per_second = kBudget.per_second;
    self->Reply(HelloJson(hello));
    self->relay_.AddSession(self);
    self->OfferStatus(std::make_shared<const std::string>(self->relay_.StatusText(Clock::now())));
    self->Read();
  });
}

void WebSession::Read() {
  ws_.async_read(read_buffer_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
    if (ec) return self->Fail();
    const std::string text = beast::buffers_to_string(self->read_buffer_.data());
    self->read_buffer_.consume(self->read_buffer_.size());
    self->HandleMessage(text);
    if (!self->failed_) self->Read();
  });
}

void WebSession::HandleMessage(const std::string& text) {
  const TimePoint now = Clock::now();
  ResultFrame refusal;
  switch (SpendMessage(budget_, now, kBudget)) {
    case BudgetVerdict::kAllowed:
      break;
    case BudgetVerdict::kFlooding:
      relay_.Log("relay: closed a WebSocket from " + address_ + " that kept flooding\n");
      return Close();
    case BudgetVerdict::kRefused:
      refusal.code = "rate_limited";
      refusal.detail = "too many messages: at most 20 at once, then 10 a second";
      refusal.retry_after_ms = 1000.0 / kBudget.per_second;
      return Reply(ResultJson(refusal));
  }
  MessageError error;
  std::optional<ClientMessage> message = ParseClientMessage(text, error);
  if (!message) {
    refusal.id = error.id;
    refusal.code = error.code;
    refusal.detail = error.text;
    return Reply(ResultJson(refusal));
  }
  if (message->subscribe) return HandleSubscribe(*message);
  HandleCommand(std::move(*message), now);
}

void WebSession::HandleSubscribe(const ClientMessage& message) {
  fields = message.fields;
  const double rate = message.rate_hz > 0 && message.rate_hz < relay_.options.rate_hz
                          ? message.rate_hz
                          : relay_.options.rate_hz;
  pace.min_interval =
      std::chrono::duration_cast<Duration>(std::chrono::duration<double>(1.0 / rate));
  Reply(SubscribedJson(message.id, fields, rate));
  delivery = {};  // the next line goes out at once, in the new shape
  relay_.FanOut(Clock::now());
}

bool WebSession::TokenAccepted(const ClientMessage& message, TimePoint now) {
  const std::string& expected = relay_.options.token;
  if (expected.empty()) return true;
  ResultFrame refusal;
  refusal.id = message.id;
  refusal.text = message.text;
  FailedTokens& by_address = relay_.failed_tokens.For(address_, now);
  const Duration wait =
      std::max(TokenWaitLeft(failed_tokens_, now), TokenWaitLeft(by_address, now));
  if (wait > Duration::zero()) {
    refusal.code = "token_backoff";
    refusal.detail = "too many wrong tokens: try again in " + Seconds(wait);
    refusal.retry_after_ms = Ms(wait);
  } else if (!message.token) {
    refusal.code = "token_required";
    refusal.detail = "this relay needs a token for commands";
  } else if (!TokenMatches(expected, *message.token)) {
    OnTokenFailed(failed_tokens_, now);
    OnTokenFailed(by_address, now);
    refusal.code = "token_wrong";
    refusal.detail = "wrong token";
  } else {
    failed_tokens_ = {};
    relay_.failed_tokens.Forget(address_);
    return true;
  }
  Reply(ResultJson(refusal));
  return false;
}

void WebSession::HandleCommand(ClientMessage message, TimePoint now) {
  if (!TokenAccepted(message, now)) return;
  ResultFrame result;
  result.id = message.id;
  result.text = message.text;
  const tools::CommandCheck check = tools::CheckCommand(message.text.data(), message.text.size());
  if (!check.ok) {
    result.code = "bad_command";
    result.detail = check.problem;
    return Reply(ResultJson(result));
  }
  // Said at once rather than sent into the void: the bridge would never see it, or nobody
  // could tell whether it did. Datagrams already waiting count: a relay that was itself held up
  // must not take its own delay for the bridge's.
  if (relay_.bridge.state != BridgeState::kLive) DrainUpstream(relay_);
  if (relay_.bridge.state != BridgeState::kLive) {
    result.code = "bridge_not_answering";
    switch (relay_.bridge.state) {
      case BridgeState::kUnreachable:
        result.detail = "bridge not answering: nothing listens on its port; not sent";
        break;
      case BridgeState::kSilent:
        result.detail = "bridge not answering: no datagram for " +
                        Seconds(now - relay_.bridge.last_datagram) + "; not sent";
        break;
      default:
        result.detail = "bridge not answering yet: no datagram since the relay started; not sent";
        break;
    }
    return Reply(ResultJson(result));
  }
  relay_.ForwardToBridge(message.text);
  result.outcome = "forwarded";
  result.detail = check.explanation;
  Reply(ResultJson(result));
  if (!relay_.values) return;
  std::vector<peer::Expectation> expected = peer::ExpectedEffects({message.text}, *relay_.values);
  if (expected.empty()) return;
  if (unconfirmed_.size() >= kMaxUnconfirmed) unconfirmed_.pop_front();
  unconfirmed_.push_back(
      {message.id, std::move(message.text), std::move(expected), *relay_.values, now});
}

void WebSession::OnLine(const peer::TelemetryValues& line, TimePoint now) {
  for (auto it = unconfirmed_.begin(); it != unconfirmed_.end();) {
    if (peer::Unmet(it->expected, it->before, line) != nullptr) {
      ++it;
      continue;
    }
    ResultFrame result;
    result.id = it->id;
    result.outcome = "confirmed";
    result.text = it->text;
    result.detail = "the line shows it";
    result.after_ms = Ms(now - it->sent_at);
    Reply(ResultJson(result));
    it = unconfirmed_.erase(it);
  }
}

void WebSession::Tick(TimePoint now) {
  while (!unconfirmed_.empty() && now - unconfirmed_.front().sent_at >= kConfirmWait) {
    const Pending& p = unconfirmed_.front();
    ResultFrame result;
    result.id = p.id;
    result.outcome = "not_confirmed";
    result.text = p.text;
    result.after_ms = Ms(now - p.sent_at);
    const peer::TelemetryValues& line = relay_.values ? *relay_.values : p.before;
    const peer::Expectation* unmet = peer::Unmet(p.expected, p.before, line);
    const std::size_t f = unmet != nullptr ? unmet->field : p.expected.front().field;
    result.detail = "not confirmed after " + Seconds(kConfirmWait) + ": " +
                    kTelemetryFields[f].name + " is still " + line.texts[f] +
                    " (paused, or the aircraft refused it?)";
    Reply(ResultJson(result));
    unconfirmed_.pop_front();
  }
}

void WebSession::OfferTelemetry(std::shared_ptr<const std::string> frame) {
  if (pending_telemetry_) ++relay_.web_frames_skipped;
  pending_telemetry_ = std::move(frame);
  WriteNext();
}

void WebSession::OfferStatus(std::shared_ptr<const std::string> frame) {
  pending_status_ = std::move(frame);
  WriteNext();
}

void WebSession::Reply(std::string frame) {
  if (pending_replies_.size() >= kMaxReplyQueue) pending_replies_.pop_front();
  pending_replies_.push_back(std::make_shared<const std::string>(std::move(frame)));
  WriteNext();
}

void WebSession::WriteNext() {
  if (!open_ || failed_ || writing_) return;
  if (!pending_replies_.empty()) {
    writing_ = std::move(pending_replies_.front());
    pending_replies_.pop_front();
  } else if (pending_status_) {
    writing_ = std::move(pending_status_);
  } else if (pending_telemetry_) {
    writing_ = std::move(pending_telemetry_);
  } else {
    return;
  }
  ws_.async_write(net::buffer(*writing_),
                  [self = shared_from_this()](beast::error_code ec, std::size_t) {
                    self->writing_.reset();
                    if (ec) return self->Fail();
                    self->WriteNext();
                  });
}

void WebSession::Fail() {
  if (failed_) return;
  failed_ = true;
  open_ = false;
  relay_.RemoveSession(this);
}

void WebSession::Close() {
  beast::error_code ignored;
  beast::get_lowest_layer(ws_).socket().close(ignored);
  Fail();
}

}  // namespace skyhelm::relay
