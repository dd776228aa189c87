# Writes the installed configuration for the prefix of this install (run by cmake --install;
# deploy/CMakeLists.txt sets the CV_ variables). With the prefix /usr the configuration
# goes to /etc, the machine root is /var/lib/corvane and sockets live in /run; with any
# other prefix P they are P/etc, P/var/lib/corvane and P/run. The console's nginx answers
# the name CV_SERVER_NAME (the build's CV_CONSOLE_SERVER_NAME). file(INSTALL) honours DESTDIR.
string(REGEX REPLACE "(.)/+$" "\\1" prefix "${CMAKE_INSTALL_PREFIX}")
if(prefix STREQUAL "/usr")
  set(sysconfdir /etc)
  set(CV_ROOT /var/lib/corvane)
  set(statedir /var/lib)
  set(runstatedir /run)
  set(logdir /var/log)
  # The extensions are in PHP's own extension folder.
  set(CV_CVWWWUI cvwwwui.so)
  set(CV_SETTINGSEXT settingsext.so)
else()
  set(sysconfdir ${prefix}/etc)
  set(CV_ROOT ${prefix}/var/lib/corvane)
  set(statedir ${prefix}/var/lib)
  set(runstatedir ${prefix}/run)
  set(logdir ${prefix}/var/log)
  set(CV_CVWWWUI ${prefix}/${CV_PHP_EXTENSION_DIR}/cvwwwui.so)
  set(CV_SETTINGSEXT ${prefix}/${CV_PHP_EXTENSION_DIR}/settingsext.so)
endif()
set(CV_SBIN_DIR ${prefix}/${CV_SBINDIR})
set(CV_CONSOLE_DIR ${prefix}/${CV_SHAREDIR}/console)
set(CV_CONSOLE_ETC ${sysconfdir}/corvane)
set(CV_CONSOLE_RUN_DIR ${runstatedir}/corvane-console)
set(CV_CONSOLE_LOG_DIR ${logdir}/corvane-console)
set(CV_CONSOLE_SESSIONS ${statedir}/corvane-console/sessions)
set(CV_CONSOLE_ACCOUNTS ${CV_CONSOLE_ETC}/console-accounts)
set(CV_FPM_SOCKET ${CV_CONSOLE_RUN_DIR}/console.sock)
set(CV_WEB_RUN_DIR ${runstatedir}/corvane-web)
set(CV_WEB_LOG_DIR ${logdir}/corvane-web)
# Debian's PHP-FPM program and its php.ini: the console's PHP-FPM is another instance of it.
set(CV_PHP_FPM /usr/sbin/php-fpm${CV_PHP_VERSION})
set(CV_PHP_INI /etc/php/${CV_PHP_VERSION}/fpm/php.ini)
set(php_etc ${sysconfdir}/php/${CV_PHP_VERSION})
set(php_debian_mods /etc/php/${CV_PHP_VERSION}/mods-available)
file(REMOVE_RECURSE "${CV_RENDER_DIR}")

# Renders deploy/TEMPLATE into the folder DESTINATION as NAME. A macro: file(INSTALL) adds
# what it installs to the install manifest, a variable a function would keep to itself.
macro(cv_install_rendered template destination name)
  configure_file("${CV_SOURCE_DIR}/deploy/${template}" "${CV_RENDER_DIR}/${name}" @ONLY)
  file(INSTALL "${CV_RENDER_DIR}/${name}" DESTINATION "${destination}")
endmacro()

