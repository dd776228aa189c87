/* Calls of libcvma32.so that the public header does not carry yet: change notifications
 * received by a session, its reconnection, and the result of a session the agent's socket
 * refuses. Used by the host components, the operator's tool and the agent's tests until the
 * host API takes them up.
 *
 * Thread safety: as every call of the library (cvma32.h). */
#ifndef STANDINS_CVMA32_CVMA32_INTERNAL_H_
#define STANDINS_CVMA32_CVMA32_INTERNAL_H_

#include "standins/include/cvma32.h"

#ifdef __cplusplus
extern "C" {
#endif

/* No notification arrived within the time-out. */
#define CVMA_E_NO_NOTIFICATION (-6)
/* CVMAOpenSession: the agent's socket, or a folder on its path, refuses this process's
 * user (EACCES); CVMA_E_CONNECT stays for every other failure to connect. */
#define CVMA_E_ACCESS (-7)
/* CVMAOpenSession: the socket is served by an account that is neither this process's, root
 * nor the machine root's owner (the agent's): nothing was sent to it. Sends on a session
 * that meets such a socket when it connects again answer CVMA_SEND_NO_AGENT. */
#define CVMA_E_WRONG_SERVER (-8)

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

#ifdef __cplusplus
}
#endif

#endif /* STANDINS_CVMA32_CVMA32_INTERNAL_H_ */
