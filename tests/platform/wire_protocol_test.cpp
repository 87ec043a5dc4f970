// SimConnect's requests as both ends encode and decode them; the client library's bytes are
// checked against an independent client in tests/interop.
#include "platform/simconnect/wire_protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

namespace skyhelm::wire {
namespace {

using Bytes = std::vector<std::uint8_t>;
using T = RequestType;

// Protocol 6, send id 42, empty fields.
void Encode(RequestType type, Bytes& out) {
  if (type == T::kOpen) return EncodeOpen({}, 6, 42, out);
  if (type == T::kAddToDataDefinition) return EncodeAddToDataDefinition({}, 6, 42, out);
  EncodeGeneralRequest(type, {}, 6, 42, out);
}

Bytes Resized(Bytes bytes, std::size_t size) {
  bytes.resize(size);
  const auto field = static_cast<std::uint32_t>(size);
  std::memcpy(bytes.data(), &field, 4);
  return bytes;
}

// Each request has its fixed size and header and decodes whole; a byte short or long (but for
// those that carry data) it is a size mismatch; another packet type is unsupported; a size field
// that disagrees with the frame fails. The other calls' sizes are pinned by tests/interop, the
// bridge's byte for byte.
TEST(WireProtocol, EveryRequestHasItsLayoutAndOtherPacketsAreUnsupported) {
  const std::pair<RequestType, std::size_t> layouts[] = {
      {T::kOpen, 296},
      {T::kAddToDataDefinition, 544},
      {T::kClearDataDefinition, 20},
      {T::kSetClientData, 36},
  };
  for (const auto& [type, size] : layouts) {
    SCOPED_TRACE(static_cast<std::uint32_t>(type));
    Bytes bytes = {0xAA};  // encoders append
    Encode(type, bytes);
    ASSERT_EQ(bytes[0], 0xAA);
    bytes.erase(bytes.begin());
    ASSERT_EQ(bytes.size(), size);
    EXPECT_EQ(std::make_tuple(GetU32(&bytes[0]), GetU32(&bytes[4]), GetU32(&bytes[8])),
              std::make_tuple(size, 6u, 0xF0000000u | static_cast<std::uint32_t>(type)));
    Request request;
    ASSERT_TRUE(DecodeRequest(bytes.data(), bytes.size(), request));
    EXPECT_EQ(
        std::make_tuple(request.type, request.protocol, request.send_id, request.size_mismatch),
        std::make_tuple(type, 6u, 42u, false));
    EXPECT_FALSE(DecodeRequest(bytes.data(), bytes.size() - 1, request));
    const bool carries_data = type == T::kSetDataOnSimObject || type == T::kSetClientData;
    for (const std::size_t wrong : {size - 1, size + 1}) {
      if (wrong > size && carries_data) continue;
      const Bytes changed = Resized(bytes, wrong);
      ASSERT_TRUE(DecodeRequest(changed.data(), changed.size(), request));
      EXPECT_EQ(std::make_pair(request.type, request.size_mismatch),
                std::make_pair(T::kUnsupported, true));
    }
    for (const std::uint32_t other : {0u, 0xF0000003u, 0x00000001u, 0xF0010001u}) {
      Bytes changed = bytes;
      std::memcpy(changed.data() + 8, &other, 4);
      ASSERT_TRUE(DecodeRequest(changed.data(), changed.size(), request)) << other;
      EXPECT_EQ(std::make_pair(request.type, request.size_mismatch),
                std::make_pair(T::kUnsupported, false));
    }
  }
  const Bytes short_header = Resized(Bytes(15, 0), 15);
  Request request;
  EXPECT_FALSE(DecodeRequest(short_header.data(), short_header.size(), request));
}

// Fields come back from their offsets, texts cut at 255 bytes and a zero; a decode starts from an
// empty result. (The general layouts' words, texts and data: tests/interop/calls.js.)
TEST(WireProtocol, FieldsRoundTripFromTheirOffsets) {
  Bytes bytes;
  Request request;
  EncodeAddToDataDefinition({7, "Plane Altitude", "feet", 1, 0.5f, 9}, 6, 42, bytes);
  ASSERT_TRUE(DecodeRequest(bytes.data(), bytes.size(), request));
  EXPECT_EQ(std::make_tuple(request.add.define_id, request.add.datum_name, request.add.units_name,
                            request.add.datum_type, request.add.epsilon, request.add.datum_id),
            std::make_tuple(7u, std::string("Plane Altitude"), std::string("feet"), 1u, 0.5f, 9u));
  // The Open's version block (its bytes per protocol are pinned in tests/interop).
  bytes.clear();
  EncodeOpen({std::string(300, 'n'), {}}, kNewestProtocol, 0, bytes);
  ASSERT_TRUE(DecodeRequest(bytes.data(), bytes.size(), request));
  EXPECT_EQ(request.open.client_name, std::string(255, 'n'));
  EXPECT_EQ(request.add.datum_name, "");  // nothing left over from the AddToDataDefinition
  EXPECT_STREQ(std::string(request.open.version.alias.data(), 3).c_str(), "RS");
  EXPECT_EQ(request.open.version.build_major, 282174u);
}

}  // namespace
}  // namespace skyhelm::wire
