# Sourced by the benchmark scripts: plain_build BUILD_DIR TARGET... configures
# BUILD_DIR when it is new, refuses a sanitized tree (its figures would mean
# nothing) and builds the targets.
plain_build() {
  build_dir=$1
  shift
  if [ ! -f "$build_dir/build.ninja" ]; then
    cmake -S "$source_dir" -B "$build_dir" -G Ninja -DUPDATER_SANITIZE=OFF >/dev/null
  fi
  if grep -q '^UPDATER_SANITIZE:BOOL=ON' "$build_dir/CMakeCache.txt"; then
    echo "$build_dir is a sanitized build; name a plain one" >&2
    exit 2
  fi
  ninja -j2 -C "$build_dir" "$@" >/dev/null
}
