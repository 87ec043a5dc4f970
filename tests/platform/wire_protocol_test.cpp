// Tests for the byte protocol between the client library and the stand-in simulator: malformed
// requests. The decoded fields of every request are checked through the client library
// (simconnect_client_test, sim_link_test), framing through the client library's dispatch.
#include "platform/simconnect/wire_protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

namespace skyhelm::wire {
namespace {

using Bytes = std::vector<std::uint8_t>;

const std::function<void(Bytes&)> kEncoders[] = {
    [](Bytes& out) { EncodeOpen(OpenRequest{}, 42, out); },
    [](Bytes& out) {
      EncodeAddToDataDefinition({0, "", true, "", 0}, 42, out);
    },
    [](Bytes& out) { EncodeAddToDataDefinition(AddToDataDefinitionRequest{}, 42, out); },
    [](Bytes& out) { EncodeRequestDataOnSimObject(RequestDataOnSimObjectRequest{}, 42, out); },
    [](Bytes& out) { EncodeMapClientEvent(MapClientEventRequest{}, 42, out); },
    [](Bytes& out) { EncodeTransmitClientEvent(TransmitClientEventRequest{}, 42, out); },
    [](Bytes& out) { EncodeClose(42, out); },
};

// Every request decodes whole, and is refused when the size given disagrees with its size field,
// when its type is unknown, or when its layout is a byte short or long.
TEST(WireProtocol, EveryRequestDecodesWholeAndIsRefusedWhenMalformed) {
  for (const auto& encode : kEncoders) {
    Bytes bytes = {0xAA};  // encoders append: an unrelated byte before must stay untouched
    encode(bytes);
    ASSERT_EQ(bytes[0], 0xAA);
    bytes.erase(bytes.begin());
    Request request;
    ASSERT_TRUE(DecodeRequest(bytes.data(), bytes.size(), request));
    EXPECT_EQ(request.send_id, 42u);
    EXPECT_FALSE(DecodeRequest(bytes.data(), bytes.size() - 1, request));
    for (const std::uint32_t type : {0u, 7u, 0xFFFFFFFFu}) {
      Bytes changed = bytes;
      std::memcpy(changed.data() + 4, &type, 4);
      EXPECT_FALSE(DecodeRequest(changed.data(), changed.size(), request)) << type;
    }
    for (const std::size_t size : {bytes.size() - 1, bytes.size() + 1}) {
      Bytes changed = bytes;
      changed.resize(size);
      const auto size_field = static_cast<std::uint32_t>(size);
      std::memcpy(changed.data(), &size_field, 4);  // a consistent size field, the wrong layout
      EXPECT_FALSE(DecodeRequest(changed.data(), changed.size(), request)) << size;
    }
  }
}

}  // namespace
}  // namespace skyhelm::wire
