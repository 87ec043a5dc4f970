// Browsers: HTTP for the panel and /status, WebSocket on /ws for the stream and commands.
#include "tools/relay/web_session.h"

#include <chrono>

#include "tools/common/command_check.h"
#include "tools/relay/panel_page.h"
#include "tools/relay/relay_json.h"

namespace skyhelm::relay {

namespace http = beast::http;
namespace websocket = beast::websocket;

namespace {

constexpr std::size_t kMaxRequestBytes = 8192;
constexpr std::size_t kMaxReplyQueue = 16;
constexpr int kWebSendBufferBytes = 32 * 1024;
constexpr auto kHttpTimeout = std::chrono::seconds(30);

// Same-length comparison that takes as long for a near miss as for a far one.
bool TokenMatches(const std::string& expected, const std::string& given) {
  if (expected.size() != given.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    diff = static_cast<unsigned char>(diff | (expected[i] ^ given[i]));
  }
  return diff == 0;
}

// A page on another site may open a WebSocket to 127.0.0.1 from the user's own browser; browsers
// always send Origin, so one that names another host than the one asked for is refused.
bool SameOrigin(const http::request<http::string_body>& request) {
  const auto origin = request.find(http::field::origin);
  if (origin == request.end()) return true;  // not a browser: nothing to protect against
  const beast::string_view value = origin->value();
  const auto scheme_end = value.find("://");
  if (scheme_end == beast::string_view::npos) return false;
  return value.substr(scheme_end + 3) == request[http::field::host];
}

// A page from a name that an attacker points at 127.0.0.1 (DNS rebinding) would be same-origin to
// itself; on loopback only the loopback names are accepted as Host.
bool HostAllowed(const Relay& relay, const http::request<http::string_body>& request) {
  if (!relay.listen_loopback) return true;
  std::string host(request[http::field::host]);
  const auto colon = host.rfind(':');
  if (colon != std::string::npos && host.find(']', colon) == std::string::npos) host.resize(colon);
  return host == "127.0.0.1" || host == "localhost" || host == "[::1]";
}

class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(Relay& relay, tcp::socket socket) : relay_(relay), stream_(std::move(socket)) {}

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
    if (!HostAllowed(relay_, request)) {
      return Respond(request, http::status::forbidden, "text/plain", "unknown host name\n");
    }
    if (websocket::is_upgrade(request)) {
      if (target != "/ws" && target.rfind("/ws?", 0) != 0)
        return Respond(request, http::status::not_found, "text/plain", "not found\n");
      if (!SameOrigin(request))
        return Respond(request, http::status::forbidden, "text/plain",
                       "cross-origin WebSocket refused\n");
      if (relay_.sessions.size() >= relay_.options.max_web_clients)
        return Respond(request, http::status::service_unavailable, "text/plain",
                       "too many clients\n");
      stream_.expires_never();
      // Little room in the kernel for a slow browser: what waits there is stale, while the
      // newest frame waits in the session.
      beast::error_code ignored;
      stream_.socket().set_option(net::socket_base::send_buffer_size(kWebSendBufferBytes), ignored);
      auto session = std::make_shared<WebSession>(relay_, stream_.release_socket());
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
    response->keep_alive(request.keep_alive());
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
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
};

void Accept(Relay& relay) {
  relay.acceptor.async_accept([&relay](beast::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted) return;
    if (!ec) {
      socket.set_option(tcp::no_delay(true), ec);
      std::make_shared<HttpSession>(relay, std::move(socket))->Read();
    }
    Accept(relay);
  });
}

}  // namespace

void StartAccepting(Relay& relay) { Accept(relay); }

WebSession::WebSession(Relay& relay, tcp::socket socket) : relay_(relay), ws_(std::move(socket)) {}

void WebSession::Accept(http::request<http::string_body> request) {
  ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
  ws_.read_message_max(4096);
  ws_.text(true);
  ws_.async_accept(request, [self = shared_from_this()](beast::error_code ec) {
    if (ec) return;
    self->open_ = true;
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
    self->Read();
  });
}

void WebSession::HandleMessage(const std::string& text) {
  std::string error;
  const std::optional<CommandMessage> message = ParseCommandMessage(text, error);
  if (!message) return Reply(ResultJson("null", false, "", error));
  if (!relay_.options.token.empty() &&
      !(message->token && TokenMatches(relay_.options.token, *message->token))) {
    return Reply(
        ResultJson(message->id_json, false, message->text,
                   message->token ? "wrong token" : "this relay needs a token for commands"));
  }
  const tools::CommandCheck check = tools::CheckCommand(message->text.data(), message->text.size());
  if (!check.ok) return Reply(ResultJson(message->id_json, false, message->text, check.problem));
  relay_.ForwardToBridge(message->text);
  Reply(ResultJson(message->id_json, true, message->text, check.explanation));
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
