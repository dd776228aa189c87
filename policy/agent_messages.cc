#include "policy/agent_messages.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "policy/agent_api.h"
#include "support/trace.h"

using support::TRACE_ERROR;
using support::TRACE_INFO;
using support::TraceEnabled;
using support::TraceOut;

namespace policy {

namespace {

std::atomic<bool> g_initialised{false};
// Addresses the policy manager from the first send to module shutdown.
std::atomic<uint32_t> g_destination{0};

}  // namespace

uint32_t ReadSessionCell(const uint32_t* session_cell) {
  // The host may replace the handle at any time from its own thread.
  return session_cell == nullptr ? 0 : __atomic_load_n(session_cell, __ATOMIC_ACQUIRE);
}

int32_t AgentApiInit(void*) {
  g_initialised.store(true, std::memory_order_release);
  return 0;
}

void AgentApiShutdown() {
  g_initialised.store(false, std::memory_order_release);
  const uint32_t destination = g_destination.exchange(0, std::memory_order_acq_rel);
  if (destination != 0) agent::VmpClose(destination);
}

uint32_t GetPolicyManagerAddress() {
  uint32_t destination = g_destination.load(std::memory_order_acquire);
  if (destination == 0) {
    if (agent::VmpCreatePolicyOID(kPolicyManagerOid, &destination) != 0) destination = 0;
    g_destination.store(destination, std::memory_order_release);
  }
  return destination;
}

int32_t AgentSendMessage(uint32_t session, uint32_t identifier, const void* body, uint32_t length,
                         uint32_t* message) {
  const uint32_t destination = GetPolicyManagerAddress();
  if (destination == 0) return kPolicyNoDestination;
  const uint32_t created = agent::CVMACreateMessage(identifier);
  if (length != 0) agent::CVMASetMessageData(created, body, length);
  const uint32_t status = agent::CVMASendMessage(session, destination, created, kAgentTimeout);
  if (status != kSendDelivered) {
    agent::CVMADeleteMessage(created);
    return static_cast<int32_t>(status);
  }
  if (message != nullptr) {
    *message = created;
  } else {
    agent::CVMADeleteMessage(created);
  }
  return 0;
}

int32_t AgentReadResponse(uint32_t message, const void** payload, uint32_t* length) {
  const uint32_t size = agent::CVMAGetResponseDataSize(message);
  *payload = nullptr;
  if (size < 4) return kPolicyShortReply;
  auto* block = static_cast<unsigned char*>(std::malloc(size));
  if (block == nullptr) return kPolicyNoMemory;
  agent::CVMAGetResponseData(message, block, size);
  int32_t status;
  std::memcpy(&status, block, sizeof status);
  *payload = block + 4;
  *length = size - 4;
  return status;
}

void AgentFreeResponse(const void* payload) {
  if (payload != nullptr) {
    std::free(const_cast<unsigned char*>(static_cast<const unsigned char*>(payload)) - 4);
  }
}

int32_t VmpFetchPolicy(uint32_t session, uint32_t handle) {
  if (!g_initialised.load(std::memory_order_acquire)) return kPolicyNotInitialized;
  if (GetPolicyManagerAddress() == 0) return kPolicyNoDestination;
  const void* packed = nullptr;
  int32_t result = agent::PqhGetPackedOID(handle, &packed);
  if (result != 0) return result;

  uint32_t message = 0;
  result = AgentSendMessage(session, kMessageGetPolicy, packed, agent::PqhGetPackedOIDSize(packed),
                        &message);
  if (result != 0) return result;
  const void* payload = nullptr;
  uint32_t length = 0;
  result = AgentReadResponse(message, &payload, &length);
  if (result == 0) result = agent::PqhUnpackPolicyGetPackage(handle, payload, length);
  AgentFreeResponse(payload);
  agent::CVMADeleteMessage(message);
  return result;
}

int32_t VmpSendPolicySet(uint32_t session, uint32_t handle) {
  if (!g_initialised.load(std::memory_order_acquire)) return kPolicyNotInitialized;
  const uint32_t destination = GetPolicyManagerAddress();
  if (destination == 0) return kPolicyNoDestination;
  void* body = nullptr;
  uint32_t length = 0;
  int32_t result = agent::PqhCreatePolicySetPackage(handle, &body, &length);
  if (result != 0) return result;

  const uint32_t message = agent::CVMACreateMessage(kMessageSetPolicy);
  agent::CVMASetMessageData(message, body, length);
  const uint32_t status = agent::CVMASendMessage(session, destination, message, kAgentTimeout);
  if (status != kSendDelivered) {
    result = static_cast<int32_t>(status);
  } else if (agent::CVMAGetResponseDataSize(message) != 4) {
    result = kPolicyWrongReplySize;
  } else {
    agent::CVMAGetResponseData(message, &result, 4);
  }
  agent::CVMADeleteMessage(message);
  agent::PqhFreeMemory(body);
  return result;
}

int32_t VmpCheckIn(uint32_t session, uint32_t oid_handle) {
  if (!g_initialised.load(std::memory_order_acquire)) return kPolicyNotInitialized;
  const void* packed = nullptr;
  const int32_t result = agent::PqhGetPackedOID(oid_handle, &packed);
  if (result != 0 && result != -3) return result;
  return AgentSendMessage(session, kMessageCheckIn, packed, agent::PqhGetPackedOIDSize(packed),
                          nullptr);
}

bool checkInPQH(const char* pattern, const uint32_t* session_cell) {
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0, "checkInPQH()\n");
    TraceOut("", TRACE_INFO, 0, "oid=%s\n", pattern != nullptr ? pattern : "(null)");
  }
  if (pattern == nullptr) return false;
  uint32_t oid_handle = 0;
  int32_t result = agent::VmpCreatePolicyOID(pattern, &oid_handle);
  if (result != 0) {
    if (TraceEnabled) {
      TraceOut("", TRACE_ERROR, 0, "Unable to create oid %s, error %d\n", pattern, result);
    }
    return false;
  }
  result = VmpCheckIn(ReadSessionCell(session_cell), oid_handle);
  agent::VmpClose(oid_handle);
  if (result != 0) {
    if (TraceEnabled) {
      TraceOut("", TRACE_ERROR, 0, "Unable to check in PQH, error %ld\n", static_cast<long>(result));
    }
    return false;
  }
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "Registration to PQH complete\n");
  return true;
}

}  // namespace policy
