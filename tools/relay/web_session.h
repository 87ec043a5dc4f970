// One browser's WebSocket: the newest telemetry and status frames, and its command messages.
#pragma once

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <deque>
#include <memory>
#include <string>

#include "tools/relay/relay_core.h"

namespace skyhelm::relay {

namespace beast = boost::beast;

// Never blocks the relay: at most one write is in flight; while it is, a newer telemetry or
// status frame replaces the one waiting (a slow browser skips frames, it never queues them), and
// command results wait in a short queue of their own.
class WebSession : public std::enable_shared_from_this<WebSession> {
 public:
  WebSession(Relay& relay, tcp::socket socket);
  void Accept(beast::http::request<beast::http::string_body> request);
  void OfferTelemetry(std::shared_ptr<const std::string> frame);
  void OfferStatus(std::shared_ptr<const std::string> frame);
  void Close();

  DeliveryState delivery;

 private:
  void Read();
  void HandleMessage(const std::string& text);
  void Reply(std::string frame);
  void WriteNext();
  void Fail();

  Relay& relay_;
  beast::websocket::stream<beast::tcp_stream> ws_;
  beast::flat_buffer read_buffer_;
  std::shared_ptr<const std::string> pending_telemetry_;
  std::shared_ptr<const std::string> pending_status_;
  std::deque<std::shared_ptr<const std::string>> pending_replies_;
  std::shared_ptr<const std::string> writing_;
  bool open_ = false;
  bool failed_ = false;
};

}  // namespace skyhelm::relay
