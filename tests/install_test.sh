#!/bin/sh
# Install into a scratch root and run the installed program and manual.
# Usage: install_test.sh BUILD SOURCE [PAGE], PAGE the manual page's
# installed name, quorvel.1 or, gzipped, quorvel.1.gz.
set -eu
build=$1
source=$2
name=${3:-quorvel.1}
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

DESTDIR="$root" cmake --install "$build" --prefix /opt/quorvel >/dev/null
bin="$root/opt/quorvel/bin/quorvel"
page="$root/opt/quorvel/share/man/man1/$name"
test -x "$bin"
test -f "$page"
# The page installed is the one in the sources, compressed or not.
case $name in
*.gz) gzip -dc "$page" ;;
*) cat "$page" ;;
esac | cmp - "$source/man/quorvel.1"

"$bin" "$source"/examples/*.log >"$root/merged"
"$build/quorvel" "$source"/examples/*.log | cmp - "$root/merged"
test "$(grep -c . "$root/merged")" -eq "$(cat "$source"/examples/*.log | grep -c .)"

if command -v man >/dev/null; then
	warnings=$(MANWIDTH=80 man -l "$page" 2>&1 >/dev/null)
	test -z "$warnings"
	MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q "EXIT STATUS"
else
	echo "no man here: the manual page was installed but not rendered"
fi
echo "installed and ran $bin"
