// The only place that knows the operating system's sockets, clock and
// process start-up. Everything above it speaks in these terms, so a Windows
// twin of platform_posix.cpp can be added without touching the rest.
#pragma once

#include <cstddef>
#include <cstdint>

// A socket handle: a descriptor on POSIX, Winsock's SOCKET (pointer-sized)
// on Windows, where INVALID_SOCKET reads as -1 in this signed type.
#ifdef _WIN32
using tq_socket = intptr_t;
#else
using tq_socket = int;
#endif
constexpr tq_socket TQ_NO_SOCKET = -1;

// Whether the system's environment names ignore case, as on Windows, where
// http_proxy and HTTP_PROXY are one variable.
#ifdef _WIN32
constexpr bool TQ_ENV_NAMES_IGNORE_CASE = true;
#else
constexpr bool TQ_ENV_NAMES_IGNORE_CASE = false;
#endif

// Process start-up for the executable. POSIX: SIGPIPE ignored (a peer that
// closes must never kill the process); its streams never translate newlines,
// so there is no binary-mode switch to make. Windows: standard output and
// input switched to binary mode, so no line gains a carriage return and body
// bytes arrive unchanged.
void tq_platform_startup(void);

// Monotonic clock in milliseconds.
int64_t tq_platform_now_ms(void);

// Last socket error of this thread (errno on POSIX, WSAGetLastError on
// Windows), for diagnostics.
int tq_platform_last_error(void);

// Writes one diagnostic line (printf format; the caller ends it with a
// newline) to standard error in a single write of at most 1024 bytes, so
// that lines of threads running at once never interleave. Longer lines are
// cut, keeping their newline.
void tq_platform_diag(const char *fmt, ...) __attribute__((format(WS_PRINTF_FORMAT, 1, 2)));

// --- name resolution ------------------------------------------------------

// The stream-socket addresses of one host, in the order the resolver gave them.
struct tq_plat_addrs;

// Resolves host (any address family, stream sockets, no flags) for port.
// 0 with *out owning a non-empty list; -1 when the name does not resolve or
// yields no address (*out is then NULL).
int tq_plat_resolve(const char *host, int port, tq_plat_addrs **out);
size_t tq_plat_addrs_count(const tq_plat_addrs *addrs);
// Address family number of candidate i (AF_INET, AF_INET6, ...).
int tq_plat_addrs_family(const tq_plat_addrs *addrs, size_t i);
// Frees the list; NULL is accepted.
void tq_plat_addrs_free(tq_plat_addrs *addrs);

// Frees a resolved list when the scope ends.
struct tq_plat_addrs_guard {
  tq_plat_addrs *a;
  explicit tq_plat_addrs_guard(tq_plat_addrs *addrs) : a(addrs) {}
  tq_plat_addrs_guard(const tq_plat_addrs_guard &) = delete;
  tq_plat_addrs_guard &operator=(const tq_plat_addrs_guard &) = delete;
  ~tq_plat_addrs_guard() { tq_plat_addrs_free(a); }
};

// --- sockets ----------------------------------------------------------------

// A close-on-exec, non-blocking socket matching candidate i's family, type
// and protocol, or TQ_NO_SOCKET.
tq_socket tq_plat_socket_for(const tq_plat_addrs *addrs, size_t i);
// Starts a non-blocking connect to candidate i. 0 when it is under way (or
// already made); -1 when it failed up front (tq_platform_last_error says why).
int tq_plat_connect_start(tq_socket sock, const tq_plat_addrs *addrs, size_t i);
// The pending error of a socket (SO_ERROR). 0 with *so_error set, or -1 when
// it cannot be read.
int tq_plat_socket_error(tq_socket sock, int *so_error);

enum tq_plat_wait_kind { TQ_PLAT_READABLE, TQ_PLAT_WRITABLE };
// Waits until sock is readable or writable (an error or hang-up on the socket
// counts as ready, so the next call reports it) or deadline_ms passes.
// 1 ready, 0 not ready. Never waits when the deadline has passed; one wait
// lasts at most 30000 ms even when the deadline is further away, and then
// reports 0. Interrupted waits are resumed; other poll failures report 0.
// When the calling thread has adopted a wake-up handle (below) that is
// signalled, reports 0 at once, so the operation fails as on a time-out.
int tq_plat_wait(tq_socket sock, tq_plat_wait_kind kind, int64_t deadline_ms);

// One send (never raises SIGPIPE) or recv call. The byte count, 0 (recv: the
// peer closed), or -1 with tq_platform_last_error set.
ptrdiff_t tq_plat_send(tq_socket sock, const void *data, size_t len);
ptrdiff_t tq_plat_recv(tq_socket sock, void *buf, size_t len);
// True for errors after which the same call may succeed later (the socket
// buffer was full or empty, or a signal interrupted the call).
bool tq_plat_error_is_transient(int error);

// Closes sock; TQ_NO_SOCKET is ignored.
void tq_plat_close(tq_socket sock);

// --- address literals -------------------------------------------------------

// The bytes of an IPv4 (dotted quad) or IPv6 address literal, IPv6 written
// without brackets: 4 or 16 with out filled, 0 when text is no literal.
size_t tq_plat_parse_ip(const char *text, unsigned char out[16]);
// The address of candidate i: 4 (IPv4) or 16 (IPv6) bytes into out, 0 for
// any other family.
size_t tq_plat_addrs_ip(const tq_plat_addrs *addrs, size_t i, unsigned char out[16]);

// --- wake-up handles --------------------------------------------------------
//
// Lets one thread abort every blocking wait of another at once, so that a
// cancelled exchange gives its thread back within milliseconds instead of
// running to its time-outs. Every wait of the connection layer goes through
// tq_plat_wait, which watches the handle of its own thread beside the
// socket; the connection code itself knows nothing of it. Name resolution
// is a library call that cannot be woken.

struct tq_plat_wake;

// A new handle, not signalled; NULL when the system refuses one.
tq_plat_wake *tq_plat_wake_new(void);
// Releases the handle; NULL is accepted. No thread may still have it adopted.
void tq_plat_wake_free(tq_plat_wake *wake);
// Signals the handle: from now on every wait of a thread that adopted it
// ends at once, until it is cleared. Safe from any thread.
void tq_plat_wake_signal(tq_plat_wake *wake);
// Takes a signal back, so the handle's thread waits normally again.
void tq_plat_wake_clear(tq_plat_wake *wake);
// Makes wake the handle that the calling thread's waits consult; NULL
// detaches it. The handle must outlive the adoption.
void tq_plat_wake_adopt(tq_plat_wake *wake);
