#!/usr/bin/env bash
# Checks that the given .deb's Depends resolve against one Debian release's
# package lists for the package's architecture and, given DIR, makes a root
# of that release from exactly the packages that installing the .deb there
# would pull in. The machine's own apt sources are not touched: apt runs on a
# private configuration.
#   tests/board/debian-sysroot.sh RELEASE PACKAGE.deb [DIR]    (RELEASE: bookworm, trixie)
set -euo pipefail
release=$1 deb=$(realpath "$2") root=${3:-}
arch=$(dpkg-deb -f "$deb" Architecture)
mirror=$(cat /etc/apt/sources.list.d/debian.sources /etc/apt/sources.list 2>/dev/null \
         | sed -n 's/^URIs: *//p; s/^deb \(http[^ ]*debian\) .*/\1/p' | head -n 1 || true)
mirror=${mirror:-http://deb.debian.org/debian}

state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT
mkdir -p "$state/lists/partial" "$state/cache/archives/partial"
echo "deb [arch=$arch signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $release main" \
  >"$state/sources.list"
apt_private=(-o Dir::Etc::sourcelist="$state/sources.list" -o Dir::Etc::sourceparts=/nonexistent
             -o Dir::State::Lists="$state/lists" -o Dir::State::status=/dev/null
             -o Dir::Cache="$state/cache" -o APT::Architecture="$arch" -o APT::Architectures::="$arch"
             -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
apt-get "${apt_private[@]}" -qq update

# What installing the package on an empty system of that release brings in.
if ! plan=$(apt-get "${apt_private[@]}" -s -y --no-install-recommends install "$deb" 2>&1); then
  echo "$(basename "$deb") is not installable on $release:"; echo "$plan"; exit 1
fi
mapfile -t packages < <(awk '$1 == "Inst" {print $2}' <<<"$plan" | grep -vx "$(dpkg-deb -f "$deb" Package)")
echo "$release: $(basename "$deb") pulls in ${packages[*]}"
[ -n "$root" ] || exit 0

rm -rf "$root"
mkdir -p "$root"
(cd "$state/cache/archives" && apt-get "${apt_private[@]}" -qq download "${packages[@]/%/:$arch}")
for package in "$state"/cache/archives/*.deb; do dpkg-deb -x "$package" "$root"; done
# The tool's package itself goes in too, so the root is what the board has.
dpkg-deb -x "$deb" "$root"
# /bin, /sbin and /lib are links into /usr, as on every current Debian system:
# a program's loader (/lib/ld-linux-armhf.so.3, /lib/ld-linux-aarch64.so.1)
# must be found in the root.
for dir in bin sbin lib; do
  if [ -d "$root/$dir" ] && [ ! -L "$root/$dir" ]; then
    mkdir -p "$root/usr/$dir"
    cp -a "$root/$dir/." "$root/usr/$dir/"
    rm -rf "${root:?}/$dir"
  fi
  ln -sfn "usr/$dir" "$root/$dir"
done
