#include "php/shells.h"

#include "php.h"
#include "zend_exceptions.h"

namespace shells {

void ExceptionToWarning(Named named) {
  zend_object* exception = EG(exception);
  if (exception == nullptr) return;
  zval holder;
  zval* message = zend_read_property_ex(zend_get_exception_base(exception), exception,
                                        ZSTR_KNOWN(ZEND_STR_MESSAGE), 1, &holder);
  zend_string* text = zval_get_string(message);
  zend_clear_exception();
  if (named == Named::kByFunction) {
    php_error_docref(nullptr, E_WARNING, "%s", ZSTR_VAL(text));
  } else {
    zend_error(E_WARNING, "%s", ZSTR_VAL(text));
  }
  zend_string_release(text);
}

}  // namespace shells
