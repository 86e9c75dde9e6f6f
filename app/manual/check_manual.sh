#!/bin/sh
# Checks the built manual page: readable UTF-8, self-contained (the help button must work with no
# network), every in-page link has its target, and it names the window's controls by the texts
# the window shows.
# Usage: check_manual.sh PATH/Pendrel.htm
set -u
page=$1
fail=0
bad() { echo "FAIL: $*"; fail=1; }

[ -f "$page" ] || { echo "FAIL: no manual page at $page"; exit 1; }
iconv -f UTF-8 -t UTF-8 "$page" >/dev/null 2>&1 || bad "not valid UTF-8"
grep -qi '<meta charset="utf-8">' "$page" || bad "no UTF-8 charset declaration"
grep -q '<html lang="ja">' "$page" || bad "not marked as Japanese"

# Nothing may be fetched from elsewhere: no scripts, pictures, style sheets or outside links.
for pattern in 'src=' '<link' '@import' 'url(' '<script' 'href="[^#]' "href='"; do
  if grep -qi -- "$pattern" "$page"; then bad "refers to an outside resource ($pattern)"; fi
done

# Every in-page link lands on an id.
for target in $(grep -o 'href="#[^"]*"' "$page" | sed 's/^href="#//; s/"$//' | sort -u); do
  grep -q "id=\"$target\"" "$page" || bad "link to #$target has no target"
done

# Sections the program's own notices send the user to.
for target in carrier trouble; do
  grep -q "id=\"$target\"" "$page" || bad "no section with id \"$target\" for the program's notices"
done

for text in '送信' '送信中' '現在の時刻' '送信する時刻' 'On' 'Off' '＋' '－' '？' \
            'pendrel-make-sounds --carrier 60' 'pendrel-make-sounds --carrier 40' \
            '200ms.wav' 'setting.ini' 'Bluetooth' 'HDMI' 'USB' '強制受信' \
            '時計が合わないとき' 'pendrel-check'; do
  grep -qF -- "$text" "$page" || bad "does not mention \"$text\""
done

[ $fail -eq 0 ] && echo "manual page OK"
exit $fail
