// Installed product checks: which of the family's server products this machine carries,
// answered from the registry and cached until module shutdown.
//
// Thread safety: the probes keep no state. Each verdict cache is one atomic 32-bit value
// that moves once from -1 to its verdict; two threads computing it at once compute the
// same answer from the same registry, so either store may stand.
#ifndef PRODUCTS_PRODUCTS_H_
#define PRODUCTS_PRODUCTS_H_

#include <cstdint>

namespace products {

// Probes: read the registry anew at every call and write one trace line each.
bool IsServiceInstalled(const char* name);
bool IsProductRegisteredInKTR(int number);
bool IsVEXSRVRegistered(int number);
uint32_t GetLastInstalledKTRProduct();

// Cached verdicts: the mail-server product, the server anti-virus product and the
// hosted-service server product.
bool IsVEXMAILInstalled();
bool IsVEXSRVInstalled();
bool IsPALL4Servers();

// Forgets the cached verdicts, so the next check probes the registry again. Module shutdown
// calls it: a module started again in the same process (an embedding host, a test) finds
// the machine as it is then.
void ForgetVerdicts();

}  // namespace products

#endif  // PRODUCTS_PRODUCTS_H_
