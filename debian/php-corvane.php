mod debian/tmp/etc/php/8.2/mods-available/corvane.ini
