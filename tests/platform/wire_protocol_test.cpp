// Tests for SimConnect's network protocol as both ends encode and decode it: the fixed sizes and
// version blocks, and requests the simulator must not misread. The decoded fields of every request
// are checked through the client library (simconnect_client_test, sim_link_test), the bytes
// against an independent client in tests/interop.
#include "platform/simconnect/wire_protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

namespace skyhelm::wire {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Layout {
  RequestType type;
  std::size_t size;
  std::function<void(Bytes&)> encode;  // in protocol 6, send id 42
};

const Layout kLayouts[] = {
    {RequestType::kOpen, 296, [](Bytes& out) { EncodeOpen({}, 6, 42, out); }},
    {RequestType::kMapClientEventToSimEvent, 276,
     [](Bytes& out) { EncodeMapClientEvent({}, 6, 42, out); }},
    {RequestType::kTransmitClientEvent, 36,
     [](Bytes& out) { EncodeTransmitClientEvent({}, 6, 42, out); }},
    {RequestType::kAddToDataDefinition, 544,
     [](Bytes& out) { EncodeAddToDataDefinition({}, 6, 42, out); }},
    {RequestType::kRequestDataOnSimObject, 48,
     [](Bytes& out) { EncodeRequestDataOnSimObject({}, 6, 42, out); }},
};

// Each request has its fixed size and header and decodes whole; a byte short or long, it is a
// size mismatch; with another packet type it is unsupported; only an unusable header fails.
TEST(WireProtocol, EveryRequestHasItsLayoutAndOtherPacketsAreUnsupported) {
  for (const Layout& layout : kLayouts) {
    Bytes bytes = {0xAA};  // encoders append: an unrelated byte before must stay untouched
    layout.encode(bytes);
    ASSERT_EQ(bytes[0], 0xAA);
    bytes.erase(bytes.begin());
    ASSERT_EQ(bytes.size(), layout.size);
    EXPECT_EQ(GetU32(bytes.data()), layout.size);
    EXPECT_EQ(GetU32(bytes.data() + 4), 6u);
    EXPECT_EQ(GetU32(bytes.data() + 8), 0xF0000000u | static_cast<std::uint32_t>(layout.type));
    Request request;
    ASSERT_TRUE(DecodeRequest(bytes.data(), bytes.size(), request));
    EXPECT_EQ(request.type, layout.type);
    EXPECT_EQ(request.protocol, 6u);
    EXPECT_EQ(request.send_id, 42u);
    EXPECT_FALSE(DecodeRequest(bytes.data(), bytes.size() - 1, request));  // size field disagrees
    for (const std::size_t size : {bytes.size() - 1, bytes.size() + 1}) {
      Bytes changed = bytes;
      changed.resize(size);
      const auto size_field = static_cast<std::uint32_t>(size);
      std::memcpy(changed.data(), &size_field, 4);
      ASSERT_TRUE(DecodeRequest(changed.data(), changed.size(), request));
      EXPECT_EQ(request.type, RequestType::kUnsupported);
      EXPECT_TRUE(request.size_mismatch);
    }
    for (const std::uint32_t type : {0u, 0xF0000003u, 0x00000001u, 0xF0010001u}) {
      Bytes changed = bytes;
      std::memcpy(changed.data() + 8, &type, 4);
      ASSERT_TRUE(DecodeRequest(changed.data(), changed.size(), request)) << type;
      EXPECT_EQ(request.type, RequestType::kUnsupported) << type;
      EXPECT_FALSE(request.size_mismatch) << type;
    }
  }
  Bytes header(15, 0);
  header[0] = 15;
  Request request;
  EXPECT_FALSE(DecodeRequest(header.data(), header.size(), request));
}

// The Open's version block per protocol, and a name cut to 255 bytes and a zero.
TEST(WireProtocol, OpenCarriesTheVersionBlockOfItsProtocol) {
  const char* aliases[] = {"XSF", "XSF", "XSF", "HK", "RS"};
  const std::uint32_t builds[] = {60905, 61355, 61259, 62651, 282174};
  for (std::uint32_t protocol = kOldestProtocol; protocol <= kNewestProtocol; ++protocol) {
    Bytes bytes;
    EncodeOpen({std::string(300, 'n'), {}}, protocol, 0, bytes);
    Request request;
    ASSERT_TRUE(DecodeRequest(bytes.data(), bytes.size(), request));
    EXPECT_EQ(request.open.client_name, std::string(255, 'n'));
    EXPECT_EQ(std::string(request.open.version.alias.data(), 3).c_str(),
              std::string(aliases[protocol - kOldestProtocol]));
    EXPECT_EQ(request.open.version.build_major, builds[protocol - kOldestProtocol]);
  }
}

}  // namespace
}  // namespace skyhelm::wire
