// When a data request is due (period, origin, interval, limit) and what its block holds (whole or
// tagged, every time or only when changed); shared by simulation-object and client data requests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace skyhelm::simulator {

enum class Cadence { kOnce, kEveryFrame, kEverySecond, kOnSet };

struct Schedule {
  Cadence cadence = Cadence::kOnce;
  std::uint32_t flags = 0;     // CHANGED 1, TAGGED 2 (the same bits for both kinds of request)
  std::uint32_t origin = 0;    // period events to let pass before the first message
  std::uint32_t interval = 0;  // period events to let pass between messages
  std::uint32_t limit = 0;     // messages to send before the request ends; 0: no limit
  std::uint64_t first_frame = 0;
  std::uint64_t periods = 0;  // period events counted so far
  std::uint32_t sent = 0;
};

// Counts the period event that falls at `frame`, if one does (every frame, every
// frames_per_second frames from the first, or for kOnSet when `written`); true when a message is
// due at it: past the origin, on the interval, below the limit. A ONCE request is due at once.
bool TakePeriod(Schedule& schedule, std::uint64_t frame, std::uint32_t frames_per_second,
                bool written);
// True once the request has nothing more to send: its limit reached or its one message sent.
bool Finished(const Schedule& schedule);

// One reading of a definition: every entry's bytes back to back, where each ends, and each
// entry's value as a number (for epsilon; 0 for text and raw bytes).
struct Sample {
  std::vector<std::uint8_t> bytes;
  std::vector<std::size_t> ends;
  std::vector<double> values;
};

struct EntryTag {
  float epsilon = 0.0f;  // a number must move by more than this to count as changed
  std::uint32_t datum_id = 0;
};

// What was last sent for one request, entry by entry.
struct LastSent {
  bool any = false;
  Sample sample;
};

// Builds the data block of `now` for `flags`: the whole sample, or with TAGGED each entry as its
// u32 datum id and its bytes. With CHANGED only what changed since the last block sent (all of it
// the first time; untagged, the whole block when any entry changed); false when nothing did.
// `define_count` is the block's length in 8-byte elements, as dwDefineCount counts it.
bool BuildBlock(const Sample& now, const std::vector<EntryTag>& tags, std::uint32_t flags,
                LastSent& last, std::vector<std::uint8_t>& block, std::uint32_t& define_count);

// What one pass over a session's data requests reuses from request to request.
struct DataScratch {
  Sample sample;
  std::vector<EntryTag> tags;
  std::vector<std::uint8_t> block;
};

struct SimObjectRequest {
  std::uint32_t define_id = 0;
  Schedule schedule;
  LastSent last;
};

}  // namespace skyhelm::simulator