# The console's pages: whichever the examples folder holds, and the part they share
# (include/, which the site never serves). Whatever lies in this folder runs in the console's
# worker, so it is the installer's and no other account may write it, whatever the umask.
file(GLOB pages "${CV_SOURCE_DIR}/examples/*.php")
set(read_only OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
set(folder OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(MAKE_DIRECTORY "$ENV{DESTDIR}${CV_CONSOLE_DIR}")
file(CHMOD "$ENV{DESTDIR}${CV_CONSOLE_DIR}" PERMISSIONS ${folder})
file(INSTALL ${pages} DESTINATION "${CV_CONSOLE_DIR}" FILE_PERMISSIONS ${read_only})
file(INSTALL "${CV_SOURCE_DIR}/examples/include" DESTINATION "${CV_CONSOLE_DIR}"
     FILE_PERMISSIONS ${read_only} DIRECTORY_PERMISSIONS ${folder})

# PHP: both extensions (Debian's mods-available, so phpenmod can enable them elsewhere),
# enabled only in the console's own PHP-FPM: its scan folder links to them, its master
# configuration includes its pool, and its unit runs it as the console's own account.
cv_install_rendered(corvane.ini.in "${php_etc}/mods-available" corvane.ini)
file(RELATIVE_PATH ini_link "${CV_CONSOLE_ETC}/php/conf.d" "${php_etc}/mods-available/corvane.ini")
file(CREATE_LINK "${ini_link}" "${CV_RENDER_DIR}/20-corvane.ini" SYMBOLIC)
file(INSTALL "${CV_RENDER_DIR}/20-corvane.ini" DESTINATION "${CV_CONSOLE_ETC}/php/conf.d")
# Debian's posix, which the pages ask for the account they run as: its fallback, reading
# /proc/self/status, lies outside the pool's open_basedir.
file(CREATE_LINK "${php_debian_mods}/posix.ini" "${CV_RENDER_DIR}/10-posix.ini" SYMBOLIC)
file(INSTALL "${CV_RENDER_DIR}/10-posix.ini" DESTINATION "${CV_CONSOLE_ETC}/php/conf.d")
cv_install_rendered(corvane-console-fpm.conf.in "${CV_CONSOLE_ETC}" php-fpm.conf)
cv_install_rendered(corvane-console.conf.in "${CV_CONSOLE_ETC}/php-fpm.d" console.conf)
cv_install_rendered(corvane-console.service.in "${prefix}/lib/systemd/system" corvane-console.service)

# The console's own nginx: its main configuration beside the console's other files, and its
# unit, which runs it as corvane-web.
cv_install_rendered(corvane-web.nginx.conf.in "${CV_CONSOLE_ETC}" nginx.conf)
cv_install_rendered(corvane-web.service.in "${prefix}/lib/systemd/system" corvane-web.service)

# The servers' units.
set(CV_SERVER cvmad)
set(CV_SERVER_DESCRIPTION "Corvane management agent (policy variables)")
cv_install_rendered(corvane-server.service.in "${prefix}/lib/systemd/system" cvmad.service)
set(CV_SERVER cvstorage)
set(CV_SERVER_DESCRIPTION "Corvane storage server (mailboxes and public folders)")
cv_install_rendered(corvane-server.service.in "${prefix}/lib/systemd/system" cvstorage.service)

# The trace's rotation, for logrotate (Debian's daily run reads this folder).
cv_install_rendered(corvane.logrotate.in "${sysconfdir}/logrotate.d" corvane)

# corvane-seed with the installed paths and account as its defaults.
file(READ "${CV_SOURCE_DIR}/scripts/corvane-seed" seed)
set(defaults "bin=\"${prefix}/${CV_BINDIR}\" lib=\"${prefix}/${CV_PRIVATE_LIBDIR}\"")
string(APPEND defaults " share=\"${prefix}/${CV_SHAREDIR}\"")
string(APPEND defaults " policy_seed=\"${prefix}/${CV_LIBEXECDIR}/settings_policy_seed\"")
string(APPEND defaults " default_root=\"${CV_ROOT}\" user=corvane group=corvane")
string(REGEX REPLACE "(# BEGIN installed defaults\n)[^\n]*\n" "\\1${defaults}\n" seed "${seed}")
file(WRITE "${CV_RENDER_DIR}/corvane-seed" "${seed}")
file(INSTALL "${CV_RENDER_DIR}/corvane-seed" DESTINATION "${CV_SBIN_DIR}"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                      WORLD_READ WORLD_EXECUTE)

# corvane-console-account with the installed accounts file and the installed pages' shared
# part (the accounts file's rules) as its defaults.
file(READ "${CV_SOURCE_DIR}/scripts/corvane-console-account" tool)
set(defaults "$default_file = '${CV_CONSOLE_ETC}/console-accounts'; $include = '${CV_CONSOLE_DIR}/include';")
string(REGEX REPLACE "(// BEGIN installed defaults\n)[^\n]*\n" "\\1${defaults}\n" tool "${tool}")
file(WRITE "${CV_RENDER_DIR}/corvane-console-account" "${tool}")
file(INSTALL "${CV_RENDER_DIR}/corvane-console-account" DESTINATION "${CV_SBIN_DIR}"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                      WORLD_READ WORLD_EXECUTE)
