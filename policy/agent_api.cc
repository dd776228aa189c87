#include "policy/agent_api.h"

#include <atomic>

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

// Calls entry `name` of `library`, resolving it at the first call.
template <typename Fail, typename R, typename... Params, typename... Args>
R Call(AgentLibrary library, const char* name, std::atomic<R (*)(Params...)>& slot,
       Args... args) {
  R (*function)(Params...) = slot.load(std::memory_order_acquire);
  if (function == nullptr) {
    int32_t error = 0;
    function = reinterpret_cast<R (*)(Params...)>(
        support::ResolveAgentFunction(library, name, &error));
    if (function == nullptr) return Fail::template Result<R>(error);
    slot.store(function, std::memory_order_release);
  }
  return function(args...);
}

constexpr AgentLibrary kPolicy = AgentLibrary::kPolicy;
constexpr AgentLibrary kClient = AgentLibrary::kClient;

}  // namespace

int32_t VmpCreatePolicyVar(uint32_t* handle) {
  static std::atomic<decltype(&::VmpCreatePolicyVar)> slot{nullptr};
  return Call<FailWithCode>(kPolicy, "VmpCreatePolicyVar", slot, handle);
}
int32_t VmpCreatePolicyOID(const char* oid, uint32_t* handle) {
  static std::atomic<decltype(&::VmpCreatePolicyOID)> slot{nullptr};
  return Call<FailWithCode>(kPolicy, "VmpCreatePolicyOID", slot, oid, handle);
}
int32_t VmpClose(uint32_t handle) {
  static std::atomic<decltype(&::VmpClose)> slot{nullptr};
  return Call<FailWithCode>(kPolicy, "VmpClose", slot, handle);
}
int32_t VmpSetOID(uint32_t handle, const char* oid) {
  static std::atomic<decltype(&::VmpSetOID)> slot{nullptr};
  return Call<FailWithCode>(kPolicy, "VmpSetOID", slot, handle, oid);
}
int32_t VmpGetInt(uint32_t handle, int32_t* value) {
  static std::atomic<decltype(&::VmpGetInt)> slot{nullptr};
  return Call<FailWithCode>(kPolicy, "VmpGetInt", slot, handle, value);
}
int32_t VmpSetValue(uint32_t handle, const VmpValue* value) {
  static std::atomic<decltype(&::VmpSetValue)> slot{nullptr};
  return Call<FailWithCode>(kPolicy, "VmpSetValue", slot, handle, value);
}
int32_t VmpGetStringW(uint32_t handle, char16_t* buffer, uint32_t capacity) {
  static std::atomic<decltype(&::VmpGetStringW)> slot{nullptr};
  return Call<FailWithCode>(kPolicy, "VmpGetStringW", slot, handle, buffer, capacity);
}
int32_t VmpSetStringW(uint32_t handle, const char16_t* value) {
  static std::atomic<decltype(&::VmpSetStringW)> slot{nullptr};
  return Call<FailWithCode>(kPolicy, "VmpSetStringW", slot, handle, value);
}
int32_t VmpGetRestriction(uint32_t handle, uint32_t* flags, uint32_t* other) {
  static std::atomic<decltype(&::VmpGetRestriction)> slot{nullptr};
  return Call<FailWithCode>(kPolicy, "VmpGetRestriction", slot, handle, flags, other);
}
int32_t VmpGetTableDimensions(uint32_t handle, uint32_t* rows, uint32_t* columns) {
  static std::atomic<decltype(&::VmpGetTableDimensions)> slot{nullptr};
  return Call<FailWithCode>(kPolicy, "VmpGetTableDimensions", slot, handle, rows, columns);
}
int32_t VmpGetCellRestriction(uint32_t handle, uint32_t row, uint32_t column, uint32_t* flags,
                              uint32_t* other) {
  static std::atomic<decltype(&::VmpGetCellRestriction)> slot{nullptr};
  return Call<FailWithCode>(kPolicy, "VmpGetCellRestriction", slot, handle, row, column, flags, other);
}
int32_t VmpGetColumnType(uint32_t handle, uint32_t column, uint32_t* type) {
  static std::atomic<decltype(&::VmpGetColumnType)> slot{nullptr};
  return Call<FailWithCode>(kPolicy, "VmpGetColumnType", slot, handle, column, type);
}
int32_t VmpGetCellInt(uint32_t handle, uint32_t row, uint32_t column, int32_t* value) {
  static std::atomic<decltype(&::VmpGetCellInt)> slot{nullptr};
  return Call<FailWithCode>(kPolicy, "VmpGetCellInt", slot, handle, row, column, value);
}
int32_t VmpGetCellStringW(uint32_t handle, uint32_t row, uint32_t column, char16_t* buffer,
                          uint32_t capacity) {
  static std::atomic<decltype(&::VmpGetCellStringW)> slot{nullptr};
  return Call<FailWithCode>(kPolicy, "VmpGetCellStringW", slot, handle, row, column, buffer, capacity);
}
int32_t VmpSetCellInt(uint32_t handle, uint32_t row, uint32_t column, int32_t value) {
  static std::atomic<decltype(&::VmpSetCellInt)> slot{nullptr};
  return Call<FailWithCode>(kPolicy, "VmpSetCellInt", slot, handle, row, column, value);
}
int32_t VmpSetCellStringW(uint32_t handle, uint32_t row, uint32_t column, const char16_t* value) {
  static std::atomic<decltype(&::VmpSetCellStringW)> slot{nullptr};
  return Call<FailWithCode>(kPolicy, "VmpSetCellStringW", slot, handle, row, column, value);
}
int32_t VmpInsertRow(uint32_t handle, int32_t row) {
  static std::atomic<decltype(&::VmpInsertRow)> slot{nullptr};
  return Call<FailWithCode>(kPolicy, "VmpInsertRow", slot, handle, row);
}
int32_t VmpRemoveRow(uint32_t handle, uint32_t row) {
  static std::atomic<decltype(&::VmpRemoveRow)> slot{nullptr};
  return Call<FailWithCode>(kPolicy, "VmpRemoveRow", slot, handle, row);
}
int32_t PqhGetPackedOID(uint32_t handle, const void** packed) {
  static std::atomic<decltype(&::PqhGetPackedOID)> slot{nullptr};
  return Call<FailWithCode>(kPolicy, "PqhGetPackedOID", slot, handle, packed);
}
uint32_t PqhGetPackedOIDSize(const void* packed) {
  static std::atomic<decltype(&::PqhGetPackedOIDSize)> slot{nullptr};
  return Call<FailWithZero>(kPolicy, "PqhGetPackedOIDSize", slot, packed);
}
int32_t PqhCreatePolicySetPackage(uint32_t handle, void** body, uint32_t* length) {
  static std::atomic<decltype(&::PqhCreatePolicySetPackage)> slot{nullptr};
  return Call<FailWithCode>(kPolicy, "PqhCreatePolicySetPackage", slot, handle, body, length);
}
int32_t PqhFreeMemory(void* body) {
  static std::atomic<decltype(&::PqhFreeMemory)> slot{nullptr};
  return Call<FailWithCode>(kPolicy, "PqhFreeMemory", slot, body);
}
int32_t PqhUnpackPolicyGetPackage(uint32_t handle, const void* payload, uint32_t length) {
  static std::atomic<decltype(&::PqhUnpackPolicyGetPackage)> slot{nullptr};
  return Call<FailWithCode>(kPolicy, "PqhUnpackPolicyGetPackage", slot, handle, payload, length);
}

