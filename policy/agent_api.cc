#include "policy/agent_api.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <mutex>
#include <utility>

#include "standins/agent_api/cvma32.h"
#include "support/agent_libraries.h"

namespace agent {

namespace {

using support::AgentLibrary;

// What a call gives when its entry cannot be resolved.
struct FailWithCode {
  template <typename R>
  static R Result(int32_t error) { return static_cast<R>(error); }
};
struct FailWithZero {
  template <typename R>
  static R Result(int32_t) { return R{}; }
};

// Every slot that has held an entry, so that ForgetAgentEntries can clear them all. Slots
// are function statics: registered at their first resolution, never removed.
constexpr size_t kMaxSlots = 64;  // more than the entries below
std::mutex g_slots_lock;
std::atomic<void*>* g_slots[kMaxSlots];  // under g_slots_lock
size_t g_slot_count = 0;                 // under g_slots_lock

void Remember(std::atomic<void*>* slot) {
  std::lock_guard lock(g_slots_lock);
  if (std::find(g_slots, g_slots + g_slot_count, slot) != g_slots + g_slot_count) return;
  if (g_slot_count < kMaxSlots) g_slots[g_slot_count++] = slot;
}

// Calls entry `name` of `library`, resolving it at the first call (and again after
// ForgetAgentEntries).
template <typename Fail, typename Function, typename... Args>
auto Call(AgentLibrary library, const char* name, std::atomic<void*>& slot, Args... args) {
  using R = decltype(std::declval<Function>()(args...));
  void* function = slot.load(std::memory_order_acquire);
  if (function == nullptr) {
    int32_t error = 0;
    function = support::ResolveAgentFunction(library, name, &error);
    if (function == nullptr) return Fail::template Result<R>(error);
    Remember(&slot);
    slot.store(function, std::memory_order_release);
  }
  return reinterpret_cast<Function>(function)(args...);
}

constexpr AgentLibrary kPolicy = AgentLibrary::kPolicy;
constexpr AgentLibrary kClient = AgentLibrary::kClient;

}  // namespace

int32_t VmpCreatePolicyVar(uint32_t* handle) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithCode, decltype(&::VmpCreatePolicyVar)>(kPolicy, "VmpCreatePolicyVar", slot,
                                                             handle);
}
int32_t VmpCreatePolicyOID(const char* oid, uint32_t* handle) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithCode, decltype(&::VmpCreatePolicyOID)>(kPolicy, "VmpCreatePolicyOID", slot,
                                                             oid, handle);
}
int32_t VmpClose(uint32_t handle) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithCode, decltype(&::VmpClose)>(kPolicy, "VmpClose", slot, handle);
}
int32_t VmpSetOID(uint32_t handle, const char* oid) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithCode, decltype(&::VmpSetOID)>(kPolicy, "VmpSetOID", slot, handle, oid);
}
int32_t VmpGetInt(uint32_t handle, int32_t* value) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithCode, decltype(&::VmpGetInt)>(kPolicy, "VmpGetInt", slot, handle, value);
}
int32_t VmpSetValue(uint32_t handle, const VmpValue* value) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithCode, decltype(&::VmpSetValue)>(kPolicy, "VmpSetValue", slot, handle, value);
}
int32_t VmpGetStringW(uint32_t handle, char16_t* buffer, uint32_t capacity) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithCode, decltype(&::VmpGetStringW)>(kPolicy, "VmpGetStringW", slot, handle,
                                                        buffer, capacity);
}
int32_t VmpSetStringW(uint32_t handle, const char16_t* value) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithCode, decltype(&::VmpSetStringW)>(kPolicy, "VmpSetStringW", slot, handle,
                                                        value);
}
int32_t VmpGetRestriction(uint32_t handle, uint32_t* flags, uint32_t* other) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithCode, decltype(&::VmpGetRestriction)>(kPolicy, "VmpGetRestriction", slot,
                                                            handle, flags, other);
}
int32_t VmpGetTableDimensions(uint32_t handle, uint32_t* rows, uint32_t* columns) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithCode, decltype(&::VmpGetTableDimensions)>(kPolicy, "VmpGetTableDimensions",
                                                                slot, handle, rows, columns);
}
int32_t VmpGetCellRestriction(uint32_t handle, uint32_t row, uint32_t column, uint32_t* flags,
                              uint32_t* other) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithCode, decltype(&::VmpGetCellRestriction)>(
      kPolicy, "VmpGetCellRestriction", slot, handle, row, column, flags, other);
}
int32_t VmpGetColumnType(uint32_t handle, uint32_t column, uint32_t* type) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithCode, decltype(&::VmpGetColumnType)>(kPolicy, "VmpGetColumnType", slot,
                                                           handle, column, type);
}
int32_t VmpGetCellInt(uint32_t handle, uint32_t row, uint32_t column, int32_t* value) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithCode, decltype(&::VmpGetCellInt)>(kPolicy, "VmpGetCellInt", slot, handle, row,
                                                        column, value);
}
int32_t VmpGetCellStringW(uint32_t handle, uint32_t row, uint32_t column, char16_t* buffer,
                          uint32_t capacity) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithCode, decltype(&::VmpGetCellStringW)>(kPolicy, "VmpGetCellStringW", slot,
                                                            handle, row, column, buffer, capacity);
}
int32_t VmpSetCellInt(uint32_t handle, uint32_t row, uint32_t column, int32_t value) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithCode, decltype(&::VmpSetCellInt)>(kPolicy, "VmpSetCellInt", slot, handle, row,
                                                        column, value);
}
int32_t VmpSetCellStringW(uint32_t handle, uint32_t row, uint32_t column, const char16_t* value) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithCode, decltype(&::VmpSetCellStringW)>(kPolicy, "VmpSetCellStringW", slot,
                                                            handle, row, column, value);
}
int32_t VmpInsertRow(uint32_t handle, int32_t row) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithCode, decltype(&::VmpInsertRow)>(kPolicy, "VmpInsertRow", slot, handle, row);
}
int32_t VmpRemoveRow(uint32_t handle, uint32_t row) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithCode, decltype(&::VmpRemoveRow)>(kPolicy, "VmpRemoveRow", slot, handle, row);
}
int32_t PqhGetPackedOID(uint32_t handle, const void** packed) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithCode, decltype(&::PqhGetPackedOID)>(kPolicy, "PqhGetPackedOID", slot, handle,
                                                          packed);
}
uint32_t PqhGetPackedOIDSize(const void* packed) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithZero, decltype(&::PqhGetPackedOIDSize)>(kPolicy, "PqhGetPackedOIDSize", slot,
                                                              packed);
}
int32_t PqhCreatePolicySetPackage(uint32_t handle, void** body, uint32_t* length) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithCode, decltype(&::PqhCreatePolicySetPackage)>(
      kPolicy, "PqhCreatePolicySetPackage", slot, handle, body, length);
}
int32_t PqhFreeMemory(void* body) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithCode, decltype(&::PqhFreeMemory)>(kPolicy, "PqhFreeMemory", slot, body);
}
int32_t PqhUnpackPolicyGetPackage(uint32_t handle, const void* payload, uint32_t length) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithCode, decltype(&::PqhUnpackPolicyGetPackage)>(
      kPolicy, "PqhUnpackPolicyGetPackage", slot, handle, payload, length);
}

