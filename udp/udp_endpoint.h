// The UDP endpoint: the bridge's one datagram socket, serviced once per loop pass.
//
// The socket is both the listening port and the sending socket. Per pass: bind until a bind
// succeeds, report an invalid socket, wait at most the given timeout for one datagram and
// receive it (its sender becomes the peer), send the current line to the peer. One datagram per
// pass at most; the socket is never drained in a loop. There is one peer: the sender of the last
// datagram received, kept for the rest of the run.
//
// The functions work on the bridge record's fields, passed in by the caller, and report what
// happened in their results; the loop's pass writes the status messages. Only BindResult, the
// result of the last bind attempt, is process-wide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/net/socket.h"

namespace skyhelm {

inline constexpr std::size_t kDatagramBufferBytes = 1024;
inline constexpr std::int32_t kAddressBytes = 16;  // an IPv4 socket address

using DatagramBuffer = char[kDatagramBufferBytes];

// Result of the last bind attempt: net::kSocketError (-1) until a bind has succeeded.
extern std::int32_t BindResult;

// If bind_result is -1, binds the socket to `address` and stores the result. Once a bind has
// succeeded it is never attempted again; a failure is retried on the next call, silently (the
// port may be taken now and free later).
void BindIfUnbound(net::Socket socket, const sockaddr_in& address, std::int32_t& bind_result);

// Waits until the socket is readable or `timeout` has passed (select on read_set holding exactly
// the socket). Returns the wait result: >0 readable, 0 nothing to read, -1 failed. On POSIX
// select gets the descriptor + 1 as its first argument, and an invalid socket is never put into
// a set: the wait fails at once. A wait interrupted by a signal (the stop signal on POSIX) counts
// as nothing to read, not as a failure.
std::int32_t WaitForDatagram(net::Socket socket, fd_set& read_set, timeval& timeout);

// Clears `buffer` and receives one datagram into it; the sender is written into `address` and its
// length into `address_length`. Returns the datagram's length (0 for an empty one), or -1 for a
// failed receive, which includes a datagram longer than the buffer (never handed over clipped).
// A successful receive sets peer_known. Never waits: when the datagram the wait reported is gone
// after all, this is a failed receive.
int ReceiveDatagram(net::Socket socket, DatagramBuffer& buffer, sockaddr_in& address,
                    std::int32_t& address_length, bool& peer_known);

// The bytes of a receive's result that carry commands: none after a failed or empty receive or
// when the first byte is "1"; otherwise the `received` bytes.
std::size_t CommandBytes(const DatagramBuffer& buffer, int received);

// Clears `buffer`, writes `line` followed by "\r\n" into it (bounded by the buffer) and sends the
// bytes before the first zero byte to `address`. Before the first datagram there is no peer
// (peer_known false) and nothing is sent. The send's result is ignored; it never waits: a line
// the socket cannot take at once is dropped.
void SendLine(net::Socket socket, DatagramBuffer& buffer, std::string_view line,
              const sockaddr_in& address, std::int32_t address_length, bool peer_known);

// Closes the socket after the loop (an invalid socket is left alone). The socket library stays
// started.
void CloseEndpoint(net::Socket socket);

}  // namespace skyhelm