uint32_t CVMACreateMessage(uint32_t message_id) {
  static std::atomic<decltype(&::CVMACreateMessage)> slot{nullptr};
  return Call<FailWithZero>(kClient, "CVMACreateMessage", slot, message_id);
}
int32_t CVMADeleteMessage(uint32_t message) {
  static std::atomic<decltype(&::CVMADeleteMessage)> slot{nullptr};
  return Call<FailWithCode>(kClient, "CVMADeleteMessage", slot, message);
}
int32_t CVMASetMessageData(uint32_t message, const void* data, uint32_t length) {
  static std::atomic<decltype(&::CVMASetMessageData)> slot{nullptr};
  return Call<FailWithCode>(kClient, "CVMASetMessageData", slot, message, data, length);
}
uint32_t CVMASendMessage(uint32_t session, uint32_t destination, uint32_t message,
                         uint32_t timeout_ms) {
  static std::atomic<decltype(&::CVMASendMessage)> slot{nullptr};
  return Call<FailWithCode>(kClient, "CVMASendMessage", slot, session, destination, message, timeout_ms);
}
uint32_t CVMAGetResponseDataSize(uint32_t message) {
  static std::atomic<decltype(&::CVMAGetResponseDataSize)> slot{nullptr};
  return Call<FailWithZero>(kClient, "CVMAGetResponseDataSize", slot, message);
}
int32_t CVMAGetResponseData(uint32_t message, void* buffer, uint32_t length) {
  static std::atomic<decltype(&::CVMAGetResponseData)> slot{nullptr};
  return Call<FailWithCode>(kClient, "CVMAGetResponseData", slot, message, buffer, length);
}

}  // namespace agent
