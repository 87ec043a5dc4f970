// Tests for SimConnect's network protocol as both ends encode and decode it: the fixed sizes and
// version blocks, and requests the simulator must not misread. The decoded fields of every request
// are checked through the client library (simconnect_client_test, sim_link_test), the bytes
// against an independent client in tests/interop.
#include "platform/simconnect/wire_protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <tuple>
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

// The general calls: fixed sizes (with no data after the fixed part, for the two that carry some).
const std::pair<RequestType, std::size_t> kGeneralSizes[] = {
    {RequestType::kSetSystemEventState, 24},
    {RequestType::kAddClientEventToNotificationGroup, 28},
    {RequestType::kRemoveClientEvent, 24},
    {RequestType::kSetNotificationGroupPriority, 24},
    {RequestType::kClearNotificationGroup, 20},
    {RequestType::kClearDataDefinition, 20},
    {RequestType::kSetDataOnSimObject, 36},
    {RequestType::kSubscribeToSystemEvent, 276},
    {RequestType::kUnsubscribeFromSystemEvent, 20},
    {RequestType::kRequestSystemState, 276},
    {RequestType::kMapClientDataNameToId, 276},
    {RequestType::kCreateClientData, 28},
    {RequestType::kAddToClientDataDefinition, 36},
    {RequestType::kClearClientDataDefinition, 20},
    {RequestType::kRequestClientData, 48},
    {RequestType::kSetClientData, 36},
};

std::vector<Layout> AllLayouts() {
  std::vector<Layout> all(std::begin(kLayouts), std::end(kLayouts));
  for (const auto& [type, size] : kGeneralSizes) {
    all.push_back(
        {type, size, [type = type](Bytes& out) { EncodeGeneralRequest(type, {}, 6, 42, out); }});
  }
  return all;
}

// Each request has its fixed size and header and decodes whole; a byte short or long, it is a
// size mismatch; with another packet type it is unsupported; only an unusable header fails.
TEST(WireProtocol, EveryRequestHasItsLayoutAndOtherPacketsAreUnsupported) {
  for (const Layout& layout : AllLayouts()) {
    SCOPED_TRACE(static_cast<std::uint32_t>(layout.type));
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
    // One byte short is a mismatch; one byte long too, but for the calls that carry data.
    const bool carries_data = layout.type == RequestType::kSetDataOnSimObject ||
                              layout.type == RequestType::kSetClientData;
    std::vector<std::size_t> wrong_sizes = {bytes.size() - 1};
    if (!carries_data) wrong_sizes.push_back(bytes.size() + 1);
    for (const std::size_t size : wrong_sizes) {
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
  Bytes add;
  EncodeAddToDataDefinition({7, "Plane Altitude", "feet", 1, 0.5f, 9}, 6, 42, add);
  ASSERT_TRUE(DecodeRequest(add.data(), add.size(), request));
  EXPECT_EQ(std::make_tuple(request.add.define_id, request.add.datum_type, request.add.epsilon,
                            request.add.datum_id),
            std::make_tuple(7u, 1u, 0.5f, 9u));
}

// The fields of a general call come back in order, text cut at 255 bytes, data to the end; a
// decode starts from an empty result, so nothing of an earlier request survives into it.
TEST(WireProtocol, GeneralCallsRoundTripAndDecodesStartEmpty) {
  GeneralRequest sent;
  sent.words = {1, 2, 3, 4, 5, 6, 7, 8};
  sent.data = {9, 8, 7};
  Bytes bytes;
  EncodeGeneralRequest(RequestType::kSetClientData, sent, 4, 7, bytes);
  Request request;
  request.open.client_name = "left over";
  ASSERT_TRUE(DecodeRequest(bytes.data(), bytes.size(), request));
  EXPECT_EQ(request.open.client_name, "");
  EXPECT_EQ(request.general.data, sent.data);
  EXPECT_EQ(request.general.words[4], 5u);
  EXPECT_EQ(request.general.words[5], 0u);  // beyond the layout: not sent
  bytes.clear();
  sent.text = std::string(300, 't');
  EncodeGeneralRequest(RequestType::kMapClientDataNameToId, sent, 4, 7, bytes);
  ASSERT_TRUE(DecodeRequest(bytes.data(), bytes.size(), request));
  EXPECT_EQ(request.general.text, std::string(255, 't'));
  EXPECT_EQ(request.general.words[0], 1u);  // the word after the name
  EXPECT_TRUE(request.general.data.empty());
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
