// skyhelm-microbench: the telemetry line, FormatReal and command parsing, each beside the
// obvious C-library alternative, so that the ratio shows.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/number_format.h"
#include "sim/telemetry.h"
#include "sim/telemetry_schema.h"
#include "udp/command_protocol.h"

namespace {

// The data block starts right after the message header (at dwData).
constexpr std::size_t kRecordOffset =
    skyhelm::kTelemetryMessageBytes - skyhelm::kTelemetryRecordBytes;

// A data message for request 0 carrying the record of a typical frame.
struct DataMessage {
  alignas(8) unsigned char bytes[skyhelm::kTelemetryMessageBytes] = {};

  DataMessage() {
    SIMCONNECT_RECV_SIMOBJECT_DATA header{};
    header.dwSize = sizeof bytes;
    header.dwID = SIMCONNECT_RECV_ID_SIMOBJECT_DATA;
    header.dwRequestID = skyhelm::kTelemetryRequest;
    std::memcpy(bytes, &header, kRecordOffset);
    std::strcpy(reinterpret_cast<char*>(Record()), "Skyhelm Trainer");
    const std::int32_t ints[] = {121, 3012, 0, 0, 0, 0, 271, 1, 140, 0, 1, 1, 1, 700, 1, 9000, 0};
    const float reals[] = {2.4871f, -10.25f, 3.125f, -5.0625f, 47.4517f, -122.3091f, 1.0f};
    std::size_t next_int = 0;
    std::size_t next_real = 0;
    for (const skyhelm::TelemetryField& field : skyhelm::kTelemetryFields) {
      const bool is_int = field.kind == skyhelm::FieldKind::kInt32;
      std::memcpy(Record() + field.record_offset,
                  is_int ? static_cast<const void*>(&ints[next_int++ % 17])
                         : static_cast<const void*>(&reals[next_real++ % 7]),
                  4);
    }
  }
  unsigned char* Record() { return bytes + kRecordOffset; }
};

// Runs `step` on each of `inputs` in turn, keeping its result.
template <typename Input, std::size_t N, typename Step>
void Cycle(benchmark::State& state, const Input (&inputs)[N], Step step) {
  std::size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(step(inputs[i++ % N]));
}

void BM_LineHandleSimMessage(benchmark::State& state) {
  DataMessage message;
  for (auto _ : state) {
    skyhelm::HandleSimMessage(reinterpret_cast<SIMCONNECT_RECV*>(message.bytes),
                              sizeof message.bytes, nullptr);
    benchmark::DoNotOptimize(skyhelm::LatestLine.data());
  }
}
BENCHMARK(BM_LineHandleSimMessage);

// The obvious alternative: one snprintf per field into a fixed buffer.
void BM_LineSnprintf(benchmark::State& state) {
  DataMessage message;
  char line[1024];
  for (auto _ : state) {
    const unsigned char* record = message.Record();
    int used = std::snprintf(line, sizeof line, "%s", skyhelm::ProtocolTag.c_str());
    for (const skyhelm::TelemetryField& field : skyhelm::kTelemetryFields) {
      const auto room = sizeof line - static_cast<std::size_t>(used);
      std::int32_t int_value;
      float real_value;
      std::memcpy(&int_value, record + field.record_offset, 4);
      std::memcpy(&real_value, record + field.record_offset, 4);
      used += field.kind == skyhelm::FieldKind::kInt32
                  ? std::snprintf(line + used, room, ",%d", int_value)
                  : std::snprintf(line + used, room, ",%f", static_cast<double>(real_value));
    }
    used += std::snprintf(line + used, sizeof line - static_cast<std::size_t>(used), ",\n");
    benchmark::DoNotOptimize(line);
    benchmark::DoNotOptimize(used);
  }
}
BENCHMARK(BM_LineSnprintf);

constexpr float kReals[] = {2.4871f, -10.25f, 47.4517f, -122.3091f, 0.0f, 1.0f, 359.99f, 0.5f};
constexpr std::int32_t kInts[] = {0, 1, 270, -500, 3012, 9000, -2147483647 - 1, 2147483647};
// Datagrams as a peer sends them.
constexpr const char* kDatagrams[] = {"h270", "v-500", "k 250", "l9000", "g1", "E", "FE", "hH"};

void BM_FormatReal(benchmark::State& state) {
  Cycle(state, kReals, [](float value) { return skyhelm::FormatReal(value); });
}
BENCHMARK(BM_FormatReal);

void BM_FormatRealSnprintf(benchmark::State& state) {
  char text[64];
  Cycle(state, kReals, [&text](float value) {
    return std::snprintf(text, sizeof text, "%.6f", static_cast<double>(value));
  });
}
BENCHMARK(BM_FormatRealSnprintf);

void BM_FormatInt(benchmark::State& state) {
  Cycle(state, kInts, [](std::int32_t value) { return skyhelm::FormatInt(value); });
}
BENCHMARK(BM_FormatInt);

void BM_FormatIntSnprintf(benchmark::State& state) {
  char text[16];
  Cycle(state, kInts,
        [&text](std::int32_t value) { return std::snprintf(text, sizeof text, "%d", value); });
}
BENCHMARK(BM_FormatIntSnprintf);

void BM_ParseCommands(benchmark::State& state) {
  Cycle(state, kDatagrams, [](const char* datagram) {
    return skyhelm::ParseCommands(datagram, std::strlen(datagram));
  });
}
BENCHMARK(BM_ParseCommands);

// The obvious alternative for one command: the letter, then atoi on a zero-terminated copy.
void BM_ParseLetterAtoi(benchmark::State& state) {
  char copy[1025];
  Cycle(state, kDatagrams, [&copy](const char* datagram) {
    const std::size_t length = std::strlen(datagram);
    std::memcpy(copy, datagram, length);
    copy[length] = '\0';
    return copy[0] + std::atoi(copy + 1);
  });
}
BENCHMARK(BM_ParseLetterAtoi);

void BM_ParseSscanf(benchmark::State& state) {
  Cycle(state, kDatagrams, [](const char* datagram) {
    char letter = 0;
    int value = 0;
    return std::sscanf(datagram, "%c%d", &letter, &value) + value;
  });
}
BENCHMARK(BM_ParseSscanf);

}  // namespace

BENCHMARK_MAIN();
