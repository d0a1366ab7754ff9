# Shared by the scripts in this folder. Sourced, not run.
VANTOR_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VANTOR_BUILD="$VANTOR_ROOT/build"
VANTOR_JOBS=${VANTOR_JOBS:-$(nproc)}

log() { printf '== %s\n' "$*" >&2; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Configures (if needed) and builds one variant: dev, asan or release.
build_variant() {
  local variant=$1; shift
  local dir="$VANTOR_BUILD/$variant"
  local -a args=(-G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON)
  if command -v ccache >/dev/null; then args+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache); fi
  case $variant in
    dev) args+=(-DCMAKE_BUILD_TYPE=Debug -DVANTOR_BUILD_BENCH=OFF) ;;
    asan) args+=(-DCMAKE_BUILD_TYPE=Debug -DVANTOR_SANITIZE=ON -DVANTOR_BUILD_BENCH=OFF) ;;
    release) args+=(-DCMAKE_BUILD_TYPE=Release -DVANTOR_BUILD_TESTS=OFF) ;;
    *) echo "unknown build variant $variant" >&2; return 2 ;;
  esac
  if [ ! -f "$dir/build.ninja" ]; then
    log "configuring $variant build"
    cmake -S "$VANTOR_ROOT" -B "$dir" "${args[@]}" >&2
  fi
  log "building $variant"
  cmake --build "$dir" -j "$VANTOR_JOBS" "$@" >&2
}
