// What the PHP shells of both function families share.
//
// Thread safety: each call works on the calling request's own state.
#ifndef PHP_SHELLS_H_
#define PHP_SHELLS_H_

namespace shells {

// Turns the pending exception (the parser's TypeError or ArgumentCountError, a refused
// argument value, or a failed string conversion) into a warning with the same message, so
// the page sees the function's -1. Messages that do not name the function (the engine's
// refusal of a typed property) get the function's name before them, as the module's own
// warnings have. Does nothing without a pending exception.
enum class Named { kByMessage, kByFunction };
void ExceptionToWarning(Named named = Named::kByMessage);

}  // namespace shells

#endif  // PHP_SHELLS_H_
