#include "policy/policy_access.h"

#include "module/module_state.h"
#include "policy/agent_api.h"
#include "policy/agent_messages.h"
#include "support/trace.h"

using support::TRACE_ERROR;
using support::TraceEnabled;
using support::TraceOut;

namespace policy {

namespace {

constexpr uint32_t kIntegerType = 8;

uint32_t CurrentSession() {
  return ReadSessionCell(module::State().session_cell.load(std::memory_order_acquire));
}

// Fetches `oid` for a restriction query; traces and returns false when it cannot.
bool FetchForRestriction(const char* oid, uint32_t* handle) {
  const int32_t result = VmpGetPolicy(CurrentSession(), oid, handle);
  if (result != 0) {
    if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, "VmpGetPolicy return error %i\n", result);
    return false;
  }
  return true;
}

// Names a new variable, then sends it; the handle is closed by the caller.
int32_t NameAndSend(uint32_t session, uint32_t handle, const char* oid) {
  int32_t result = agent::VmpSetOID(handle, oid);
  if (result == 0) result = VmpSendPolicySet(session, handle);
  return result;
}

}  // namespace

int BoundedCopy(char16_t* target, uint32_t capacity, const char16_t* source) {
  for (uint32_t written = 0; written < capacity; ++written) {
    target[written] = source[written];
    if (source[written] == 0) return 0;
  }
  target[capacity - 1] = 0;
  return 1;
}

int32_t VmpGetPolicy(uint32_t session, const char* oid, uint32_t* handle) {
  uint32_t created = 0;
  *handle = 0;
  int32_t result = agent::VmpCreatePolicyVar(&created);
  if (result != 0) return result;
  result = agent::VmpSetOID(created, oid);
  if (result == 0) result = VmpFetchPolicy(session, created);
  if (result != 0) {
    agent::VmpClose(created);
    return result;
  }
  *handle = created;
  return 0;
}

int32_t VmpGetPolicyInt(uint32_t session, const char* oid, int32_t* value, int32_t fallback) {
  uint32_t handle = 0;
  int32_t result = VmpGetPolicy(session, oid, &handle);
  if (result != 0) return result;
  result = agent::VmpGetInt(handle, value);
  agent::VmpClose(handle);
  if (result != 0) *value = fallback;
  return result;
}

int32_t VmpGetPolicyStringW(uint32_t session, const char* oid, char16_t* buffer, uint32_t capacity,
                            const char16_t* fallback) {
  uint32_t handle = 0;
  int32_t result = VmpGetPolicy(session, oid, &handle);
  if (result != 0) return result;
  result = agent::VmpGetStringW(handle, buffer, capacity);
  bool truncated = false;
  if (result == kPolicyTextTooLong) {
    truncated = true;
    result = 0;
  }
  agent::VmpClose(handle);
  if (result != 0 && BoundedCopy(buffer, capacity, fallback != nullptr ? fallback : u"") != 0) {
    truncated = true;
  }
  return truncated ? kPolicyTextTooLong : result;
}

int32_t VmpSetPolicyInt(uint32_t session, const char* oid, int32_t value) {
  uint32_t handle = 0;
  int32_t result = agent::VmpCreatePolicyVar(&handle);
  if (result != 0) return result;
  const VmpValue record = {kIntegerType, value};
  result = agent::VmpSetValue(handle, &record);
  if (result == 0) result = NameAndSend(session, handle, oid);
  agent::VmpClose(handle);
  return result;
}

int32_t VmpSetPolicyStringW(uint32_t session, const char* oid, const char16_t* value) {
  uint32_t handle = 0;
  int32_t result = agent::VmpCreatePolicyVar(&handle);
  if (result != 0) return result;
  result = agent::VmpSetStringW(handle, value);
  if (result == 0) result = NameAndSend(session, handle, oid);
  agent::VmpClose(handle);
  return result;
}

int32_t GetPolicyRestriction(const char* oid) {
  uint32_t handle = 0;
  if (!FetchForRestriction(oid, &handle)) return kRestrictUnknown;
  uint32_t flags = 0;
  uint32_t other = 0;
  agent::VmpGetRestriction(handle, &flags, &other);
  agent::VmpClose(handle);
  return static_cast<int32_t>(flags);
}

int32_t GetPolicyCellRestriction(const char* oid, uint32_t column) {
  uint32_t handle = 0;
  if (!FetchForRestriction(oid, &handle)) return kRestrictUnknown;
  uint32_t rows = 0;
  uint32_t columns = 0;
  agent::VmpGetTableDimensions(handle, &rows, &columns);
  uint32_t flags = 0;
  if (rows != 0) {
    uint32_t other = 0;
    agent::VmpGetCellRestriction(handle, 0, column, &flags, &other);
  }
  agent::VmpClose(handle);
  return static_cast<int32_t>(flags);
}

}  // namespace policy
