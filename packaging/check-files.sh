#!/usr/bin/env bash
# Checks the files of the installation with the desktop's own validators: manual pages (also
# compressed), the menu entry, the AppStream metadata and the icon. Fails on any complaint.
set -uo pipefail
failed=0
complain() {
    echo "$1:" >&2
    echo "$2" >&2
    failed=1
}
for file in "$@"; do
    case "$file" in
        *.1 | *.1.gz)
            # Rendered in the C locale with UTF-8 input, as man-db does for a user; any groff
            # warning (unknown macro, bad escape, line too long to break) is a fault.
            out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$file" 2>&1 >/dev/null) ||
                complain "$file" "man failed: $out"
            [ -n "$out" ] && complain "$file" "$out"
            ;;
        *.desktop)
            out=$(desktop-file-validate "$file" 2>&1) || complain "$file" "$out"
            [ -n "$out" ] && complain "$file" "$out"
            ;;
        *.metainfo.xml)
            out=$(appstreamcli validate --no-net --pedantic "$file" 2>&1) || complain "$file" "$out"
            ;;
        *.svg)
            out=$(xmllint --noout "$file" 2>&1) || complain "$file" "$out"
            ;;
        *)
            complain "$file" "no check for this kind of file"
            ;;
    esac
done
exit $failed
