# Shared by scripts/sanitize-asan.sh, scripts/sanitize-tsan.sh and
# scripts/memcheck.sh; sourced, not run. Run from the repository root.
#
#   VENV    virtual environment with pytest and distributed (default .venv, made
#           if missing)
#   OUT     where reports and logs go (default build/sanitize)

VENV=${VENV:-.venv}
PY="$VENV/bin/python"
OUT=${OUT:-build/sanitize}

say() { printf '[%s] %s\n' "$(basename "$0")" "$*"; }

# Debian packages the module and the tests need, plus any given here.
ensure_packages() {
    scripts/install-deps.sh "$@"
}

ensure_venv() {
    test -x "$PY" || python3 -m venv "$VENV"
    PY="$(cd "$VENV/bin" && pwd)/python"
    "$PY" -c "import pytest, distributed" 2>/dev/null ||
        "$PY" -m pip install -q --disable-pip-version-check pytest distributed
}

# build_module SANITIZERS TARGET_DIR [BUILD_TYPE]: an instrumented build of
# the module (CORVANE_SANITIZE=SANITIZERS, empty for none) installed into
# TARGET_DIR (the package, TARGET_DIR/corvane/), built in
# build/<name of TARGET_DIR>-build. MODULE_SO is its compiled engine.
build_module() {
    sanitizers=$1
    target=$2
    build_type=${3:-Release}
    say "building the module (sanitizers: ${sanitizers:-none}, $build_type) into $target"
    CORVANE_SANITIZE="$sanitizers" "$PY" -m pip install -q --disable-pip-version-check \
        --upgrade --no-deps -C build-dir="build/$(basename "$target")-build" \
        -C cmake.build-type="$build_type" --target "$target" . 2>&1 |
        grep -v -e "is ignored: it is neither a file nor a directory" \
                -e "Target directory .* already exists" || true
    so=$(ls "$target"/corvane/_engine*.so 2>/dev/null | head -n 1)
    test -n "$so" || { say "no module was built in $target"; exit 2; }
    MODULE_SO=$so
}

# The runtime libraries a plain Python must load first to import an
# instrumented module. libstdc++ comes too: otherwise the sanitizer runtime
# cannot find the real __cxa_throw and aborts at the first C++ exception.
preload_for() {
    libs=""
    for lib in "$@" libstdc++.so; do
        libs="$libs $(gcc -print-file-name="$lib")"
    done
    echo "$libs" | sed 's/^ //'
}

# check_import DIR [PRELOAD]: the engine that Python imports (with PRELOAD
# preloaded) is the one in DIR.
check_import() {
    where=$(PYTHONPATH="$1${PYTHONPATH:+:$PYTHONPATH}" LD_PRELOAD="${2:-}" \
        ASAN_OPTIONS=detect_leaks=0 "$PY" -c \
        "import corvane; print(corvane._engine.__file__)")
    say "imported module: $where"
    case "$where" in
        "$(cd "$1" && pwd)"/*) ;;
        *) say "expected the module from $1"; exit 2 ;;
    esac
}

# Tools on PATH that start without the sanitizer runtime, so that only
# Python processes carry it (Chromium, for the player tests, does not start
# at all with it).
make_plain_tools() {
    dir=$1
    mkdir -p "$dir"
    for tool in ffmpeg ffprobe openssl gcc g++ cc c++ cmake valgrind chromium chromium-browser; do
        real=$(command -v "$tool" 2>/dev/null) || continue
        case "$real" in "$dir"/*) continue ;; esac
        printf '#!/bin/sh\nunset LD_PRELOAD\nexec %s "$@"\n' "$real" >"$dir/$tool"
        chmod +x "$dir/$tool"
    done
}

# The AddressSanitizer + UndefinedBehaviorSanitizer build of the module, in
# build/asan-mod, checked to be instrumented. With debugging information: a
# Release build is stripped, and its reports would name no line of the module.
prepare_asan_module() {
    ensure_packages build-essential
    ensure_venv
    build_module address,undefined build/asan-mod RelWithDebInfo
    ldd "$MODULE_SO" | grep -q libasan || { say "$MODULE_SO is not instrumented"; exit 2; }
}
