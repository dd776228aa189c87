// Text conversion between UTF-16 (the policy library's and the mail store's text) and
// UTF-8 (what PHP pages hold).
//
// Invalid input is never reported: an unpaired surrogate, or a byte sequence that is not
// UTF-8, becomes U+FFFD, one for each maximal ill-formed part, as the platform's converter
// does. Both functions write information lines to the trace, the converted text included
// unless a TraceSecretScope says it is secret.
//
// Thread safety: no shared state; safe from any thread.
#ifndef SUPPORT_TEXT_CONVERSION_H_
#define SUPPORT_TEXT_CONVERSION_H_

#include <string>
#include <string_view>

namespace support {

// While one lives on a thread with `secret` true, that thread's conversions trace the mask
// (kTraceMaskedValue) in place of the text they convert: the clear text of an enciphered
// setting passes through them and must not reach the log.
class TraceSecretScope {
 public:
  explicit TraceSecretScope(bool secret) : previous_(active_) { active_ = active_ || secret; }
  ~TraceSecretScope() { active_ = previous_; }
  TraceSecretScope(const TraceSecretScope&) = delete;
  TraceSecretScope& operator=(const TraceSecretScope&) = delete;

  static bool active() { return active_; }

 private:
  // Defined once, in the core library: a scope the shells open is the one the conversions
  // see.
  static constinit thread_local bool active_;
  const bool previous_;
};

// Converts the terminated UTF-16 `text` (null counts as empty) into `out`. False only when
// memory runs out; then `out` is empty and the caller reports the failure.
bool convertToUTF8(const char16_t* text, std::string* out);

// Converts the terminated UTF-8 `text` (null counts as empty) into `out`. False only when
// memory runs out.
bool convertToUnicode(const char* text, std::u16string* out);

}  // namespace support

#endif  // SUPPORT_TEXT_CONVERSION_H_
