#include "products/products.h"

#include <atomic>
#include <cstdio>

#include "platform/path.h"
#include "platform/registry.h"
#include "support/trace.h"

using support::TRACE_INFO;
using support::TraceEnabled;
using support::TraceOut;

namespace products {

namespace {

constexpr const char* kKtrKey = "SOFTWARE\\Veltmark\\Corvane\\KTR";
constexpr const char* kAntiVirusKey = "SOFTWARE\\Veltmark\\Corvane\\Anti-Virus\\";
constexpr const char* kInstallerKey = "SOFTWARE\\Veltmark\\Corvane\\Bastion Suite Installer";

// -1 until the first call that needs the verdict.
std::atomic<int32_t> g_vexmail_cache{-1};
std::atomic<int32_t> g_vexsrv_cache{-1};
std::atomic<int32_t> g_pall_cache{-1};

const char* TrueFalse(bool value) { return value ? "TRUE" : "FALSE"; }

// True when `key` can be opened and `value` read into a buffer of `size` bytes, whatever
// its type. The key is closed before returning.
bool ReadValue(const char* key, const char* value, void* data, uint32_t size) {
  platform::Hive& hive = platform::LocalMachine();
  platform::RegistryKey handle;
  if (hive.OpenKey(key, platform::kKeyQueryValue, &handle) != platform::kErrorSuccess) {
    return false;
  }
  uint32_t type = 0;
  const bool read = hive.QueryValue(handle, value, &type, data, &size) == platform::kErrorSuccess;
  handle.Close();
  return read;
}

bool IsValuePresent(const char* key, const char* value) {
  unsigned char data[platform::kMaxPath];
  return ReadValue(key, value, data, sizeof data);
}

bool ReadNumber(const char* key, const char* value, uint32_t* number) {
  uint32_t data = 0;
  if (!ReadValue(key, value, &data, sizeof data)) return false;
  *number = data;
  return true;
}

}  // namespace

bool IsServiceInstalled(const char* name) {
  char key[platform::kMaxPath];
  std::snprintf(key, sizeof key, "SYSTEM\\CurrentControlSet\\Services\\%s\\", name);
  const bool installed = IsValuePresent(key, "Start");
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0, "IsServiceInstalled(%s) returning %s\n", name, TrueFalse(installed));
  }
  return installed;
}

bool IsProductRegisteredInKTR(int number) {
  char key[platform::kMaxPath];
  std::snprintf(key, sizeof key, "SOFTWARE\\Veltmark\\Corvane\\KTR\\Products\\%d\\", number);
  const bool registered = IsValuePresent(key, "ProductName");
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0, "IsProductRegisteredInKTR(%i) returning %s\n", number,
             TrueFalse(registered));
  }
  return registered;
}

bool IsVEXSRVRegistered(int number) {
  uint32_t product_id = 0;
  const bool registered = ReadNumber(kAntiVirusKey, "ProductID", &product_id) &&
                          product_id == static_cast<uint32_t>(number);
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0, "IsVEXSRVRegistered(%i) returning %s\n", number,
             TrueFalse(registered));
  }
  return registered;
}

uint32_t GetLastInstalledKTRProduct() {
  uint32_t product = 0;
  if (!ReadNumber(kKtrKey, "LastInstalledProduct", &product)) product = 0;
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "GetLastInstalledKTRProduct returning %u\n", product);
  return product;
}

bool IsVEXMAILInstalled() {
  int32_t verdict = g_vexmail_cache.load(std::memory_order_relaxed);
  if (verdict < 0) {
    const bool registered = IsProductRegisteredInKTR(452) || IsProductRegisteredInKTR(454) ||
                            IsProductRegisteredInKTR(155);
    verdict = registered && (IsServiceInstalled("cvavvxmd") || IsServiceInstalled("cvavag4vxm"));
    g_vexmail_cache.store(verdict, std::memory_order_relaxed);
    if (TraceEnabled) {
      TraceOut("", TRACE_INFO, 0, "IsVEXMAILInstalled(). Putting new value into the cache: %d\n",
               verdict);
    }
  }
  return verdict > 0;
}

bool IsVEXSRVInstalled() {
  int32_t verdict = g_vexsrv_cache.load(std::memory_order_relaxed);
  if (verdict < 0) {
    bool appropriate = false;
    for (int number : {1001, 452, 1002, 454}) {
      if (IsProductRegisteredInKTR(number) && IsVEXSRVRegistered(number)) {
        appropriate = true;
        break;
      }
    }
    const bool wardline = IsServiceInstalled("Corvane Wardline");
    verdict = appropriate && wardline;
    g_vexsrv_cache.store(verdict, std::memory_order_relaxed);
    if (TraceEnabled) {
      TraceOut("", TRACE_INFO, 0,
               "IsVEXSRVInstalled(). appropriateProductInstalled: %d, wardlineInstalled: %d. "
               "Putting new value into the cache: %d\n",
               appropriate, wardline, verdict);
    }
  }
  return verdict > 0;
}

bool IsPALL4Servers() {
  int32_t verdict = g_pall_cache.load(std::memory_order_relaxed);
  if (verdict < 0) {
    uint32_t platform_value = 0;
    if (ReadNumber(kInstallerKey, "ManagementPlatform", &platform_value)) {
      // Kept as stored, negative numbers included: those make the next call look again.
      verdict = static_cast<int32_t>(platform_value);
      g_pall_cache.store(verdict, std::memory_order_relaxed);
    }
  }
  if (verdict < 0) {
    verdict = (IsProductRegisteredInKTR(1002) && IsVEXSRVRegistered(1002)) ||
              (IsProductRegisteredInKTR(454) && IsVEXSRVRegistered(454));
    g_pall_cache.store(verdict, std::memory_order_relaxed);
  }
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0, "IsPALL4Servers(). Putting new value into the cache: %d\n", verdict);
  }
  return verdict > 0;
}

void ForgetVerdicts() {
  for (std::atomic<int32_t>* cache : {&g_vexmail_cache, &g_vexsrv_cache, &g_pall_cache}) {
    cache->store(-1, std::memory_order_relaxed);
  }
}

}  // namespace products
