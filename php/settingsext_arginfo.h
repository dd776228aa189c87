/* This is a generated file, edit the .stub.php file instead.
 * Stub hash: 9fc94b21338a9de78a996636d38466f18285054c */

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_settings_read_policy, 0, 0, IS_LONG, 0)
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_settings_are_changed, 0, 1, IS_LONG, 0)
	ZEND_ARG_TYPE_INFO(ZEND_SEND_PREFER_REF, changed, IS_MIXED, 0)
ZEND_END_ARG_INFO()

#define arginfo_settings_write_changed arginfo_settings_read_policy

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_settings_is_final, 0, 2, IS_LONG, 0)
	ZEND_ARG_TYPE_INFO(0, oid, IS_STRING, 0)
	ZEND_ARG_TYPE_INFO(0, isTable, IS_LONG, 0)
ZEND_END_ARG_INFO()

#define arginfo_settings_last_error arginfo_settings_read_policy

#define arginfo_settings_reset_last_error arginfo_settings_read_policy

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_settings_set_int, 0, 2, IS_LONG, 0)
	ZEND_ARG_TYPE_INFO(0, oid, IS_STRING, 0)
	ZEND_ARG_TYPE_INFO(0, value, IS_LONG, 0)
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_settings_get_int, 0, 2, IS_LONG, 0)
	ZEND_ARG_TYPE_INFO(0, oid, IS_STRING, 0)
	ZEND_ARG_TYPE_INFO(ZEND_SEND_PREFER_REF, value, IS_MIXED, 0)
ZEND_END_ARG_INFO()

#define arginfo_settings_get_default_int arginfo_settings_get_int

#define arginfo_settings_set_reg_int arginfo_settings_set_int

#define arginfo_settings_get_reg_int arginfo_settings_get_int

#define arginfo_settings_get_reg_default_int arginfo_settings_get_int

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_settings_set_reg_str, 0, 2, IS_LONG, 0)
	ZEND_ARG_TYPE_INFO(0, oid, IS_STRING, 0)
	ZEND_ARG_TYPE_INFO(0, value, IS_STRING, 0)
ZEND_END_ARG_INFO()

#define arginfo_settings_get_reg_str arginfo_settings_get_int

#define arginfo_settings_get_reg_default_str arginfo_settings_get_int

#define arginfo_settings_set_str arginfo_settings_set_reg_str

#define arginfo_settings_get_str arginfo_settings_get_int

#define arginfo_settings_get_default_str arginfo_settings_get_int

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_settings_set_table, 0, 2, IS_LONG, 0)
	ZEND_ARG_TYPE_INFO(0, oid, IS_STRING, 0)
	ZEND_ARG_TYPE_INFO(0, rows, IS_ARRAY, 1)
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_settings_get_table, 0, 2, IS_LONG, 0)
	ZEND_ARG_TYPE_INFO(0, oid, IS_STRING, 0)
	ZEND_ARG_TYPE_INFO(ZEND_SEND_PREFER_REF, rows, IS_ARRAY, 0)
ZEND_END_ARG_INFO()

#define arginfo_settings_get_default_table arginfo_settings_get_table

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_settings_set_query, 0, 3, IS_LONG, 0)
	ZEND_ARG_TYPE_INFO(0, tag, IS_STRING, 0)
	ZEND_ARG_TYPE_INFO(0, id, IS_STRING, 0)
	ZEND_ARG_TYPE_INFO(0, values, IS_ARRAY, 0)
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_settings_get_query, 0, 3, IS_LONG, 0)
	ZEND_ARG_TYPE_INFO(0, tag, IS_STRING, 0)
	ZEND_ARG_TYPE_INFO(0, id, IS_STRING, 0)
	ZEND_ARG_TYPE_INFO(ZEND_SEND_PREFER_REF, result, IS_ARRAY, 0)
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_settings_free_query, 0, 1, IS_LONG, 0)
	ZEND_ARG_TYPE_INFO(0, tag, IS_STRING, 0)
ZEND_END_ARG_INFO()

#define arginfo_products_is_vexmail_installed arginfo_settings_read_policy

#define arginfo_products_is_vexsrv_installed arginfo_settings_read_policy

#define arginfo_products_is_pallsrv arginfo_settings_read_policy

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_vxm_read_mailboxes, 0, 2, IS_LONG, 0)
	ZEND_ARG_TYPE_INFO(ZEND_SEND_PREFER_REF, rows, IS_MIXED, 0)
	ZEND_ARG_TYPE_INFO(0, refresh, _IS_BOOL, 0)
