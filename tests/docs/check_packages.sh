#!/usr/bin/env bash
# Builds the packages with cpack from a build tree and checks what each holds and needs: the
# command line without Qt (for a rescue system), its man page compressed, its completion with
# bash-completion recommended; the window in a package of its own that needs the command line's;
# each with its copyright file.
# Usage: check_packages.sh BUILD_DIR
set -uo pipefail
build=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
if ! (cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1); then
  cat "$out/cpack.log"
  exit 1
fi
cli=$(ls "$out"/mdfrecover_*.deb 2>/dev/null)
gui=$(ls "$out"/mdfrecover-gui_*.deb 2>/dev/null)
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
[ -n "$cli" ] || { echo "FAIL: no mdfrecover package"; ls "$out"; exit 1; }
files=$(dpkg-deb -c "$cli")
depends=$(dpkg-deb -f "$cli" Depends)
grep -qi 'qt6' <<<"$depends" && fail "mdfrecover depends on Qt: $depends"
grep -q '/usr/bin/mdfrecover$' <<<"$files" || fail "mdfrecover holds no /usr/bin/mdfrecover"
grep -q 'mdfrecover-gui' <<<"$files" && fail "the window is in the command line's package"
grep -q '/usr/share/man/man1/mdfrecover.1.gz$' <<<"$files" || fail "no compressed man page"
grep -q '/usr/share/bash-completion/completions/mdfrecover$' <<<"$files" || fail "no completion"
grep -q '/usr/share/doc/mdfrecover/copyright$' <<<"$files" || fail "no copyright file"
[ "$(dpkg-deb -f "$cli" Recommends)" = bash-completion ] || fail "bash-completion not recommended"
man=$(dpkg-deb --fsys-tarfile "$cli" | tar -xO ./usr/share/man/man1/mdfrecover.1.gz | zcat)
grep -q '^\.SS rows' <<<"$man" || fail "the man page does not tell of every command (rows)"
if [ -n "$gui" ]; then
  grep -q '/usr/bin/mdfrecover-gui$' <<<"$(dpkg-deb -c "$gui")" || fail "no window in mdfrecover-gui"
  grep -q '/usr/share/doc/mdfrecover-gui/copyright$' <<<"$(dpkg-deb -c "$gui")" ||
    fail "no copyright file in mdfrecover-gui"
  gdepends=$(dpkg-deb -f "$gui" Depends)
  grep -q 'mdfrecover (= ' <<<"$gdepends" || fail "mdfrecover-gui does not need mdfrecover: $gdepends"
  grep -qi 'qt6' <<<"$gdepends" || fail "mdfrecover-gui does not name Qt: $gdepends"
fi
echo "$(basename "$cli") ${gui:+$(basename "$gui")}: $failures problems"
[ "$failures" -eq 0 ]
