// One browser's WebSocket: the newest telemetry and status frames, and its command messages.
#pragma once

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "tools/peer/command_effects.h"
#include "tools/relay/relay_core.h"
#include "tools/relay/relay_json.h"

namespace skyhelm::relay {

namespace beast = boost::beast;

// Never blocks the relay: at most one write is in flight; while it is, a newer telemetry or
// status frame replaces the one waiting (a slow browser skips frames, it never queues them), and
// command results wait in a short queue of their own.
class WebSession : public std::enable_shared_from_this<WebSession> {
 public:
  WebSession(Relay& relay, tcp::socket socket, std::shared_ptr<ConnectionSlot> slot);
  ~WebSession();
  void Accept(beast::http::request<beast::http::string_body> request);
  void OfferTelemetry(std::shared_ptr<const std::string> frame);
  void OfferStatus(std::shared_ptr<const std::string> frame);
  // A new line: commands whose effect it shows are confirmed.
  void OnLine(const peer::TelemetryValues& line, TimePoint now);
  // Commands still unconfirmed after kConfirmWait are reported as such.
  void Tick(TimePoint now);
  void Close();

  DeliveryState delivery;
  DeliveryPace pace{};
  FieldMask fields;  // empty: every field

 private:
  struct Pending {
    nlohmann::json id;
    std::string text;
    std::vector<peer::Expectation> expected;
    peer::TelemetryValues before;
    TimePoint sent_at;
  };

  void Read();
  void HandleMessage(const std::string& text);
  void HandleCommand(ClientMessage message, TimePoint now);
  void HandleSubscribe(const ClientMessage& message);
  // False (and the refusal sent) when the command may not go.
  bool TokenAccepted(const ClientMessage& message, TimePoint now);
  void Reply(std::string frame);
  void WriteNext();
  void Fail();

  Relay& relay_;
  std::shared_ptr<ConnectionSlot> slot_;
  beast::websocket::stream<beast::tcp_stream> ws_;
  std::string address_;  // the remote address, for the failed-token wait
  beast::flat_buffer read_buffer_;
  std::shared_ptr<const std::string> pending_telemetry_;
  std::shared_ptr<const std::string> pending_status_;
  std::deque<std::shared_ptr<const std::string>> pending_replies_;
  std::shared_ptr<const std::string> writing_;
  std::deque<Pending> unconfirmed_;
  FailedTokens failed_tokens_;
  MessageBudget budget_;
  bool open_ = false;
  bool failed_ = false;
};

}  // namespace skyhelm::relay
