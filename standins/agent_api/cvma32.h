/* The agent client library (libcvma32.so): request/reply messages between a process and
 * the management agent, over a session on the agent's Unix socket.
 *
 * Handles (sessions, messages) are opaque 32-bit values, 0 meaning none. Every function
 * may be called from any thread; one session carries one exchange at a time (concurrent
 * senders on one session wait for each other), different sessions run in parallel.
 * Nothing here throws or aborts: bad handles and malformed replies give error codes. */
#ifndef STANDINS_AGENT_API_CVMA32_H_
#define STANDINS_AGENT_API_CVMA32_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* On Windows the library names what it exports; its callers find them in its import
   library. */
#ifdef _WIN32
#define CVMA_API __declspec(dllexport)
#else
#define CVMA_API __attribute__((visibility("default")))
#endif

/* Send status of a request that was delivered and answered. */
#define CVMA_SEND_OK 0x4000000u
/* Other send statuses. */
#define CVMA_SEND_BAD_HANDLE 0x80000001u    /* unknown session, message or destination */
#define CVMA_SEND_NO_AGENT 0x80000002u      /* the agent's socket cannot be reached */
#define CVMA_SEND_TIMEOUT 0x80000003u       /* no reply within the time-out */
#define CVMA_SEND_BROKEN 0x80000004u        /* the connection failed or the reply was malformed */
#define CVMA_SEND_REFUSED 0x80000005u       /* the agent refused the peer or the frame */

/* Result codes of the other functions. */
#define CVMA_OK 0
#define CVMA_E_HANDLE (-1)   /* unknown handle */
#define CVMA_E_ARGUMENT (-2) /* null pointer or length out of range */
#define CVMA_E_MEMORY (-4)
#define CVMA_E_CONNECT (-5)  /* the agent's socket cannot be reached */
/* No notification arrived within the time-out. */
#define CVMA_E_NO_NOTIFICATION (-6)
/* CVMAOpenSession: the agent's socket, or a folder on its path, refuses this process's
 * user (EACCES); CVMA_E_CONNECT stays for every other failure to connect. */
#define CVMA_E_ACCESS (-7)
/* CVMAOpenSession: the socket is served by an account that is neither this process's, root
 * nor the machine root's owner (the agent's): nothing was sent to it. Sends on a session
 * that meets such a socket when it connects again answer CVMA_SEND_NO_AGENT. */
#define CVMA_E_WRONG_SERVER (-8)

/* Sessions (what the host process uses; the module never opens one). socket_path null or
 * empty: $CORVANE_ROOT/cvmad.sock. The connection is made at once and made again at the
 * next send after it broke. */
CVMA_API int32_t CVMAOpenSession(const char* socket_path, uint32_t* session);
CVMA_API int32_t CVMACloseSession(uint32_t session);

/* Takes the oldest change notification the session holds, reading the connection for up to
 * timeout_ms when it holds none: the changed variable's OID, terminated, in `oid`. The
 * notification stays queued when `capacity` is too small (CVMA_E_ARGUMENT). CVMA_E_CONNECT
 * when the session has no connection (notifications come only on the one that checked in). */
CVMA_API int32_t CVMATakeNotification(uint32_t session, uint32_t timeout_ms, char* oid,
                                      uint32_t capacity);

/* Makes the session's connection again when it has none (the agent went away), then makes
 * again every check-in the agent accepted on the session before, so that notifications
 * resume. CVMA_OK when the session is connected, already or now; CVMA_E_CONNECT when the
 * agent cannot be reached or does not answer the check-ins. Sends do the same on their own. */
CVMA_API int32_t CVMAReconnectSession(uint32_t session);

/* Messages. */
CVMA_API uint32_t CVMACreateMessage(uint32_t message_id);
CVMA_API int32_t CVMADeleteMessage(uint32_t message);
/* Attaches a copy of the body (length 0 detaches). */
CVMA_API int32_t CVMASetMessageData(uint32_t message, const void* data, uint32_t length);
CVMA_API uint32_t CVMAGetMessageID(uint32_t message);
CVMA_API uint32_t CVMAGetMessageDataSize(uint32_t message);
CVMA_API const void* CVMAGetMessageDataBuffer(uint32_t message);

/* Sends the message to the destination (an OID handle of the policy library) and waits
 * up to timeout_ms for the reply, which the message then holds. CVMA_SEND_OK, or one of
 * the other send statuses. */
CVMA_API uint32_t CVMASendMessage(uint32_t session, uint32_t destination, uint32_t message,
                                  uint32_t timeout_ms);

/* The reply of the last successful send: its size, a copy of its first `length` bytes
 * (length must not exceed the size), or a pointer to it owned by the message. */
CVMA_API uint32_t CVMAGetResponseDataSize(uint32_t message);
CVMA_API int32_t CVMAGetResponseData(uint32_t message, void* buffer, uint32_t length);
CVMA_API const void* CVMAGetResponseDataBuffer(uint32_t message);

#ifdef __cplusplus
}
#endif

#endif /* STANDINS_AGENT_API_CVMA32_H_ */
