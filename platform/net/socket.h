// Thin socket layer: the few socket calls Skyhelm makes, with one meaning on POSIX and on Winsock.
//
// The bridge uses the UDP calls as a plain Winsock program would (a blocking socket, select with a
// timeout, recvfrom/sendto), except that a receive or send never waits: the socket stays blocking
// and each call asks not to wait. The stand-in simulator client library uses the TCP calls, which
// never block longer than the timeout they are given. Every call is safe with kInvalidSocket: it
// fails the way the platform would, without undefined behaviour.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#endif

namespace skyhelm::net {

#if defined(_WIN32)
using Socket = SOCKET;
#else
using Socket = int;
#endif
// All bits set on both platforms (INVALID_SOCKET on Winsock, -1 on POSIX).
inline constexpr Socket kInvalidSocket = static_cast<Socket>(~static_cast<Socket>(0));
inline constexpr int kSocketError = -1;

// Starts the platform's socket library once per process: WSAStartup(version_word) on Winsock,
// nothing on POSIX. Returns 0 on success; the bridge does not examine it.
int StartSocketLibrary(std::uint16_t version_word);

// --- UDP -----------------------------------------------------------------------------------------

// A blocking IPv4 datagram socket with the default protocol, or kInvalidSocket.
Socket OpenUdpSocket();

// bind(2): 0 on success, kSocketError on failure.
int Bind(Socket socket, const sockaddr_in& address, int address_length);

// Makes read_set hold exactly `socket` and waits until it is readable or `timeout` has passed.
// Returns select's result: >0 readable, 0 timed out, kSocketError failed. An invalid socket is
// never put into a set (that would be undefined behaviour on POSIX): the wait fails at once
// instead.
// (The bridge's per-pass wait; compare WaitForReadable below, the TCP side's poll.)
int SelectReadable(Socket socket, fd_set& read_set, timeval& timeout);

// Receives one datagram into buffer and the sender into from/from_length. Returns the datagram's
// length, or kSocketError on failure. A datagram longer than capacity is a failure on both
// platforms (Winsock reports WSAEMSGSIZE; on POSIX the truncation is detected), so a caller never
// sees a clipped datagram as if it were whole. Never waits: when no datagram is there after all
// (Linux may report one readable that it then drops for a bad checksum) the receive fails at once
// (MSG_DONTWAIT; on Winsock a zero-timeout readability check first).
int ReceiveFrom(Socket socket, char* buffer, int capacity, sockaddr_in& from, int& from_length);

// sendto(2): bytes sent or kSocketError. Never waits: a datagram the socket cannot take at once is
// dropped and the send fails (MSG_DONTWAIT; on Winsock a zero-timeout writability check first).
int SendTo(Socket socket, const char* data, int length, const sockaddr_in& to, int to_length);

// closesocket/close; ignores kInvalidSocket.
void Close(Socket socket);

// --- TCP (stand-in client library) ---------------------------------------------------------------

// Connects to host:port (numeric IPv4 or a name that resolves to IPv4) within timeout_ms. The
// returned socket is non-blocking. kInvalidSocket when the host does not resolve, nothing listens
// or the time runs out.
Socket ConnectTcp(const char* host, std::uint16_t port, int timeout_ms);

// Non-blocking send: bytes written (possibly fewer than length), 0 when the socket's buffer is
// full, kSocketError when the connection is broken.
long SendSome(Socket socket, const void* data, std::size_t length);

// Non-blocking receive: bytes read, 0 when nothing is pending, kSocketError when the peer closed
// the connection or it failed.
long ReceiveSome(Socket socket, void* buffer, std::size_t capacity);

// Ends the sending direction (shutdown SHUT_WR / SD_SEND): the peer reads what was sent, then the
// end of the stream. Receiving goes on. Ignores kInvalidSocket.
void EndSending(Socket socket);

// Waits at most timeout_ms for the socket to become readable (or writable), with poll on POSIX.
// Returns true if it did.
bool WaitForReadable(Socket socket, int timeout_ms);
bool WaitForWritable(Socket socket, int timeout_ms);

}  // namespace skyhelm::net
