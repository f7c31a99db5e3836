#!/bin/sh
# Renders each manual page as man(1) does, with groff's warnings on; any
# warning fails (a broken request, a line that does not fit, a bad escape).
#
# Usage: man_check.sh PAGE...
# Exit 77 (skipped) when man is not installed (Debian: man-db).
set -u
command -v man >/dev/null 2>&1 || { echo "man not found (Debian package man-db): skipped"; exit 77; }
fail=0
for page in "$@"; do
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  rc=$?
  if [ "$rc" != 0 ] || [ -n "$warnings" ]; then
    echo "FAIL: $page (status $rc)"
    echo "$warnings"
    fail=1
  fi
  # The configured version must have replaced the placeholder.
  ! grep -q '@PROJECT_VERSION@' "$page" || { echo "FAIL: $page has no version"; fail=1; }
done
[ "$fail" = 0 ] && echo "all pages render without warnings: $*"
exit "$fail"