uint32_t CVMACreateMessage(uint32_t message_id) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithZero, decltype(&::CVMACreateMessage)>(kClient, "CVMACreateMessage", slot,
                                                            message_id);
}
int32_t CVMADeleteMessage(uint32_t message) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithCode, decltype(&::CVMADeleteMessage)>(kClient, "CVMADeleteMessage", slot,
                                                            message);
}
int32_t CVMASetMessageData(uint32_t message, const void* data, uint32_t length) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithCode, decltype(&::CVMASetMessageData)>(kClient, "CVMASetMessageData", slot,
                                                             message, data, length);
}
uint32_t CVMASendMessage(uint32_t session, uint32_t destination, uint32_t message,
                         uint32_t timeout_ms) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithCode, decltype(&::CVMASendMessage)>(kClient, "CVMASendMessage", slot, session,
                                                          destination, message, timeout_ms);
}
uint32_t CVMAGetResponseDataSize(uint32_t message) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithZero, decltype(&::CVMAGetResponseDataSize)>(
      kClient, "CVMAGetResponseDataSize", slot, message);
}
int32_t CVMAGetResponseData(uint32_t message, void* buffer, uint32_t length) {
  static std::atomic<void*> slot{nullptr};
  return Call<FailWithCode, decltype(&::CVMAGetResponseData)>(kClient, "CVMAGetResponseData", slot,
                                                              message, buffer, length);
}

void ForgetAgentEntries() {
  std::lock_guard lock(g_slots_lock);
  for (size_t i = 0; i < g_slot_count; ++i) g_slots[i]->store(nullptr, std::memory_order_release);
}

}  // namespace agent
