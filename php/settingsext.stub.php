<?php

/** @generate-function-entries */

function products_is_vexmail_installed(): int {}

function products_is_vexsrv_installed(): int {}

function products_is_pallsrv(): int {}
