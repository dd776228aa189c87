// The functions of the agent's two libraries that the module calls, each reached through
// the library loaded on first use. A function whose library or entry cannot be found
// returns the loader's failure code (kAgentModuleNotFound / kAgentProcedureNotFound) where
// it returns a code, the same number as a send status, and 0 where it returns a handle or
// a size; the loader traces the failure. Nothing here crashes the host for a missing agent.
//
// Thread safety: safe from any thread; each entry's address is resolved once and kept until
// ForgetAgentEntries, which runs with no call in progress.
#ifndef POLICY_AGENT_API_H_
#define POLICY_AGENT_API_H_

#include <cstdint>

#include "standins/agent_api/cvpmapi.h"

namespace agent {

// Forgets every entry resolved so far (module shutdown, before the libraries are given back
// with support::ReleaseAgentLibraries): the next call of each resolves it again.
void ForgetAgentEntries();

// The policy library.
int32_t VmpCreatePolicyVar(uint32_t* handle);
int32_t VmpCreatePolicyOID(const char* oid, uint32_t* handle);
int32_t VmpClose(uint32_t handle);
int32_t VmpSetOID(uint32_t handle, const char* oid);
int32_t VmpGetInt(uint32_t handle, int32_t* value);
int32_t VmpSetValue(uint32_t handle, const VmpValue* value);
int32_t VmpGetStringW(uint32_t handle, char16_t* buffer, uint32_t capacity);
int32_t VmpSetStringW(uint32_t handle, const char16_t* value);
int32_t VmpGetRestriction(uint32_t handle, uint32_t* flags, uint32_t* other);
int32_t VmpGetTableDimensions(uint32_t handle, uint32_t* rows, uint32_t* columns);
int32_t VmpGetCellRestriction(uint32_t handle, uint32_t row, uint32_t column, uint32_t* flags,
                              uint32_t* other);
int32_t VmpGetColumnType(uint32_t handle, uint32_t column, uint32_t* type);
int32_t VmpGetCellInt(uint32_t handle, uint32_t row, uint32_t column, int32_t* value);
int32_t VmpGetCellStringW(uint32_t handle, uint32_t row, uint32_t column, char16_t* buffer,
                          uint32_t capacity);
int32_t VmpSetCellInt(uint32_t handle, uint32_t row, uint32_t column, int32_t value);
int32_t VmpSetCellStringW(uint32_t handle, uint32_t row, uint32_t column, const char16_t* value);
int32_t VmpInsertRow(uint32_t handle, int32_t row);
int32_t VmpRemoveRow(uint32_t handle, uint32_t row);
int32_t PqhGetPackedOID(uint32_t handle, const void** packed);
uint32_t PqhGetPackedOIDSize(const void* packed);
int32_t PqhCreatePolicySetPackage(uint32_t handle, void** body, uint32_t* length);
int32_t PqhFreeMemory(void* body);
int32_t PqhUnpackPolicyGetPackage(uint32_t handle, const void* payload, uint32_t length);

// The agent client library.
uint32_t CVMACreateMessage(uint32_t message_id);
int32_t CVMADeleteMessage(uint32_t message);
int32_t CVMASetMessageData(uint32_t message, const void* data, uint32_t length);
uint32_t CVMASendMessage(uint32_t session, uint32_t destination, uint32_t message,
                         uint32_t timeout_ms);
uint32_t CVMAGetResponseDataSize(uint32_t message);
int32_t CVMAGetResponseData(uint32_t message, void* buffer, uint32_t length);

}  // namespace agent

#endif  // POLICY_AGENT_API_H_
