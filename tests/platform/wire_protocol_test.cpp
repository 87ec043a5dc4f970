// Tests for the byte protocol between the client library and the stand-in simulator.
#include "platform/simconnect/wire_protocol.h"

#include <gtest/gtest.h>

#include <SimConnect.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace skyhelm::wire {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct RoundTripCase {
  const char* name;
  std::function<void(std::uint32_t send_id, Bytes& out)> encode;
  RequestType type;
  std::function<void(const Request&)> check;
};

const RoundTripCase kRoundTrips[] = {
    {"Open",
     [](std::uint32_t id, Bytes& out) {
       OpenRequest r;
       r.client_name = "Request Data";
       EncodeOpen(r, id, out);
     },
     RequestType::kOpen,
     [](const Request& r) {
       EXPECT_EQ(r.open.magic, kMagic);
       EXPECT_EQ(r.open.protocol_version, kProtocolVersion);
       EXPECT_EQ(r.open.client_name, "Request Data");
     }},
    {"AddWithUnits",
     [](std::uint32_t id, Bytes& out) {
       AddToDataDefinitionRequest r;
       r.define_id = 7;
       r.datum_name = "Plane Altitude";
       r.has_units = true;
       r.units_name = "feet";
       r.datum_type = 1;
       r.epsilon = 0.25f;
       r.datum_id = 0xFFFFFFFFu;
       EncodeAddToDataDefinition(r, id, out);
     },
     RequestType::kAddToDataDefinition,
     [](const Request& r) {
       EXPECT_EQ(r.add.define_id, 7u);
       EXPECT_EQ(r.add.datum_name, "Plane Altitude");
       EXPECT_TRUE(r.add.has_units);
       EXPECT_EQ(r.add.units_name, "feet");
       EXPECT_EQ(r.add.datum_type, 1u);
       EXPECT_EQ(r.add.epsilon, 0.25f);
       EXPECT_EQ(r.add.datum_id, 0xFFFFFFFFu);
     }},
    {"AddWithoutUnits",
     [](std::uint32_t id, Bytes& out) {
       AddToDataDefinitionRequest r;
       r.datum_name = "Title";
       r.datum_type = 9;
       EncodeAddToDataDefinition(r, id, out);
     },
     RequestType::kAddToDataDefinition,
     [](const Request& r) {
       EXPECT_EQ(r.add.datum_name, "Title");
       EXPECT_FALSE(r.add.has_units);
       EXPECT_EQ(r.add.units_name, "");
       EXPECT_EQ(r.add.datum_type, 9u);
     }},
    {"RequestData",
     [](std::uint32_t id, Bytes& out) {
       RequestDataOnSimObjectRequest r{1, 2, 3, 4, 5, 6, 7, 8};
       EncodeRequestDataOnSimObject(r, id, out);
     },
     RequestType::kRequestDataOnSimObject,
     [](const Request& r) {
       const auto& d = r.request_data;
       EXPECT_EQ(std::vector<std::uint32_t>({d.request_id, d.define_id, d.object_id, d.period,
                                             d.flags, d.origin, d.interval, d.limit}),
                 std::vector<std::uint32_t>({1, 2, 3, 4, 5, 6, 7, 8}));
     }},
    {"Map",
     [](std::uint32_t id, Bytes& out) {
       MapClientEventRequest r;
       r.event_id = 11;
       r.event_name = "GEAR_SET";
       EncodeMapClientEvent(r, id, out);
     },
     RequestType::kMapClientEventToSimEvent,
     [](const Request& r) {
       EXPECT_EQ(r.map.event_id, 11u);
       EXPECT_EQ(r.map.event_name, "GEAR_SET");
     }},
    {"Transmit",
     [](std::uint32_t id, Bytes& out) {
       TransmitClientEventRequest r{0, 1, 0xFFFFFE0Cu, 1900000000u, 0x10};
       EncodeTransmitClientEvent(r, id, out);
     },
     RequestType::kTransmitClientEvent,
     [](const Request& r) {
       EXPECT_EQ(r.transmit.object_id, 0u);
       EXPECT_EQ(r.transmit.event_id, 1u);
       EXPECT_EQ(r.transmit.data, 0xFFFFFE0Cu);  // -500 as a data word
       EXPECT_EQ(r.transmit.group_id, 1900000000u);
       EXPECT_EQ(r.transmit.flags, 0x10u);
     }},
    {"Close", [](std::uint32_t id, Bytes& out) { EncodeClose(id, out); }, RequestType::kClose,
     [](const Request&) {}},
};

class WireRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(WireRoundTrip, DecodesWhatWasEncoded) {
  Bytes bytes = {0xAA};  // encoders append: an unrelated byte before must stay untouched
  GetParam().encode(42, bytes);
  ASSERT_EQ(bytes[0], 0xAA);
  std::size_t frame = 0;
  ASSERT_EQ(PeekFrame(bytes.data() + 1, bytes.size() - 1, kRequestHeaderBytes, frame),
            FrameStatus::kComplete);
  EXPECT_EQ(frame, bytes.size() - 1);
  Request request;
  ASSERT_TRUE(DecodeRequest(bytes.data() + 1, frame, request));
  EXPECT_EQ(request.type, GetParam().type);
  EXPECT_EQ(request.send_id, 42u);
  GetParam().check(request);
}

TEST_P(WireRoundTrip, RejectsARequestOneByteShortOrLong) {
  Bytes bytes;
  GetParam().encode(1, bytes);
  for (const long delta : {-1L, 1L}) {
    Bytes changed = bytes;
    changed.resize(static_cast<std::size_t>(static_cast<long>(bytes.size()) + delta));
    const auto size = static_cast<std::uint32_t>(changed.size());
    std::memcpy(changed.data(), &size, 4);  // a consistent size field, but the wrong layout
    Request request;
    EXPECT_FALSE(DecodeRequest(changed.data(), changed.size(), request)) << delta;
  }
}

INSTANTIATE_TEST_SUITE_P(AllRequests, WireRoundTrip, ::testing::ValuesIn(kRoundTrips),
                         [](const auto& test_info) { return std::string(test_info.param.name); });

TEST(WireProtocol, RejectsUnknownTypesAndInconsistentSizeFields) {
  Bytes close;
  EncodeClose(3, close);
  for (const std::uint32_t type : {0u, 7u, 0xFFFFFFFFu}) {
    Bytes bytes = close;
    std::memcpy(bytes.data() + 4, &type, 4);
    Request request;
    EXPECT_FALSE(DecodeRequest(bytes.data(), bytes.size(), request)) << type;
  }
  Request request;
  EXPECT_FALSE(DecodeRequest(close.data(), close.size() - 1, request));  // size field says 12
  EXPECT_FALSE(DecodeRequest(close.data(), 4, request));
}

TEST(WireProtocol, CutsLongTextsAt255Bytes) {
  MapClientEventRequest map;
  map.event_name = std::string(300, 'x');
  Bytes bytes;
  EncodeMapClientEvent(map, 1, bytes);
  Request request;
  ASSERT_TRUE(DecodeRequest(bytes.data(), bytes.size(), request));
  EXPECT_EQ(request.map.event_name, std::string(255, 'x'));
}

struct PeekCase {
  const char* name;
  Bytes bytes;
  std::size_t min_size;
  FrameStatus status;
  std::size_t frame_size;  // when complete
};

Bytes SizeField(std::uint32_t size, std::size_t total) {
  Bytes bytes(total, 0);
  std::memcpy(bytes.data(), &size, 4);
  return bytes;
}

