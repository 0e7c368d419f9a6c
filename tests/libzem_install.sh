#!/bin/sh
# libzem as a user gets it: installed into a scratch prefix, a C program
# that includes only zem.h and the manual page's example program built
# through pkg-config, each reading the example patch's view as Mavrin
# leaves the example image.
# Usage: libzem_install.sh BUILDDIR SOURCEDIR MAVRIN [CFLAGS...]
set -eu
build=$1 src=$2 mavrin=$3
shift 3
extra=$*   # compiler flags (the sanitizers'), empty ones dropped
command -v pkg-config >/dev/null || { echo "pkg-config missing: skipped"; exit 77; }
command -v cc >/dev/null || { echo "cc missing: skipped"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cmake --install "$build" --prefix "$dir/prefix" >/dev/null
export PKG_CONFIG_PATH="$(dirname "$(find "$dir/prefix" -name zem.pc)")"
test -f "$dir/prefix/share/man/man3/zem_view.3.gz"
flags=$(pkg-config --cflags --libs zem)
libdir=$(pkg-config --variable=libdir zem)
test -L "$libdir/libzem.so" && test -f "$libdir/libzem.a"
objdump -p "$libdir/libzem.so.1" | grep -q 'SONAME *libzem.so.1'

# The example program, as the page prints it.
sed -n '/^\.SH EXAMPLE/,/^\.EE/p' "$src/doc/zem_view.3" | sed -n '/^\.EX/,/^\.EE/p' |
    sed '1d;$d' | sed 's/\\e/\\/g; s/\\-/-/g' >"$dir/example.c"
cc -std=c99 -Wall -Wextra -Werror $extra "$src/tests/view_c.c" -o "$dir/view_c" $flags
cc -std=c99 -Wall -Wextra -Werror $extra "$dir/example.c" -o "$dir/example" $flags

cp "$src/example/example.bin" "$dir/image.bin"
cp "$src/example/example.bin" "$dir/patched.bin"
"$mavrin" "$dir/patched.bin" "$src/example/example.zem" </dev/null >/dev/null
cmp -s "$dir/image.bin" "$dir/patched.bin" && { echo "the example patch changes nothing"; exit 1; }
export LD_LIBRARY_PATH="$libdir"
"$dir/view_c" "$dir/image.bin" "$src/example/example.zem" "$dir/patched.bin"
"$dir/example" "$dir/image.bin" "$src/example/example.zem" >"$dir/out.bin"
cmp "$dir/out.bin" "$dir/patched.bin"
cmp -s "$src/example/example.bin" "$dir/image.bin"
echo "libzem installed, built against and read: as Mavrin leaves the image"
