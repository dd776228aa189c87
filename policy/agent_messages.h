// The module's message layer to the management agent's policy manager: fetching one
// policy variable, sending one changed variable, and checking in OID patterns. It knows the
// message identifiers, the destination, the time-out and the reply formats; the libraries
// carry the messages.
//
// Thread safety: request threads may run exchanges at once, each with its own message and
// buffers. The initialised flag is set once, at the first request, before any exchange.
// The destination handle is cached without a lock: two threads finding it empty may both
// create one; the last stored stays and both address the same OID.
#ifndef POLICY_AGENT_MESSAGES_H_
#define POLICY_AGENT_MESSAGES_H_

#include <cstdint>

namespace policy {

// Message identifiers.
inline constexpr uint32_t kMessageGetPolicy = 0x24030001;
inline constexpr uint32_t kMessageSetPolicy = 0x24030002;
inline constexpr uint32_t kMessageCheckIn = 0x24030005;

// The policy manager, destination of every message.
inline constexpr const char* kPolicyManagerOid = "1.3.6.1.4.1.8642.11.1.15";
// Time-out of every exchange, in milliseconds.
inline constexpr uint32_t kAgentTimeout = 15000;
// Send status of a request that was delivered and answered.
inline constexpr uint32_t kSendDelivered = 0x4000000;

// Result codes of this layer.
inline constexpr int32_t kPolicyTextTooLong = -2;  // used by the variable layer
inline constexpr int32_t kPolicyNoMemory = -4;
inline constexpr int32_t kPolicyShortReply = -9;
inline constexpr int32_t kPolicyNotInitialized = -11;
inline constexpr int32_t kPolicyWrongReplySize = -503;
inline constexpr int32_t kPolicyNoDestination = -509;

// Marks the layer initialised (first request start-up). Returns 0.
int32_t AgentApiInit(void* ignored);
// Undoes AgentApiInit at module shutdown: the layer is no longer initialised and the policy
// manager's OID handle is closed.
void AgentApiShutdown();
// The policy manager's OID handle, made at the first call that succeeds; 0 when it cannot
// be made (the next call tries again).
uint32_t GetPolicyManagerAddress();

// Sends message `identifier` with `body` (attached when `length` is not 0). With `message`
// not null the message is handed over (the caller deletes it with CVMADeleteMessage).
// 0, -509, or the send status when it is not the delivered one.
int32_t AgentSendMessage(uint32_t session, uint32_t identifier, const void* body, uint32_t length,
                         uint32_t* message);
// Copies the reply of `message` into one heap block. Returns the reply's status word (or
// -9 / -4) and points `*payload` past it with `*length` bytes; release with AgentFreeResponse.
int32_t AgentReadResponse(uint32_t message, const void** payload, uint32_t* length);
void AgentFreeResponse(const void* payload);

// Fetches the content of variable `handle` (named by its OID) from the agent.
int32_t VmpFetchPolicy(uint32_t session, uint32_t handle);
// Sends variable `handle` to the agent; the agent's status is the result.
int32_t VmpSendPolicySet(uint32_t session, uint32_t handle);
// Checks in the OID (pattern) of `oid_handle`.
int32_t VmpCheckIn(uint32_t session, uint32_t oid_handle);
// Registers one OID pattern for this session, tracing the outcome.
bool checkInPQH(const char* pattern, const uint32_t* session_cell);

// Reads the session handle from the cell the host keeps current; 0 without a cell.
uint32_t ReadSessionCell(const uint32_t* session_cell);

}  // namespace policy

#endif  // POLICY_AGENT_MESSAGES_H_