const PeekCase kPeekCases[] = {
    {"Empty", {}, 12, FrameStatus::kIncomplete, 0},
    {"ThreeBytes", {12, 0, 0}, 12, FrameStatus::kIncomplete, 0},
    {"HeaderOnly", SizeField(12, 4), 12, FrameStatus::kIncomplete, 0},
    {"Exact", SizeField(12, 12), 12, FrameStatus::kComplete, 12},
    {"WithNextMessage", SizeField(16, 20), 12, FrameStatus::kComplete, 16},
    {"OneShort", SizeField(380, 379), 12, FrameStatus::kIncomplete, 0},
    {"SizeZero", SizeField(0, 12), 12, FrameStatus::kBroken, 0},
    {"BelowMinimum", SizeField(11, 12), 12, FrameStatus::kBroken, 0},
    {"LargestAllowed", SizeField(kMaxMessageBytes, 4), 12, FrameStatus::kIncomplete, 0},
    {"AboveMaximum", SizeField(kMaxMessageBytes + 1, 4), 12, FrameStatus::kBroken, 0},
    {"AllOnes", SizeField(0xFFFFFFFFu, 4), 12, FrameStatus::kBroken, 0},
};

class WirePeek : public ::testing::TestWithParam<PeekCase> {};

TEST_P(WirePeek, ClassifiesTheFirstFrame) {
  const PeekCase& c = GetParam();
  std::size_t frame = 0;
  EXPECT_EQ(PeekFrame(c.bytes.data(), c.bytes.size(), c.min_size, frame), c.status);
  if (c.status == FrameStatus::kComplete) {
    EXPECT_EQ(frame, c.frame_size);
  }
}

INSTANTIATE_TEST_SUITE_P(Frames, WirePeek, ::testing::ValuesIn(kPeekCases),
                         [](const auto& test_info) { return std::string(test_info.param.name); });

TEST(WireProtocol, MessagesHaveTheLayoutOfTheHeaderStructures) {
  Bytes quit;
  EncodeQuitMessage(quit);
  ASSERT_EQ(quit.size(), sizeof(SIMCONNECT_RECV_QUIT));
  EXPECT_EQ(GetU32(quit.data()), quit.size());
  EXPECT_EQ(GetU32(quit.data() + 8), static_cast<std::uint32_t>(SIMCONNECT_RECV_ID_QUIT));

  Bytes open;
  EncodeOpenMessage("Sim", open);
  EXPECT_EQ(open.size(), sizeof(SIMCONNECT_RECV_OPEN));
  EXPECT_EQ(GetU32(open.data() + 8), static_cast<std::uint32_t>(SIMCONNECT_RECV_ID_OPEN));

  Bytes exception;
  EncodeExceptionMessage(5, 9, 2, exception);
  ASSERT_EQ(exception.size(), sizeof(SIMCONNECT_RECV_EXCEPTION));
  SIMCONNECT_RECV_EXCEPTION decoded;
  std::memcpy(&decoded, exception.data(), sizeof decoded);
  EXPECT_EQ(decoded.dwException, 5u);
  EXPECT_EQ(decoded.dwSendID, 9u);
  EXPECT_EQ(decoded.dwIndex, 2u);

  const Bytes block = {1, 2, 3, 4, 5};
  Bytes data;
  EncodeSimObjectDataMessage(0, 1, 0, 22, block.data(), block.size(), data);
  SIMCONNECT_RECV_SIMOBJECT_DATA layout{};
  const auto data_offset = static_cast<std::size_t>(reinterpret_cast<char*>(&layout.dwData) -
                                                    reinterpret_cast<char*>(&layout));
  EXPECT_EQ(data_offset, kSimObjectDataHeaderBytes);
  ASSERT_EQ(data.size(), data_offset + block.size());
  EXPECT_EQ(GetU32(data.data()), data.size());
  EXPECT_EQ(GetU32(data.data() + 8), static_cast<std::uint32_t>(SIMCONNECT_RECV_ID_SIMOBJECT_DATA));
  EXPECT_EQ(GetU32(data.data() + 16), 1u);  // dwObjectID
  EXPECT_EQ(Bytes(data.end() - 5, data.end()), block);
}

}  // namespace
}  // namespace skyhelm::wire