ZEND_END_ARG_INFO()

#define arginfo_vxm_read_public_folders arginfo_vxm_read_mailboxes


ZEND_FUNCTION(settings_read_policy);
ZEND_FUNCTION(settings_are_changed);
ZEND_FUNCTION(settings_write_changed);
ZEND_FUNCTION(settings_is_final);
ZEND_FUNCTION(settings_last_error);
ZEND_FUNCTION(settings_reset_last_error);
ZEND_FUNCTION(settings_set_int);
ZEND_FUNCTION(settings_get_int);
ZEND_FUNCTION(settings_get_default_int);
ZEND_FUNCTION(settings_set_reg_int);
ZEND_FUNCTION(settings_get_reg_int);
ZEND_FUNCTION(settings_get_reg_default_int);
ZEND_FUNCTION(settings_set_reg_str);
ZEND_FUNCTION(settings_get_reg_str);
ZEND_FUNCTION(settings_get_reg_default_str);
ZEND_FUNCTION(settings_set_str);
ZEND_FUNCTION(settings_get_str);
ZEND_FUNCTION(settings_get_default_str);
ZEND_FUNCTION(settings_set_table);
ZEND_FUNCTION(settings_get_table);
ZEND_FUNCTION(settings_get_default_table);
ZEND_FUNCTION(settings_set_query);
ZEND_FUNCTION(settings_get_query);
ZEND_FUNCTION(settings_free_query);
ZEND_FUNCTION(products_is_vexmail_installed);
ZEND_FUNCTION(products_is_vexsrv_installed);
ZEND_FUNCTION(products_is_pallsrv);
ZEND_FUNCTION(vxm_read_mailboxes);
ZEND_FUNCTION(vxm_read_public_folders);


static const zend_function_entry ext_functions[] = {
	ZEND_FE(settings_read_policy, arginfo_settings_read_policy)
	ZEND_FE(settings_are_changed, arginfo_settings_are_changed)
	ZEND_FE(settings_write_changed, arginfo_settings_write_changed)
	ZEND_FE(settings_is_final, arginfo_settings_is_final)
	ZEND_FE(settings_last_error, arginfo_settings_last_error)
	ZEND_FE(settings_reset_last_error, arginfo_settings_reset_last_error)
	ZEND_FE(settings_set_int, arginfo_settings_set_int)
	ZEND_FE(settings_get_int, arginfo_settings_get_int)
	ZEND_FE(settings_get_default_int, arginfo_settings_get_default_int)
	ZEND_FE(settings_set_reg_int, arginfo_settings_set_reg_int)
	ZEND_FE(settings_get_reg_int, arginfo_settings_get_reg_int)
	ZEND_FE(settings_get_reg_default_int, arginfo_settings_get_reg_default_int)
	ZEND_FE(settings_set_reg_str, arginfo_settings_set_reg_str)
	ZEND_FE(settings_get_reg_str, arginfo_settings_get_reg_str)
	ZEND_FE(settings_get_reg_default_str, arginfo_settings_get_reg_default_str)
	ZEND_FE(settings_set_str, arginfo_settings_set_str)
	ZEND_FE(settings_get_str, arginfo_settings_get_str)
	ZEND_FE(settings_get_default_str, arginfo_settings_get_default_str)
	ZEND_FE(settings_set_table, arginfo_settings_set_table)
	ZEND_FE(settings_get_table, arginfo_settings_get_table)
	ZEND_FE(settings_get_default_table, arginfo_settings_get_default_table)
	ZEND_FE(settings_set_query, arginfo_settings_set_query)
	ZEND_FE(settings_get_query, arginfo_settings_get_query)
	ZEND_FE(settings_free_query, arginfo_settings_free_query)
	ZEND_FE(products_is_vexmail_installed, arginfo_products_is_vexmail_installed)
	ZEND_FE(products_is_vexsrv_installed, arginfo_products_is_vexsrv_installed)
	ZEND_FE(products_is_pallsrv, arginfo_products_is_pallsrv)
	ZEND_FE(vxm_read_mailboxes, arginfo_vxm_read_mailboxes)
	ZEND_FE(vxm_read_public_folders, arginfo_vxm_read_public_folders)
	ZEND_FE_END
};
