// libFuzzer target for what a directory server sends: the input is taken as the server's
// whole answer to a paged search (LDAP messages in BER: entries, references, the result and
// its paged results control) and read through the port's own reading, with its bounds; every
// value then goes through each conversion the port makes of values (strings, DNs, integers,
// octet strings such as GUIDs), every attribute name through the ";range=" parsing and
// slicing, every value through the reading of attribute type definitions, and the input as
// text through the DN canonical form.
//
// Thread safety: libFuzzer calls in from one thread.
#include <cstdint>
#include <string>

#include "platform/directory_client.h"
#include "platform/unicode.h"

// A connection made over a descriptor (ldap_init_fd, how the answer reaches libldap here)
// keeps what a broken answer left outstanding (its request, a message) past the unbind:
// allocations made inside libldap and liblber are not counted as leaks here (their stacks
// end in liblber, built without frame pointers). The port's own release of what libldap
// hands it is checked by the directory suites under the leak checker, over connections the
// port makes itself.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libldap-2.5.so\nleak:liblber-2.5.so\n";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  platform::ReadAnswerForTesting(data, size);
  platform::NormalizeDn(platform::Utf8ToUtf16(std::string(reinterpret_cast<const char*>(data), size)));
  return 0;
}
