#!/usr/bin/env bash
# The test command's outcomes for i686-wine where the Windows suites are required (CI): a copy
# of tools/test runs `win32` in a scratch tree whose cmake and ctest are stand-ins, and each row
# checks its exit status and closing lines.
#   tests/test_command_outcomes.sh SOURCE_DIR
set -u
unset CI TIMEWARD_SUMMARY TIMEWARD_SKIP_I686 # never the outer run's (CI's summary file)
s=$(mktemp -d) && trap 'rm -rf "$s"' EXIT && mkdir -p "$s/tools" "$s/bin" "$s/build/win32/wine"
cp "$1/tools/test" "$1/tools/wine-loader" "$s/tools/" || exit
for p in make i686-w64-mingw32-g++ i686-w64-mingw32-objdump; do ln -s /bin/true "$s/bin/$p"; done
# Configuring leaves what wine/wine32.cmake would; a refused probe is one no kernel executes.
cat >"$s/bin/cmake" <<'EOF'
#!/bin/sh
[ "$1" = --build ] && exit 0
cd build/win32/wine && rm -f i686-suite-not-run.txt && mkdir -p i386-probe || exit
[ -z "$WHY" ] || echo "i686 Wine suite not run (0 of 45 cases): $WHY" >i686-suite-not-run.txt
if [ "$PROBE" = refused ]; then head -c 64 /dev/zero; else echo "#!/bin/sh"; fi >i386-probe/exit
chmod +x i386-probe/exit
EOF
cat >"$s/bin/ctest" <<'EOF'
#!/bin/sh
case "$*" in *-E*) n=5 failed=$CHECKS ;; *) n=45 failed=$CASES ;; esac
echo "$failed tests failed out of $n"
EOF
chmod +x "$s/bin/cmake" "$s/bin/ctest"
no_i386=(WHY="this machine cannot execute 32-bit x86 code" PROBE=refused)
here=", 1 not runnable here: i686-wine (this kernel runs no 32-bit x86 code)"
unchecked=$'\nunchecked: Timeward.dll\'s run-time behaviour under 32-bit calling conventions (no '\
$'i686 Wine case ran)'
failed=0
# row STATUS CLOSING-LINES [VARIABLE=VALUE...]: the total line and what follows it.
row() {
  local out status
  out=$(env PATH="$s/bin:$PATH" TIMEWARD_REQUIRE_WINDOWS=1 TIMEWARD_WINE32=/bin/true CHECKS=0 \
    CASES=0 WHY= PROBE= "${@:3}" "$s/tools/test" win32 2>/dev/null)
  status=$?
  out=$(sed -n '/^[0-9]* passed, /,$p' <<<"$out")
  [ "$status" = "$1" ] && [ "$out" = "$2" ] && return
  printf 'FAILED with %s: exit status %s (not %s):\n%s\n' "${*:3}" "$status" "$1" "$out"
  failed=1
}
row 0 "50 passed, 0 failed"
row 1 "49 passed, 1 failed" CASES=1
row 0 "5 passed, 0 failed$here$unchecked" "${no_i386[@]}" TIMEWARD_SUMMARY="$s/summary"
row 1 "4 passed, 1 failed$here$unchecked" "${no_i386[@]}" CHECKS=1
# Not runnable only by the kernel's refusal: a Wine that does not start, one not installed, or
# one skipped at the owner's request stays a failure.
row 1 "5 passed, 1 failed$unchecked" WHY="wine does not start"
row 1 "5 passed, 1 failed$unchecked" "${no_i386[@]}" TIMEWARD_WINE32=/none
row 1 "5 passed, 1 failed$unchecked" "${no_i386[@]}" TIMEWARD_SKIP_I686=1
# CI's second run adds its suites to the first one's summary: the total still counts it.
row 0 "55 passed, 0 failed$here$unchecked" TIMEWARD_SUMMARY="$s/summary"
exit "$failed"
