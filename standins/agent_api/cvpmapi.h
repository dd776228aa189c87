/* The policy library (libcvpmapi.so): policy variables and OIDs held behind opaque
 * 32-bit handles, their values, tables and restrictions, and the packages that carry them
 * in agent messages.
 *
 * A variable has an OID, a type and a value: an integer (VMP_TYPE_INT), a string, a binary
 * block or a table (columns of a type each, rows of cells, flags per cell), and restriction
 * flags. An OID handle holds a dotted OID, which may end in ".*".
 *
 * Thread safety: every function may be called from any thread. One handle must not be
 * changed by two threads at once; different handles are independent. Nothing throws or
 * aborts: bad handles, bad arguments and malformed packages give error codes. */
#ifndef STANDINS_AGENT_API_CVPMAPI_H_
#define STANDINS_AGENT_API_CVPMAPI_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* On Windows the library names what it exports; its callers find them in its import
   library. */
#ifdef _WIN32
#define VMP_API __declspec(dllexport)
#else
#define VMP_API __attribute__((visibility("default")))
#endif

/* Result codes (0 success). */
#define VMP_OK 0
#define VMP_E_HANDLE (-1)      /* unknown or closed handle, or a handle of the other kind */
#define VMP_E_TOO_SMALL (-2)   /* the caller's buffer is too small (the part that fits is there) */
#define VMP_E_NO_OID (-3)      /* the handle has no OID yet */
#define VMP_E_MEMORY (-4)
#define VMP_E_ARGUMENT (-5)    /* null pointer, malformed OID, bad index */
#define VMP_E_TYPE (-6)        /* the value is not of the type asked for */
#define VMP_E_PACKAGE (-7)     /* malformed package */
#define VMP_E_EMPTY (-8)       /* the variable holds no value */

/* Variable types. */
#define VMP_TYPE_NONE 0
#define VMP_TYPE_BINARY 2
#define VMP_TYPE_STRING 4
#define VMP_TYPE_INT 8
#define VMP_TYPE_TABLE 20

/* Table column types: 3 and 4 hold strings; 7, 8 and 10 integers. */
#define VMP_COLUMN_IS_STRING(t) ((t) == 3 || (t) == 4)
#define VMP_COLUMN_IS_INT(t) ((t) == 7 || (t) == 8 || (t) == 10)

/* Restriction flags. */
#define VMP_RESTRICT_HIDDEN 0x1u
#define VMP_RESTRICT_FINAL 0x2u
#define VMP_RESTRICT_TABLE_FINAL 0x10u

/* Limits. */
#define VMP_MAX_OID_LENGTH 1024
#define VMP_MAX_COLUMNS 64

/* A typed value for VmpSetValue: only integers (type VMP_TYPE_INT). */
typedef struct VmpValue {
  uint32_t type;
  int32_t value;
} VmpValue;

/* Handles. */
VMP_API int32_t VmpCreatePolicyVar(uint32_t* handle);
VMP_API int32_t VmpCreatePolicyOID(const char* oid, uint32_t* handle);
VMP_API int32_t VmpClose(uint32_t handle);
VMP_API int32_t VmpSetOID(uint32_t handle, const char* oid);
/* Copies the OID text (terminated) of a variable or OID handle. */
VMP_API int32_t VmpCopyOID(uint32_t handle, char* buffer, uint32_t capacity);

/* Scalar values. Strings are terminated; capacities count characters with the terminator. */
VMP_API int32_t VmpGetType(uint32_t handle, uint32_t* type);
VMP_API int32_t VmpGetInt(uint32_t handle, int32_t* value);
VMP_API int32_t VmpSetValue(uint32_t handle, const VmpValue* value);
VMP_API int32_t VmpGetStringW(uint32_t handle, char16_t* buffer, uint32_t capacity);
VMP_API int32_t VmpSetStringW(uint32_t handle, const char16_t* value);
VMP_API int32_t VmpGetStringA(uint32_t handle, char* buffer, uint32_t capacity);   /* UTF-8 */
VMP_API int32_t VmpSetStringA(uint32_t handle, const char* value);                 /* UTF-8 */
/* *length: in, the buffer's size; out, the value's size (also with VMP_E_TOO_SMALL). */
VMP_API int32_t VmpGetBinary(uint32_t handle, void* buffer, uint32_t* length);
VMP_API int32_t VmpSetBinary(uint32_t handle, const void* data, uint32_t length);

/* Restrictions. `other` receives 0; either pointer may be null. */
VMP_API int32_t VmpGetRestriction(uint32_t handle, uint32_t* flags, uint32_t* other);
VMP_API int32_t VmpSetRestriction(uint32_t handle, uint32_t flags);
VMP_API int32_t VmpGetCellRestriction(uint32_t handle, uint32_t row, uint32_t column,
                                      uint32_t* flags, uint32_t* other);
VMP_API int32_t VmpSetCellRestriction(uint32_t handle, uint32_t row, uint32_t column,
                                      uint32_t flags);

/* Tables. VmpCreateTable makes the variable an empty table of the given column types. */
VMP_API int32_t VmpCreateTable(uint32_t handle, uint32_t columns, const uint32_t* column_types);
VMP_API int32_t VmpGetTableDimensions(uint32_t handle, uint32_t* rows, uint32_t* columns);
VMP_API int32_t VmpGetColumnType(uint32_t handle, uint32_t column, uint32_t* type);
VMP_API int32_t VmpGetCellInt(uint32_t handle, uint32_t row, uint32_t column, int32_t* value);
VMP_API int32_t VmpGetCellStringW(uint32_t handle, uint32_t row, uint32_t column,
                                  char16_t* buffer, uint32_t capacity);
VMP_API int32_t VmpSetCellInt(uint32_t handle, uint32_t row, uint32_t column, int32_t value);
VMP_API int32_t VmpSetCellStringW(uint32_t handle, uint32_t row, uint32_t column,
                                  const char16_t* value);
/* Inserts an empty row (0 / "" cells) before `row`; -1 appends. */
VMP_API int32_t VmpInsertRow(uint32_t handle, int32_t row);
VMP_API int32_t VmpRemoveRow(uint32_t handle, uint32_t row);

/* Packages. A packed OID is owned by its handle and valid until the handle's OID changes
 * or the handle is closed. */
VMP_API int32_t PqhGetPackedOID(uint32_t handle, const void** packed);
VMP_API uint32_t PqhGetPackedOIDSize(const void* packed);
/* Sets the handle's OID from a packed OID of `length` bytes. */
VMP_API int32_t PqhSetOidFromPackedData(uint32_t handle, const void* packed, uint32_t length);
/* Sets the handle's OID from text of `length` bytes (not necessarily terminated). */
VMP_API int32_t PqhSetOidFromBuffer(uint32_t handle, const char* text, uint32_t length);
/* The whole variable as a set-policy body; release it with PqhFreeMemory. */
VMP_API int32_t PqhCreatePolicySetPackage(uint32_t handle, void** body, uint32_t* length);
/* Several variables in one body (one transaction at the agent). */
VMP_API int32_t PqhCreatePolicyGroupSetPackage(const uint32_t* handles, uint32_t count,
                                               void** body, uint32_t* length);
VMP_API int32_t PqhFreeMemory(void* body);
/* Fills the variable (OID, type, value, restrictions) from a get-policy payload. */
VMP_API int32_t PqhUnpackPolicyGetPackage(uint32_t handle, const void* payload, uint32_t length);

#ifdef __cplusplus
}
#endif

#endif /* STANDINS_AGENT_API_CVPMAPI_H_ */
