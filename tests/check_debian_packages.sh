#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Usage: check_debian_packages.sh [PACKAGE_DIR]
# Builds the Debian packages (`cmake --workflow --preset package`) unless
# PACKAGE_DIR already holds them, checks them with lintian and by their
# control files, installs them into this machine with apt-get, and then, with
# no environment variable but PATH and HOME: builds the consumer program with
# find_package, pkg-config and a plain compiler line and runs each, round-trips
# files and strings with the installed tav, and finds every function's manual
# page with man -w. Finally it purges the packages and checks that none of
# their files is left. Needs root; the packages are purged on every exit.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$(pwd)

fail() { echo "FAIL: $*" >&2; exit 1; }
# grep -q would stop reading early and, under pipefail, fail the writer.
has() { grep "$@" >/dev/null; }
[ "$(id -u)" -eq 0 ] || fail "installs packages: run as root"

packages=(libtavsdk1 libtavsdk-dev tav)
if [ $# -ge 1 ]; then
  package_dir=$(cd "$1" && pwd)
else
  rm -rf build-package/packages
  cmake --workflow --preset package
  package_dir=$source_dir/build-package/packages
fi
deb() { compgen -G "$package_dir/${1}_*.deb" | head -n 1; }
[ -n "$(deb libtavsdk1)" ] && [ -n "$(deb libtavsdk-dev)" ] || fail "no libtavsdk1 and libtavsdk-dev packages in $package_dir"
have_tav=0
[ -n "$(deb tav)" ] && have_tav=1
debs=()
for p in "${packages[@]}"; do
  [ -n "$(deb "$p")" ] && debs+=("$(deb "$p")")
done

tmp=$(mktemp -d)
installed() { dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null | has '^.i'; }
purge() {
  local present=()
  for p in "${packages[@]}"; do
    dpkg-query -W "$p" >/dev/null 2>&1 && present+=("$p")
  done
  [ ${#present[@]} -eq 0 ] || DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${present[@]}" >/dev/null
}
trap 'purge; rm -rf "$tmp"' EXIT
# Left by a run that was killed: the checks below need a machine without them.
for p in "${packages[@]}"; do
  ! dpkg-query -W "$p" >/dev/null 2>&1 || { echo "purging $p, left by an earlier run"; purge; break; }
done

echo "== lintian"
lintian --fail-on error "${debs[@]}" | tee "$tmp/lintian" || fail "lintian reports errors"
# The trigger runs ldconfig; a maintainer script must not call it as well.
! grep -q maintscript-calls-ldconfig "$tmp/lintian" || fail "a maintainer script calls ldconfig"

echo "== control files"
field() { dpkg-deb -f "$1" "$2"; }
runtime=$(deb libtavsdk1)
version=$(field "$runtime" Version)
upstream=${version%-*}
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
dpkg-deb -I "$runtime" triggers 2>/dev/null | grep -x 'activate-noawait ldconfig' >/dev/null ||
  fail "libtavsdk1 has no ldconfig trigger"
dpkg-deb -I "$runtime" shlibs 2>/dev/null | grep "^libtavsdk 1 libtavsdk1 " >/dev/null || fail "libtavsdk1 has no shlibs entry"
for f in "${debs[@]}"; do dpkg-deb -c "$f" > "$tmp/$(field "$f" Package).contents"; done
grep -q " \./usr/lib/$multiarch/libtavsdk\.so\.1 -> " "$tmp/libtavsdk1.contents" ||
  fail "libtavsdk1 has no libtavsdk.so.1 in /usr/lib/$multiarch"
for f in "${debs[@]}"; do
  p=$(field "$f" Package)
  [ "$(field "$f" Version)" = "$version" ] || fail "$p has version $(field "$f" Version), libtavsdk1 $version"
  grep -q " \./usr/share/doc/$p/copyright$" "$tmp/$p.contents" || fail "$p has no /usr/share/doc/$p/copyright"
  [ -n "$(field "$f" Maintainer)" ] && [ -n "$(field "$f" Description)" ] || fail "$p lacks a maintainer or a description"
  if [ "$p" != libtavsdk1 ]; then
    field "$f" Depends | tr ',' '\n' | has -x " *libtavsdk1 (= $version)" ||
      fail "$p does not depend on libtavsdk1 (= $version): $(field "$f" Depends)"
  fi
done
echo "ldconfig trigger, shlibs, multiarch library, copyright files and dependencies: ok"
# The fillers' generator: a library built with libcrypto makes its package
# depend on the package that holds libcrypto (dpkg-shlibdeps does).
dpkg-deb -x "$runtime" "$tmp/runtime"
crypto=$(readelf -d "$tmp/runtime/usr/lib/$multiarch/libtavsdk.so.1" |
  sed -n 's/.*(NEEDED).*\[\(libcrypto\.so[^]]*\)\]/\1/p')
if [ -n "$crypto" ]; then
  owner=$(dpkg -S "*/$crypto" | sed -n '1s/:.*//p')
  [ -n "$owner" ] || fail "no installed package holds $crypto"
  field "$runtime" Depends | tr ',' '\n' | has -E "^ *$owner( |\$)" ||
    fail "libtavsdk1 links $crypto but does not depend on $owner: $(field "$runtime" Depends)"
  echo "fillers from $crypto: libtavsdk1 depends on $owner"
else
  echo "fillers from getrandom: the library does not link libcrypto"
fi

echo "== install"
# What the maintainer scripts might create lies outside the packages' lists:
# everything below /usr and /etc is compared before and after.
snapshot() { find /usr /etc -xdev -path /etc/ld.so.cache -prune -o -print 2>/dev/null | sort; }
snapshot > "$tmp/before"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${debs[@]}" >/dev/null || fail "apt-get install failed"
for f in "${debs[@]}"; do
  p=$(field "$f" Package)
  installed "$p" || fail "$p is not installed"
  dpkg -L "$p" > "$tmp/$p.list"
done
# /lib may be /usr/lib (merged /usr): ldconfig names either.
ldconfig -p | has "libtavsdk\.so\.1 .* => \(/usr\)\?/lib/$multiarch/libtavsdk\.so\.1$" ||
  fail "the loader's cache does not list libtavsdk.so.1 after installation"

# Everything below runs as a user would, with no variable to help it.
clean() { env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME="$tmp" "$@"; }
no_search_path() {  # the program must find the library the way any program does
  ! readelf -d "$1" | grep -Eq '\((RPATH|RUNPATH)\)' || fail "$1 carries a library search path"
}
run_consumer() {
  local out
  no_search_path "$2"
  out=$(clean "$2") || fail "$1: the consumer failed"
  [ "$out" = "$upstream $upstream" ] || fail "$1: printed '$out', expected '$upstream $upstream'"
  echo "$1: ok"
}

echo "== consumers"
cp -R tests/consumer "$tmp/src"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)  # make may be missing where ninja is not
clean cmake "${generator[@]}" -S "$tmp/src" -B "$tmp/cmake-build" >"$tmp/cmake.log" 2>&1 &&
  clean cmake --build "$tmp/cmake-build" >>"$tmp/cmake.log" 2>&1 || { cat "$tmp/cmake.log"; fail "find_package: build failed"; }
run_consumer find_package "$tmp/cmake-build/consumer"
[ "$(clean pkg-config --modversion tavsdk)" = "$upstream" ] || fail "pkg-config does not report tavsdk $upstream"
clean sh -c 'cc $(pkg-config --cflags tavsdk) "$1" $(pkg-config --libs tavsdk) -o "$2"' sh \
  "$tmp/src/consumer.c" "$tmp/pc-consumer" || fail "pkg-config: build failed"
run_consumer pkg-config "$tmp/pc-consumer"
clean cc "$tmp/src/consumer.c" -ltavsdk -o "$tmp/cc-consumer" || fail "plain compiler line: build failed"
run_consumer "cc -ltavsdk" "$tmp/cc-consumer"

if [ $have_tav -eq 1 ]; then
  echo "== tav"
  tav=$(grep -m 1 '^/usr/bin/' "$tmp/tav.list") || fail "the tav package installs no program in /usr/bin"
  no_search_path "$tav"
  clean "$tav" --version | has "$upstream" || fail "$tav --version does not name $upstream"
  work=$tmp/tav && mkdir "$work" && cd "$work"
  printf 'package check\n' > passphrase
  head -c 300000 /dev/urandom > plain.bin
  printf 'Meet at noon\nbring the maps\n' > plain.txt
  for mode in "--binary plain.bin" "--text plain.txt" "--binary --expanded plain.bin" "--text --expanded plain.txt"; do
    set -- $mode
    file=${*: -1} opts=${*:1:$#-1}
    # shellcheck disable=SC2086
    clean "$tav" encrypt -q $opts --passphrase-file passphrase "$file" -o sealed &&
      clean "$tav" decrypt -q $opts --passphrase-file passphrase sealed -o opened || fail "tav $opts: failed"
    ! cmp -s "$file" sealed || fail "tav $opts: the encrypted file equals the plain one"
    cmp -s "$file" opened || fail "tav $opts: the round trip changed the file"
    rm -f sealed opened
  done
  sealed=$(clean "$tav" encrypt --string --text --passphrase-file passphrase 'Meet at noon') &&
    opened=$(printf '%s' "$sealed" | clean "$tav" decrypt --string --text --passphrase-file passphrase) ||
    fail "tav --string: failed"
  [ "$sealed" != 'Meet at noon' ] && [ "$opened" = 'Meet at noon' ] || fail "tav --string: no round trip"
  cd "$source_dir"
  echo "tav round trips (block, expanded, string): ok"
fi

echo "== manual pages"
names=$(sed -n 's/^TAVSDK_API[^(]*[^A-Za-z0-9_(]\([A-Za-z_][A-Za-z0-9_]*\)(.*/\1/p' /usr/include/tavsdk.h /usr/include/tavsdk_legacy.h)
[ -n "$names" ] || fail "no functions found in /usr/include/tavsdk.h"
count=0
for name in tavsdk $names; do
  page=$(clean man -w 3 "$name" 2>/dev/null) || fail "man -w 3 $name finds no page"
  case "$page" in /usr/share/man/man3/*) ;; *) fail "man -w 3 $name gives $page" ;; esac
  count=$((count + 1))
done
clean man 3 TavBinaryFileDec 2>/dev/null | has 'TavBinaryFileDec' || fail "man TavBinaryFileDec shows no page naming it"
for list in "$tmp"/*.list; do  # the tool's pages too, whatever their names
  for page in $(grep -E '^/usr/share/man/man[1-9]/[^/]+\.[1-9]\.gz$' "$list" | grep -v /man3/ || true); do
    name=$(basename "$page" .gz) section=${name##*.}
    [ "$(clean man -w "$section" "${name%.*}")" = "$page" ] || fail "man -w $section ${name%.*} does not find $page"
    count=$((count + 1))
  done
done
echo "man -w finds all $count pages"

echo "== purge"
purge
for p in "${packages[@]}"; do
  ! dpkg-query -W "$p" >/dev/null 2>&1 || fail "$p is still known to dpkg after the purge"
done
left=0
while read -r path; do
  if [ -d "$path" ] && [ ! -L "$path" ]; then
    # Directories stay only while another package owns them.
    dpkg-query -S "$path" >/dev/null 2>&1 || { echo "left behind: $path/"; left=1; }
  elif [ -e "$path" ] || [ -L "$path" ]; then
    echo "left behind: $path"
    left=1
  fi
done < <(cat "$tmp"/*.list | sort -u | grep -vx "/\.")
snapshot > "$tmp/after"
while read -r path; do
  echo "left behind: $path"
  left=1
done < <(comm -13 "$tmp/before" "$tmp/after")
[ $left -eq 0 ] || fail "files of the packages are left after the purge"
! ldconfig -p | has 'libtavsdk\.so\.1 ' || fail "the loader's cache still lists libtavsdk.so.1 after the purge"
echo "purged: no file left, libtavsdk.so.1 out of the loader's cache"
echo "Debian packages: all checks passed"
