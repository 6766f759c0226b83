#!/bin/sh
# Fetches a Debian source package with apt and unpacks it, patches applied,
# into DEST. apt runs on a private configuration under DEST's parent (one
# deb-src entry for the release this machine runs), so the machine's own
# package lists and settings stay as they are; the downloads are checked
# against the release's signed index as usual.
# Usage: fetch_debian_source.sh PACKAGE DEST
set -eu
package=$1
dest=$2
work="$dest.apt"
rm -rf "$work" "$dest"
mkdir -p "$work/etc/sources.list.d" "$work/etc/preferences.d" "$work/state/lists/partial" \
         "$work/cache/archives/partial" "$work/download"
touch "$work/state/status"

. /etc/os-release
# The mirror is the one this machine's own package sources name for its release.
mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
         awk -v suite="${VERSION_CODENAME:?}" '$1 == "deb" && $3 == suite { print $2; exit }')
if [ -z "$mirror" ]; then
  mirror=$(awk -v suite="$VERSION_CODENAME" '
      /^URIs:/ { uri = $2 }
      /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == suite && uri != "") { print uri; exit } }
    ' /etc/apt/sources.list.d/*.sources 2>/dev/null)
fi
if [ -z "$mirror" ]; then
  echo "no package source for $VERSION_CODENAME is configured on this machine" >&2
  exit 1
fi
echo "deb-src $mirror $VERSION_CODENAME main" > "$work/etc/sources.list"

apt_private() {
  apt-get -q -o Dir::Etc::SourceList="$work/etc/sources.list" \
    -o Dir::Etc::SourceParts="$work/etc/sources.list.d" \
    -o Dir::Etc::PreferencesParts="$work/etc/preferences.d" \
    -o Dir::State="$work/state" -o Dir::Cache="$work/cache" \
    -o Debug::NoLocking=1 -o APT::Sandbox::User=root "$@"
}
apt_private update
(cd "$work/download" && apt_private source --download-only "$package")

# Unpack the upstream tarball and apply the package's patches in order.
orig=$(ls "$work"/download/"${package}"_*.orig.tar.* | head -n 1)
debian=$(ls "$work"/download/"${package}"_*.debian.tar.* | head -n 1)
mkdir -p "$dest"
tar -xf "$orig" -C "$dest" --strip-components=1
tar -xf "$debian" -C "$dest"
if [ -f "$dest/debian/patches/series" ]; then
  grep -v '^#' "$dest/debian/patches/series" | while read -r patch _; do
    [ -n "$patch" ] && patch -s -p1 -d "$dest" < "$dest/debian/patches/$patch"
  done
fi
rm -rf "$work"
echo "unpacked $(basename "$orig") into $dest"
