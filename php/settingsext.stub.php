<?php

/** @generate-function-entries */

function settings_read_policy(): int {}

/** @prefer-ref $changed */
function settings_are_changed(mixed &$changed): int {}

function settings_write_changed(): int {}

function settings_is_final(string $oid, int $isTable): int {}

function settings_last_error(): int {}

function settings_reset_last_error(): int {}

function settings_set_int(string $oid, int $value): int {}

/** @prefer-ref $value */
function settings_get_int(string $oid, mixed &$value): int {}

/** @prefer-ref $value */
function settings_get_default_int(string $oid, mixed &$value): int {}

function settings_set_reg_int(string $oid, int $value): int {}

/** @prefer-ref $value */
function settings_get_reg_int(string $oid, mixed &$value): int {}

/** @prefer-ref $value */
function settings_get_reg_default_int(string $oid, mixed &$value): int {}

function settings_set_reg_str(string $oid, string $value): int {}

/** @prefer-ref $value */
function settings_get_reg_str(string $oid, mixed &$value): int {}

/** @prefer-ref $value */
function settings_get_reg_default_str(string $oid, mixed &$value): int {}

function settings_set_str(string $oid, string $value): int {}

/** @prefer-ref $value */
function settings_get_str(string $oid, mixed &$value): int {}

/** @prefer-ref $value */
function settings_get_default_str(string $oid, mixed &$value): int {}

function settings_set_table(string $oid, ?array $rows): int {}

/** @prefer-ref $rows */
function settings_get_table(string $oid, array &$rows): int {}

/** @prefer-ref $rows */
function settings_get_default_table(string $oid, array &$rows): int {}

function settings_set_query(string $tag, string $id, array $values): int {}

/** @prefer-ref $result */
function settings_get_query(string $tag, string $id, array &$result): int {}

function settings_free_query(string $tag): int {}

function products_is_vexmail_installed(): int {}

function products_is_vexsrv_installed(): int {}

function products_is_pallsrv(): int {}

/** @prefer-ref $rows */
function vxm_read_mailboxes(mixed &$rows, bool $refresh): int {}

/** @prefer-ref $rows */
function vxm_read_public_folders(mixed &$rows, bool $refresh): int {}
