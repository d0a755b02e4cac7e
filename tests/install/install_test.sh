#!/usr/bin/env bash
# The installed package from an application author's side: installs the Linux build (and the
# Windows build beside it, when present) into a fresh prefix, builds a copy of examples/hello
# against that prefix with onefile_add_executable() for Linux natively and for Windows with the
# MinGW-w64 toolchain, runs both executables (the Windows one under Wine) and checks what they print
# and their exit status. Checks that a second build packs nothing and that a changed input is packed
# again, and that the installed packer packs the demo and the example for both targets with nothing
# on PATH (no compiler, assembler or linker).
#   install_test.sh SOURCE_DIR LINUX_BUILD_DIR WINDOWS_BUILD_DIR
# Without a Windows build the Windows half is skipped, unless ONEFILE_E2E_REQUIRE_WINDOWS is set.
set -euo pipefail
source_dir=$(cd "$1" && pwd)
linux_build=$(cd "$2" && pwd)
windows_build=$3

work=$(mktemp -d "${TMPDIR:-/tmp}/onefile-install-test-XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
failures=0

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
step() { echo "-- $*"; }
# The modification time of a file, in nanoseconds.
mtime() { stat -c %.9Y "$1"; }

step "install $linux_build into $prefix"
cmake --install "$linux_build" --prefix "$prefix" >/dev/null
for file in bin/onefile-pack share/onefile/linux/launcher share/onefile/linux/onefile_exec_main.so \
            share/onefile/onefile_main.def share/onefile/mingw-w64.cmake \
            include/onefile/entry.h lib/cmake/onefile/onefileConfig.cmake \
            lib/cmake/onefile/onefileConfigVersion.cmake lib/cmake/onefile/onefile-functions.cmake; do
  [ -f "$prefix/$file" ] || fail "the install lacks $file"
done
[ -x "$prefix/share/onefile/linux/launcher" ] || fail "the installed Linux launcher is not executable"
version=$("$prefix/bin/onefile-pack" --version)
[[ "$version" =~ ^onefile-pack\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "onefile-pack --version printed '$version'"

windows=0
if [ -f "$windows_build/share/onefile/windows/launcher.exe" ] && [ -f "$windows_build/cmake_install.cmake" ]; then
  step "install $windows_build into $prefix"
  cmake --install "$windows_build" --prefix "$prefix" >/dev/null
  for file in launcher.exe launcher.manifest onefile_exec_main.dll; do
    [ -f "$prefix/share/onefile/windows/$file" ] || fail "the install lacks share/onefile/windows/$file"
  done
  # The Windows-hosted packer, beside the Linux one.
  [ -f "$prefix/bin/onefile-pack.exe" ] || fail "the install lacks bin/onefile-pack.exe"
  windows=1
elif [ -n "${ONEFILE_E2E_REQUIRE_WINDOWS:-}" ]; then
  echo "FAIL: no Windows build with a launcher kit in $windows_build (ONEFILE_E2E_REQUIRE_WINDOWS is set)" >&2
  exit 1
else
  echo "-- no Windows build with a launcher kit in $windows_build: skipping the Windows half"
fi

# The example is copied so that its inputs can be changed.
app_src=$work/hello
cp -r "$source_dir/examples/hello" "$app_src"

# check_run LABEL EXPECTED_STATUS EXPECTED_OUTPUT COMMAND...
check_run() {
  local label=$1 expected_status=$2 expected_output=$3
  shift 3
  local output status=0
  # The status of the program, not of tr.
  output=$("$@" 2>"$work/stderr" | tr -d '\r'; exit "${PIPESTATUS[0]}") && status=0 || status=$?
  if [ "$status" != "$expected_status" ]; then
    fail "$label: exit status $status, expected $expected_status (stderr: $(cat "$work/stderr"))"
  fi
  if [ "$output" != "$expected_output" ]; then
    fail "$label: printed
$output
expected
$expected_output"
  fi
}

expected_output() {  # NAME MESSAGE
  printf 'Hello, %s!\nmessage.txt: %s\nlang/fr.txt: Bonjour !' "$1" "$2"
}

# build_and_check LABEL BUILD_DIR EXECUTABLE RUNNER... ; the configure arguments are in $configure.
build_and_check() {
  local label=$1 build=$2 exe=$3
  shift 3
  local runner=("$@")
  step "$label: configure and build"
  cmake -S "$app_src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release "${configure[@]}" >"$work/log" 2>&1 ||
    { cat "$work/log" >&2; fail "$label: configure failed"; return; }
  cmake --build "$build" -j2 >"$work/log" 2>&1 || { cat "$work/log" >&2; fail "$label: build failed"; return; }
  [ -f "$build/$exe" ] || { fail "$label: $build/$exe was not made"; return; }

  local main=libhello_main.so library=libhello_greeting.so.1 suffix=
  if [ "$label" = windows ]; then main=libhello_main.dll library=libhello_greeting.dll suffix=.exe; fi

  step "$label: run"
  check_run "$label: hello Ann --exit 7" 7 "$(expected_output Ann 'Packed, unpacked and run.')" \
    "${runner[@]}" "$build/$exe" Ann --exit 7
  check_run "$label: hello" 0 "$(expected_output world 'Packed, unpacked and run.')" "${runner[@]}" "$build/$exe"

  # Packing is a file operation: with no compiler, assembler or linker to be found, the installed
  # packer packs the staged application again, and the result runs the same.
  step "$label: packing with nothing but the packer on PATH"
  local bare="$work/bare-$label$suffix"
  env PATH="$work/empty-path" "$prefix/bin/onefile-pack" --quiet --target "$label" -o "$bare" \
      "$build/onefile/hello/app" "$main" || fail "$label: packing without a toolchain on PATH failed"
  check_run "$label: hello packed without a toolchain" 0 "$(expected_output world 'Packed, unpacked and run.')" \
    "${runner[@]}" "$bare"

  # The packed file lists the main binary first, then the other files in name order.
  local listing
  listing=$("$prefix/bin/onefile-pack" --list "$build/$exe" | cut -f1 | tr '\n' ' ')
  [ "$listing" = "$main lang\\fr.txt $library message.txt " ] ||
    fail "$label: onefile-pack --list gives '$listing'"
  "$prefix/bin/onefile-pack" --quiet --verify "$build/$exe" || fail "$label: onefile-pack --verify failed"

  step "$label: ctest runs the packed executable"
  env TMPDIR="$work/run" WINEPREFIX="${WINEPREFIX:-$source_dir/build/wineprefix}" WINEDEBUG=-all \
      "WINEDLLOVERRIDES=winedbg.exe=d;mscoree,mshtml=" ctest --test-dir "$build" --output-on-failure >"$work/log" 2>&1 ||
    { cat "$work/log" >&2; fail "$label: ctest failed"; }
  grep -q "100% tests passed, 0 tests failed out of 1" "$work/log" || fail "$label: ctest ran no test"

  step "$label: a build without changes packs nothing"
  local before
  before=$(mtime "$build/$exe")
  cmake --build "$build" -j2 >"$work/log" 2>&1 || fail "$label: second build failed"
  grep -q "ninja: no work to do" "$work/log" || fail "$label: second build did work: $(cat "$work/log")"
  [ "$(mtime "$build/$exe")" = "$before" ] || fail "$label: second build rewrote $exe"

  step "$label: a touched input is packed again"
  sleep 0.01
  touch "$app_src/resources/lang/fr.txt"
  cmake --build "$build" -j2 >"$work/log" 2>&1 || fail "$label: build after touch failed"
  grep -q "Packing hello" "$work/log" || fail "$label: touching an input did not pack again: $(cat "$work/log")"
  [ "$(mtime "$build/$exe")" != "$before" ] || fail "$label: touching an input left $exe as it was"
  cmake --build "$build" -j2 >"$work/log" 2>&1
  grep -q "ninja: no work to do" "$work/log" || fail "$label: the build after the repack did work again"

  step "$label: a changed data file and a new one in DIRECTORY are shipped"
  echo "Changed." >"$app_src/resources/message.txt"
  echo "new" >"$app_src/resources/lang/new.txt"
  cmake --build "$build" -j2 >"$work/log" 2>&1 || fail "$label: build after the change failed"
  check_run "$label: hello after the change" 0 "$(expected_output world 'Changed.')" "${runner[@]}" "$build/$exe"
  "$prefix/bin/onefile-pack" --list "$build/$exe" | cut -f1 | grep -q "^lang.new\.txt$" ||
    fail "$label: a file added to DIRECTORY was not packed"
  rm "$app_src/resources/lang/new.txt"
  cmake --build "$build" -j2 >"$work/log" 2>&1 || fail "$label: build after removing a file failed"
  if "$prefix/bin/onefile-pack" --list "$build/$exe" | cut -f1 | grep -q "^lang.new\.txt$"; then
    fail "$label: a file removed from DIRECTORY is still packed"
  fi

  step "$label: the executable needs nothing from the build tree"
  mv "$build" "$build.moved"
  check_run "$label: moved hello" 0 "$(expected_output world 'Changed.')" "${runner[@]}" "$build.moved/$exe"
  mv "$build.moved" "$build"
  echo "Packed, unpacked and run." >"$app_src/resources/message.txt"
}

# Linux: unpacked below a temporary directory of the test's own, which must be empty afterwards.
mkdir -p "$work/run"
# A PATH with nothing on it.
mkdir -p "$work/empty-path"

step "the demo packed with nothing but the packer on PATH"
for target in linux windows; do
  build_dir=$linux_build runner=(env TMPDIR="$work/run") main=demo_main.so suffix=
  if [ "$target" = windows ]; then
    [ "$windows" = 1 ] || continue
    build_dir=$windows_build main=demo_main.dll suffix=.exe
    runner=(env WINEPREFIX="${WINEPREFIX:-$source_dir/build/wineprefix}" WINEDEBUG=-all
            "WINEDLLOVERRIDES=winedbg.exe=d;mscoree,mshtml=" wine)
  fi
  env PATH="$work/empty-path" "$prefix/bin/onefile-pack" --quiet -o "$work/demo-$target$suffix" \
      "$build_dir/demo-app" "$main" || fail "demo: packing for $target without a toolchain on PATH failed"
  output=$("${runner[@]}" "$work/demo-$target$suffix" hi 2>&1 | tr -d '\r') || fail "demo ($target) failed: $output"
  [[ "$output" == *"data/message.txt says: The demo's data file"* ]] || fail "demo ($target) printed: $output"
done

step "exec: an ordinary program packed with the installed kit"
mkdir -p "$work/exec-app/bin"
cp /bin/echo "$work/exec-app/bin/echo"
"$prefix/bin/onefile-pack" --quiet --target linux -o "$work/packed-echo" --exec "$work/exec-app" bin/echo ||
  fail "exec: onefile-pack --exec failed"
check_run "exec: packed echo" 0 "packed  echo" env TMPDIR="$work/run" "$work/packed-echo" "packed  echo"
configure=(-DCMAKE_PREFIX_PATH="$prefix")
build_and_check linux "$work/build-linux" hello env TMPDIR="$work/run"
if [ -n "$(ls -A "$work/run")" ]; then
  fail "linux: the unpacked directory was left behind: $(ls -A "$work/run")"
fi

if [ "$windows" = 1 ]; then
  # The toolchain file as installed, and Wine as the emulator that runs the Windows build's tests.
  configure=(-DCMAKE_TOOLCHAIN_FILE="$prefix/share/onefile/mingw-w64.cmake" -Donefile_DIR="$prefix/lib/cmake/onefile"
             -DCMAKE_CROSSCOMPILING_EMULATOR=wine)
  build_and_check windows "$work/build-windows" hello.exe \
    env WINEPREFIX="${WINEPREFIX:-$source_dir/build/wineprefix}" WINEDEBUG=-all \
        "WINEDLLOVERRIDES=winedbg.exe=d;mscoree,mshtml=" wine
fi

if [ "$windows" = 1 ]; then
  # onefile-pack.exe, run through Wine, finds the kits of the prefix at ..\share\onefile\<target>
  # and packs for both targets; and a CMake project picks it with ONEFILE_PACK_EXECUTABLE (run
  # through wine, the default emulator for it on Linux).
  wine_env=(env WINEPREFIX="${WINEPREFIX:-$source_dir/build/wineprefix}" WINEDEBUG=-all LANG=C.UTF-8
            "WINEDLLOVERRIDES=winedbg.exe=d;mscoree,mshtml=")
  step "the demo packed by onefile-pack.exe for both targets"
  for target in linux windows; do
    build_dir=$linux_build runner=(env TMPDIR="$work/run") main=demo_main.so suffix=
    if [ "$target" = windows ]; then
      build_dir=$windows_build main=demo_main.dll suffix=.exe runner=("${wine_env[@]}" wine)
    fi
    out="$work/demo-by-exe-$target$suffix"
    "${wine_env[@]}" wine "$prefix/bin/onefile-pack.exe" --quiet -o "$out" "$build_dir/demo-app" "$main" ||
      fail "demo: onefile-pack.exe failed to pack for $target"
    # Windows keeps no execute bits: a Linux executable written there is made executable here.
    [ "$target" = linux ] && chmod +x "$out"
    output=$("${runner[@]}" "$out" hi 2>&1 | tr -d '\r') || fail "demo packed by onefile-pack.exe ($target) failed: $output"
    [[ "$output" == *"data/message.txt says: The demo's data file"* ]] ||
      fail "demo packed by onefile-pack.exe ($target) printed: $output"
  done

  for target in linux windows; do
    step "$target: onefile_add_executable() with onefile-pack.exe"
    build="$work/build-$target-by-exe" exe=hello runner=(env TMPDIR="$work/run")
    configure=(-DCMAKE_PREFIX_PATH="$prefix" -DONEFILE_PACK_EXECUTABLE="$prefix/bin/onefile-pack.exe")
    if [ "$target" = windows ]; then
      exe=hello.exe runner=("${wine_env[@]}" wine)
      configure=(-DCMAKE_TOOLCHAIN_FILE="$prefix/share/onefile/mingw-w64.cmake" -Donefile_DIR="$prefix/lib/cmake/onefile"
                 -DONEFILE_PACK_EXECUTABLE="$prefix/bin/onefile-pack.exe")
    fi
    cmake -S "$app_src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release "${configure[@]}" >"$work/log" 2>&1 ||
      { cat "$work/log" >&2; fail "$target by onefile-pack.exe: configure failed"; continue; }
    grep -q '^ONEFILE_PACK_EMULATOR:STRING=wine$' "$build/CMakeCache.txt" ||
      fail "$target by onefile-pack.exe: the emulator is not wine: $(grep ONEFILE_PACK_EMULATOR "$build/CMakeCache.txt")"
    "${wine_env[@]}" cmake --build "$build" -j2 -v >"$work/log" 2>&1 ||
      { cat "$work/log" >&2; fail "$target by onefile-pack.exe: build failed"; continue; }
    grep -q 'wine [^ ]*/bin/onefile-pack.exe --quiet' "$work/log" ||
      fail "$target by onefile-pack.exe: the build did not pack with it: $(grep -i pack "$work/log")"
    [ "$target" = linux ] && chmod +x "$build/$exe"
    check_run "$target by onefile-pack.exe: hello" 0 "$(expected_output world 'Packed, unpacked and run.')" \
      "${runner[@]}" "$build/$exe"
  done
fi

if [ "$failures" != 0 ]; then
  echo "install test: $failures failure(s)" >&2
  exit 1
fi
echo "install test: passed"
