#!/usr/bin/env bash
# check-packages.sh: checks the packages that `make package` and `make package-windows` left in
# build/packages, without installing them: each holds what it should, its program reports the
# project's version (the .zip's under Wine), the man page and the README.txt are in shape, and
# lintian finds no error in the .deb.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
  echo "check-packages.sh: $*" >&2
  exit 1
}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)
[ -n "$version" ] || fail "no project version in build/release (run make package)"
packages=build/packages
deb=$packages/farspeak_${version}_$(dpkg --print-architecture).deb
tarball=$packages/farspeak-$version-Linux.tar.gz
zip=$packages/farspeak-$version-win64.zip
for package in "$deb" "$tarball" "$zip"; do
  [ -f "$package" ] || fail "$package is missing"
done

wine_prefix=$PWD/build/mingw/wineprefix
work=$(mktemp -d)
cleanup() {
  WINEPREFIX=$wine_prefix wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The .deb: the program in /usr/bin, the man page gzipped where man looks for it.
[ "$(dpkg-deb -f "$deb" Package Version)" = "Package: farspeak
Version: $version" ] || fail "$deb has the wrong name or version"
dpkg-deb -x "$deb" "$work/deb"
reported=$("$work/deb/usr/bin/farspeak" --version)
[ "$reported" = "farspeak $version" ] || fail "the .deb's program says '$reported'"
man_page=$work/deb/usr/share/man/man1/farspeak.1.gz
[ -f "$man_page" ] || fail "the .deb has no man page"
gzip -dc "$man_page" | grep -q "^\.TH FARSPEAK 1 .*\"farspeak $version\"" ||
  fail "the man page has no title line for farspeak $version"
# The help fits a terminal of 80 columns, and the man page shows each of its examples (two spaces
# in, no double space) as it is, on a line of its own, so that it can be copied from the page.
# -P-cbou: plain text, without bold or underlining.
help=$("$work/deb/usr/bin/farspeak" --help)
[ "$(LC_ALL=C.UTF-8 wc -L <<<"$help")" -lt 80 ] || fail "the help has a line of 80 columns or more"
rendered=$(gzip -dc "$man_page" | groff -man -Tutf8 -P-cbou | sed 's/^ *//')
while IFS= read -r example; do
  grep -qxF -- "$example" <<<"$rendered" || fail "the man page does not show '$example' as it is"
done < <(grep '^  [^ ]' <<<"$help" | grep -v '[^ ]  ' | sed 's/^  //')
# So that a version raised in CMakeLists.txt is not shipped without its changelog entry.
latest=$(gzip -dc "$work/deb/usr/share/doc/farspeak/changelog.gz" | sed -n 1p)
[[ $latest == "farspeak ($version) "* ]] || fail "the changelog's latest entry is '$latest'"
# As a distribution checks a package: errors fail, warnings are only shown.
lintian --fail-on error "$deb" || fail "lintian finds errors in $deb"

# The .tar.gz: the same files under one folder.
listing=$(tar -tzf "$tarball")
for file in bin/farspeak share/man/man1/farspeak.1.gz share/doc/farspeak/copyright; do
  grep -qx "farspeak-$version-Linux/$file" <<<"$listing" || fail "$tarball has no $file"
done

# The .zip: farspeak.exe, README.txt and LICENSE.txt, whose every line ends in CR LF.
unzip -q "$zip" -d "$work/zip"
folder=$work/zip/farspeak-$version-win64
[ -f "$folder/farspeak.exe" ] || fail "$zip has no farspeak.exe"
for text in README.txt LICENSE.txt; do
  [ -f "$folder/$text" ] || fail "$zip has no $text"
  if grep -qv $'\r$' "$folder/$text"; then
    fail "$text has a line that does not end in CR LF"
  fi
done

# The .exe under Wine, as `make test-windows` runs it: a prefix inside the build folder, made
# before the program runs, and a server that is ended afterwards.
export WINEPREFIX=$wine_prefix WINEDEBUG=-all DISPLAY=
mkdir -p "$WINEPREFIX"
wineserver -p 2>/dev/null || true  # it fails when a server for this prefix already runs
wine wineboot -i >/dev/null 2>&1
reported=$(wine "$folder/farspeak.exe" --version | tr -d '\r')
[ "$reported" = "farspeak $version" ] || fail "the .zip's farspeak.exe says '$reported'"

echo "check-packages.sh: the packages of farspeak $version are in order"
