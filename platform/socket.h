#pragma once
// The socket layer: every TCP connection of the gateway (camera commands,
// alarm inputs, the monitor server) goes through these few functions over
// IPv4 BSD sockets in blocking mode. They report by result only and never
// write a line or retry: a failure is a platform::Status with the errno and
// the system's words for it. errno stays set as well (SockLastError()): the
// camera lines print the thread's last error number even after a call that
// did not fail (a time-out), as the Windows program's did.
//
// SockReceive gives a count, 0 on time-out and kSockPeerClosed when the peer
// closed the connection, or the failure. Time-outs are in tenths of a
// second, 0 meaning "wait without limit".
#include <netinet/in.h>

#include <span>

#include "platform/status.h"

// The value of SockRecord::socket when the record holds no socket (never
// opened, creation failed, or closed by SockClose).
inline constexpr int kNoSocket = -1;

// SockReceive's result when the peer has closed the connection.
inline constexpr int kSockPeerClosed = -9;

// One connection: the socket and the remote end (set by SockConnect) or, for
// a server record, the local end it was bound to (set by SockOpenServer).
//
// The record owns its socket: SockClose releases it and puts kNoSocket back,
// so a second SockClose fails harmlessly instead of closing a descriptor
// that another thread may have received since. Opening into a record that
// still holds a socket releases the old one first, and the destructor
// releases whatever is left. Do not write `socket` by hand; "free" is
// kNoSocket, not 0 (descriptor 0 is a valid socket on Linux).
struct SockRecord {
  int socket = kNoSocket;
  sockaddr_in address{};

  SockRecord() = default;
  ~SockRecord();
  SockRecord(const SockRecord&) = delete;
  SockRecord& operator=(const SockRecord&) = delete;
};

// Prepares the process for the layer. Linux needs no socket library start;
// what it does need is that a write to a connection the peer has dropped
// never kills the process, so SIGPIPE is ignored process-wide here (every
// send also passes MSG_NOSIGNAL).
void SockInit();

// Creates an IPv4 TCP stream socket into the record. On failure the record
// holds kNoSocket.
platform::Status SockOpen(SockRecord& record);

// Creates an IPv4 TCP stream socket and binds it to all local addresses at
// `port` (0..65535). SO_REUSEADDR is set first, so a restarted gateway can
// bind its monitor port again at once while connections of the previous run
// linger in TIME_WAIT. On failure the socket is released and the record
// holds kNoSocket.
platform::Status SockOpenServer(SockRecord& record, int port);

// Listens with a backlog of 1, waits up to `timeout` tenths of a second (0:
// without limit) for one client and accepts it. On success the listening
// socket is closed and the record holds the client's connection. A failure
// (ETIMEDOUT when the wait ends without a client) leaves the listening
// socket in the record.
platform::Status SockListen(SockRecord& record, int timeout);

// A server that keeps listening: creates an IPv4 TCP stream socket, binds it
// to `address` (INADDR_ANY for all local addresses) at `port` with
// SO_REUSEADDR, and listens with `backlog` waiting connections. The record
// keeps the listening socket. On failure the socket is released and the
// record holds kNoSocket.
platform::Status SockOpenListener(SockRecord& record, in_addr address, int port, int backlog);

// Waits without limit for one client of a listening record and accepts it
// into `client` (its address is the remote end). The listener stays open.
platform::Status SockAccept(SockRecord& listener, SockRecord& client);

// Moves the socket (and address) of `from` into `to`, which releases what it
// held; `from` is left holding kNoSocket.
void SockHandOver(SockRecord& from, SockRecord& to);

// Turns on TCP keepalive: a peer that stays silent `idle_seconds` is probed
// every `interval_seconds`, and the connection fails after `probes`
// unanswered probes, or when sent data stays unacknowledged as long. So a
// peer that vanished without a word (power cut, cable) frees the connection.
platform::Status SockKeepAlive(SockRecord& record, int idle_seconds, int interval_seconds,
                               int probes);

// Keepalive of the connections to devices (camera commands, alarm inputs):
// a device that vanished (power cut, pulled cable) is given up after about
// 25 s of silence instead of being waited for until a time-out of our own.
inline constexpr int kDeviceKeepAliveIdleSeconds = 10;
inline constexpr int kDeviceKeepAliveIntervalSeconds = 5;
inline constexpr int kDeviceKeepAliveProbes = 3;

// How long SockConnect waits for a device to complete a connection, in
// tenths of a second: a powered-off device would otherwise hold the caller
// for the kernel's own time-out (about 127 s).
inline constexpr int kSockConnectTimeout = 200;

// Resolves `host` (a dotted IPv4 address is used as it is, anything else is
// looked up as an IPv4 name) and connects to `port`, waiting at most
// `timeout` tenths of a second (0: as long as the kernel tries) for the
// connection to complete; a time-out fails with ETIMEDOUT. The socket is
// blocking again afterwards. A name that does not resolve fails before any
// connection is tried.
platform::Status SockConnect(SockRecord& record, const char* host, int port,
                             int timeout = kSockConnectTimeout);

// Sends the NUL-terminated `text` together with its terminating NUL byte
// (length + 1 bytes): the NUL is the message framing the peers expect.
platform::Status SockSendText(SockRecord& record, const char* text);

// Makes one receive of at most buffer.size() - 1 bytes, after waiting up to
// `timeout` tenths of a second (0: without limit) for data, and stores a NUL
// behind the bytes received. Result: the count (> 0), 0 when the time-out
// passed without data, kSockPeerClosed (-9) when the peer closed; a failure
// on a socket error or a buffer of fewer than 2 bytes. Only one receive is
// made: a reply in several segments comes back in several pieces.
platform::Result<int> SockReceive(SockRecord& record, std::span<char> buffer, int timeout);

// Closes the record's socket and leaves kNoSocket in it; fails (EBADF) when
// the record held none.
platform::Status SockClose(SockRecord& record);

// The error number of the calling thread's last failed socket call (errno).
int SockLastError();
