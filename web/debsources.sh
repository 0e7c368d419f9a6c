#!/bin/bash
# The libraries of the page's cue sheets and hashes, from Debian's own source
# packages: libcue (the version of the native libcue-dev), zlib (CRC32) and
# libmd (MD5, SHA-1). Nothing of them is kept in the repository.
#
#   debsources.sh fetch DIR   apt-get source each into DIR/src, checked
#   debsources.sh build DIR   builds them with Debian's emscripten into DIR
#
# fetch: apt checks every file it fetches against the signed Release files
# it trusts (never --allow-unauthenticated); then libcue's version must be
# the native libcue-dev's, and its patches must hold the fix for
# CVE-2023-43641. Prints one line saying why, and fails, when anything is
# missing. build: libcue's flex scanner and bison parser keep global state
# under yy* names; every such name is given the prefix cue_ as it is
# compiled, and the build fails if the archive still defines a yy* symbol,
# so nothing else linked into a module can meet them.
set -eu
mode=$1
dir=$(realpath -m "$2")
src=$dir/src

fail() {
    echo "$*" >&2
    exit 1
}

# The source package's unpacked folder, fetched at the first version of
# the list that apt can fetch.
fetch() {
    local pkg=$1
    shift
    local v
    for v in "$@"; do
        local up=${v#*:}
        up=${up%-*}
        if [ -d "$src/$pkg-$up" ] && [ -f "$src/$pkg-$up/.mavrin-version" ] &&
           [ "$(cat "$src/$pkg-$up/.mavrin-version")" = "$v" ]; then
            echo "$src/$pkg-$up"
            return 0
        fi
        rm -rf "${src:?}/$pkg-$up"
        if (cd "$src" && apt-get -q source --only-source "$pkg=$v") >"$src/$pkg.log" 2>&1; then
            echo "$v" >"$src/$pkg-$up/.mavrin-version"
            echo "$src/$pkg-$up"
            return 0
        fi
    done
    return 1
}

# Versions of a source package apt knows, newest first.
versions() {
    apt-cache showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -u -r -V
}

case $mode in
fetch)
    mkdir -p "$src"
    command -v apt-get >/dev/null || fail "apt-get is missing"
    command -v dpkg-source >/dev/null || fail "dpkg-source (dpkg-dev) is missing"
    for tool in flex bison; do
        command -v $tool >/dev/null || fail "$tool is missing"
    done
    cuever=$(dpkg-query -W -f '${Version}' libcue-dev 2>/dev/null) || fail "libcue-dev is not installed"
    [ -n "$(versions libcue)" ] || fail "apt knows no source package libcue (no deb-src entry)"
    cue=$(fetch libcue "$cuever") || fail "apt-get source libcue=$cuever failed (see $src/libcue.log)"
    top=$(dpkg-parsechangelog -l "$cue/debian/changelog" -S Version)
    [ "$top" = "$cuever" ] || fail "libcue's source is $top, the native libcue-dev $cuever"
    grep -qx 'CVE-2023-43641.patch' "$cue/debian/patches/series" ||
        fail "libcue $top lacks the fix for CVE-2023-43641"
    zver=$(dpkg-query -W -f '${Version}' zlib1g-dev 2>/dev/null || true)
    # The native zlib's version first; any other Debian knows will do for CRC32.
    # shellcheck disable=SC2046
    fetch zlib $zver $(versions zlib) >/dev/null || fail "apt-get source zlib failed (see $src/zlib.log)"
    # shellcheck disable=SC2046
    fetch libmd $(versions libmd) >/dev/null || fail "apt-get source libmd failed (see $src/libmd.log)"
    ;;
build)
    emcc=${EMCC:-emcc}
    emar=${EMAR:-emar}
    nm=${EMNM:-emnm}
    cue=$(ls -d "$src"/libcue-*/ | head -1)
    zlib=$(ls -d "$src"/zlib-*/ | head -1)
    md=$(ls -d "$src"/libmd-*/ | head -1)
    obj=$dir/obj
    rm -rf "$obj" "$dir/include"
    mkdir -p "$obj/cue" "$obj/z" "$obj/md" "$dir/include"
    cflags=(-O2 -w)

    # libcue, as its own CMakeLists builds it: the parser and scanner made by
    # bison and flex, every yy* name renamed.
    bison -o "$obj/cue/cue_parser.c" --defines="$obj/cue/cue_parser.h" "$cue/cue_parser.y"
    flex -o "$obj/cue/cue_scanner.c" "$cue/cue_scanner.l"
    cuebuild() {
        local c
        for c in cd.c cdtext.c rem.c time.c; do
            "$emcc" "${cflags[@]}" "$@" -I"$cue" -I"$obj/cue" -c "$cue/$c" -o "$obj/cue/${c%.c}.o"
        done
        for c in cue_parser.c cue_scanner.c; do
            "$emcc" "${cflags[@]}" "$@" -I"$cue" -I"$obj/cue" -c "$obj/cue/$c" -o "$obj/cue/${c%.c}.o"
        done
    }
    # Built once to learn the yy* symbols it defines or uses, then again
    # with each renamed (only symbols: yy* macros such as yyoverflow are
    # tested with #ifdef and must stay undefined).
    cuebuild
    renames=()
    for name in $("$nm" "$obj"/cue/*.o | awk 'NF >= 2 && $(NF-1) ~ /^[A-Z]$/ {print $NF}' | grep '^yy' | sort -u); do
        renames+=("-D$name=cue_$name")
    done
    cuebuild "${renames[@]}"
    rm -f "$dir/libcue.a"
    "$emar" rcs "$dir/libcue.a" "$obj"/cue/*.o
    if "$nm" "$dir/libcue.a" | awk 'NF >= 2 && $(NF-1) ~ /^[A-Z]$/ {print $NF}' | grep -q '^yy'; then
        fail "libcue.a still defines or uses global yy* symbols"
    fi
    cp "$cue/libcue.h" "$dir/include/"

    # zlib: what CRC32 needs (crc32.c and zutil.c, for its tables and types).
    for c in crc32.c zutil.c; do
        "$emcc" "${cflags[@]}" -I"$zlib" -c "$zlib/$c" -o "$obj/z/${c%.c}.o"
    done
    rm -f "$dir/libz.a"
    "$emar" rcs "$dir/libz.a" "$obj"/z/*.o
    cp "$zlib/zlib.h" "$zlib/zconf.h" "$dir/include/"

    # libmd: MD5 and SHA-1. Its configure knows no WebAssembly host; the only
    # setting the two need is the byte order, and WebAssembly is
    # little-endian (WORDS_BIGENDIAN left undefined).
    : >"$obj/md/config.h"
    for c in md5.c sha1.c; do
        "$emcc" "${cflags[@]}" -I"$obj/md" -I"$md/include" -c "$md/src/$c" -o "$obj/md/${c%.c}.o"
    done
    rm -f "$dir/libmd.a"
    "$emar" rcs "$dir/libmd.a" "$obj"/md/*.o
    cp "$md/include/md5.h" "$md/include/sha1.h" "$dir/include/"
    touch "$dir/built"
    ;;
*)
    fail "usage: debsources.sh fetch|build DIR"
    ;;
esac
