#include "support/text_conversion.h"

#include <new>

#include "platform/unicode.h"
#include "support/trace.h"

namespace support {

namespace {

size_t Length(const char16_t* text) {
  size_t length = 0;
  if (text != nullptr) {
    while (text[length] != 0) ++length;
  }
  return length;
}

}  // namespace

constinit thread_local bool TraceSecretScope::active_ = false;

bool convertToUTF8(const char16_t* text, std::string* out) {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "%s", "convertToUTF8(2)\n");
  const std::u16string_view input(text != nullptr ? text : u"", Length(text));
  const size_t needed = platform::Utf8Size(input) + 1;
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "%d bytes needed\n", static_cast<int>(needed));
  out->clear();
  try {
    *out = platform::Utf16ToUtf8(input);
  } catch (const std::bad_alloc&) {
    if (TraceEnabled) {
      TraceOut("", TRACE_INFO, 0, "Could not allocated %d bytes\n", static_cast<int>(needed + 1));
    }
    return false;
  }
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0, "UTF8 string: '%s'\n",
             TraceSecretScope::active() ? kTraceMaskedValue : out->c_str());
  }
  return true;
}

bool convertToUnicode(const char* text, std::u16string* out) {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "%s", "convertToUnicode(2)\n");
  const std::string_view input(text != nullptr ? text : "");
  out->clear();
  try {
    // The exact count needs the conversion itself; the input's length bounds it.
    std::u16string converted = platform::Utf8ToUtf16(input);
    const size_t needed = converted.size() + 1;
    if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "%d bytes needed\n", static_cast<int>(needed));
    *out = std::move(converted);
  } catch (const std::bad_alloc&) {
    if (TraceEnabled) {
      TraceOut("", TRACE_INFO, 0, "Could not allocated %d bytes\n",
               static_cast<int>(2 * (input.size() + 1) + 2));
    }
    return false;
  }
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0, "%d bytes needed\n", static_cast<int>(out->size()));
    TraceOut("", TRACE_INFO, 0, "Unicode string: '%s'\n",
             TraceSecretScope::active() ? kTraceMaskedValue : platform::Utf16ToUtf8(*out).c_str());
  }
  return true;
}

}  // namespace support
