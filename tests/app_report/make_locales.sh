#!/usr/bin/env bash
# Generates the locales the language tests run in (de_DE.UTF-8, fr_FR.UTF-8) into FOLDER, which
# those tests name in LOCPATH. Needs the `locales` package (its definitions in /usr/share/i18n);
# no root rights and no change to the system's own locales.
#
# Usage: make_locales.sh FOLDER
set -eu
folder=$1
mkdir -p "$folder"
for name in de_DE fr_FR; do
    if [ ! -s "$folder/$name.UTF-8/LC_COLLATE" ]; then
        if ! localedef -i "$name" -f UTF-8 "$folder/$name.UTF-8"; then
            echo "FAIL: cannot generate $name.UTF-8 (is the locales package installed?)" >&2
            exit 1
        fi
    fi
done
echo "locales ready in $folder"
