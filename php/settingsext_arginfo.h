/* This is a generated file, edit the .stub.php file instead.
 * Stub hash: 78453e09423f115511e8f331957bbb291ceb4168 */

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_products_is_vexmail_installed, 0, 0, IS_LONG, 0)
ZEND_END_ARG_INFO()

#define arginfo_products_is_vexsrv_installed arginfo_products_is_vexmail_installed

#define arginfo_products_is_pallsrv arginfo_products_is_vexmail_installed


ZEND_FUNCTION(products_is_vexmail_installed);
ZEND_FUNCTION(products_is_vexsrv_installed);
ZEND_FUNCTION(products_is_pallsrv);


static const zend_function_entry ext_functions[] = {
	ZEND_FE(products_is_vexmail_installed, arginfo_products_is_vexmail_installed)
	ZEND_FE(products_is_vexsrv_installed, arginfo_products_is_vexsrv_installed)
	ZEND_FE(products_is_pallsrv, arginfo_products_is_pallsrv)
	ZEND_FE_END
};
