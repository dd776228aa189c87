// The PHP extension "Corvane Tidewall extension": the module entry, the lifecycle
// callbacks and the product checks. The settings functions are in settings_functions.cc;
// the function table (settingsext_arginfo.h, generated from the stub) names them all.
//
// Thread safety: the module keeps no per-thread globals; every shell calls into core
// code that is safe from any thread. No core lock or owning object is held while a zval
// is built or a warning raised (a PHP fatal error unwinds without C++ destructors).
#include "php.h"
#include "ext/standard/info.h"

#include "module/lifecycle.h"
#include "products/products.h"
#include "support/trace.h"
#include "php/settingsext_arginfo.h"

using support::TRACE_INFO;
using support::TraceEnabled;
using support::TraceOut;

namespace {

constexpr const char* kModuleName = "Corvane Tidewall extension";

PHP_MINIT_FUNCTION(settingsext) {
  module::Minit();
  return SUCCESS;
}

PHP_MSHUTDOWN_FUNCTION(settingsext) {
  module::Mshutdown();
  return SUCCESS;
}

PHP_RINIT_FUNCTION(settingsext) {
  module::Rinit();
  return SUCCESS;
}

PHP_RSHUTDOWN_FUNCTION(settingsext) {
  module::Rshutdown();
  return SUCCESS;
}

PHP_MINFO_FUNCTION(settingsext) {
  module::Minfo();
  char address[40];
  module::FormatSessionViewAddress(address, sizeof address);
  php_info_print_table_start();
  php_info_print_table_row(2, kModuleName, "enabled");
  php_info_print_table_row(2, "$cvma_session4php mapped at address", address);
  php_info_print_table_end();
}

}  // namespace

ZEND_FUNCTION(products_is_vexmail_installed) {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "products_is_vexmail_installed()\n");
  RETURN_LONG(products::IsVEXMAILInstalled() ? 1 : 0);
}

ZEND_FUNCTION(products_is_vexsrv_installed) {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "products_is_vexsrv_installed()\n");
  RETURN_LONG(products::IsVEXSRVInstalled() ? 1 : 0);
}

ZEND_FUNCTION(products_is_pallsrv) {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "products_is_pallsrv()\n");
  RETURN_LONG(products::IsPALL4Servers() ? 1 : 0);
}

zend_module_entry settingsext_module_entry = {
    STANDARD_MODULE_HEADER,
    kModuleName,
    ext_functions,
    PHP_MINIT(settingsext),
    PHP_MSHUTDOWN(settingsext),
    PHP_RINIT(settingsext),
    PHP_RSHUTDOWN(settingsext),
    PHP_MINFO(settingsext),
    nullptr,  // no version
    STANDARD_MODULE_PROPERTIES,
};

ZEND_GET_MODULE(settingsext)
