/* Calls of libcvma32.so that the public header does not carry yet: change notifications
 * received by a session. Used by the agent's tests until the host API takes them up.
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

/* Takes the oldest change notification the session holds, reading the connection for up to
 * timeout_ms when it holds none: the changed variable's OID, terminated, in `oid`. The
 * notification stays queued when `capacity` is too small (CVMA_E_ARGUMENT). CVMA_E_CONNECT
 * when the session has no connection (notifications come only on the one that checked in). */
CVMA_API int32_t CVMATakeNotification(uint32_t session, uint32_t timeout_ms, char* oid,
                                      uint32_t capacity);

#ifdef __cplusplus
}
#endif

#endif /* STANDINS_CVMA32_CVMA32_INTERNAL_H_ */
