#!/usr/bin/env bash
# Builds the Debian package build/package/zimlo_VERSION_ARCH.deb and checks it with lintian,
# desktop-file-validate and appstreamcli. CPack's DEB generator packs what the CMake install
# rules put under /usr, from the build tree the tests use, so nothing is compiled twice;
# dpkg-shlibdeps computes the library dependencies. The screenshots the AppStream metadata
# names are taken by the screenshot tests and copied to build/package/screenshots/ for
# publishing at the addresses the metadata gives.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${ZIMLO_BUILD_DIR:-$top/build}
# The changelog and release dates are those of the last commit.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$top" log -1 --format=%ct 2>/dev/null || date +%s)}
export SOURCE_DATE_EPOCH

"$top/scripts/setup.sh"
"$top/scripts/build.sh"

fail() {
  echo "package: $*" >&2
  exit 1
}

# Screenshots: every picture the metadata names must come from the tests, at the size it says.
metainfo="$build/packaging/io.github.zimlo.zimlo.metainfo.xml"
echo "package: taking the screenshots"
ctest --test-dir "$build" -R 'Screenshot' --output-on-failure --timeout 600 >/dev/null ||
  fail "the screenshot tests failed (run: cd $build && ctest -R Screenshot --output-on-failure)"
rm -rf "$build/package"
mkdir -p "$build/package/screenshots"
grep -o '<image [^>]*>[^<]*</image>' "$metainfo" | while read -r image; do
  name=$(sed -E 's|.*/([^/<]+)</image>|\1|' <<<"$image")
  size=$(sed -E 's|.*width="([0-9]+)" height="([0-9]+)".*|\1 x \2|' <<<"$image")
  [ -f "$build/screenshots/$name" ] || fail "no screenshot test writes $name"
  file "$build/screenshots/$name" | grep -q "PNG image data, $size," ||
    fail "$name is $(file -b "$build/screenshots/$name"), the metadata says $size"
  cp "$build/screenshots/$name" "$build/package/screenshots/"
done

echo "package: packing"
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/package/zimlo_*.deb)

echo "package: lintian"
status=0
tags=$(lintian -I --fail-on error "$deb" 2>&1) || status=$?
grep -v '^running with root privileges' <<<"$tags" || echo "(no tags)"
[ "$status" -eq 0 ] || fail "lintian reports errors"

tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
dpkg-deb -x "$deb" "$tree"
echo "package: desktop-file-validate"
desktop-file-validate "$tree/usr/share/applications/io.github.zimlo.zimlo.desktop" || fail "desktop entry is invalid"
# Named after the AppStream id, with an icon that scales.
[ -f "$tree/usr/share/icons/hicolor/scalable/apps/io.github.zimlo.zimlo.svg" ] ||
  fail "no scalable icon io.github.zimlo.zimlo.svg"
maintainer=$(dpkg-deb -f "$deb" Maintainer)
grep -qF "$maintainer" "$tree/usr/share/doc/zimlo/copyright" ||
  fail "the copyright file does not name the maintainer $maintainer"
echo "package: appstreamcli validate-tree"
# --no-net: the screenshots are published from build/package/screenshots after the build.
appstreamcli validate-tree --no-net --pedantic "$tree" || fail "AppStream metadata is invalid"

echo "package: $deb"
dpkg-deb -f "$deb" Package Version Depends Recommends Suggests
