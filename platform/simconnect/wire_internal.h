// Field helpers shared by the request and message halves of the wire codec (not for other code).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/simconnect/wire_protocol.h"

namespace skyhelm::wire::internal {

// Appends a zero-padded field of `field_bytes`, the text cut to field_bytes - 1 bytes.
void PutText(std::vector<std::uint8_t>& out, const std::string& text,
             std::size_t field_bytes = kTextBytes);
// The text of a 256-byte field, up to its first zero (all 256 bytes when there is none).
std::string GetText(const std::uint8_t* data);
float GetF32(const std::uint8_t* data);
void PutF32(std::vector<std::uint8_t>& out, float value);

// Starts a request or message and returns the offset of its size field, patched by EndFrame.
std::size_t BeginRequest(std::vector<std::uint8_t>& out, RequestType type, std::uint32_t protocol,
                         std::uint32_t send_id);
std::size_t BeginMessage(std::vector<std::uint8_t>& out, std::uint32_t protocol,
                         std::uint32_t recv_id);
void EndFrame(std::vector<std::uint8_t>& out, std::size_t at);
// Writes `value` little-endian over at[0..4).
void StoreU32(std::uint8_t* at, std::uint32_t value);

}  // namespace skyhelm::wire::internal
