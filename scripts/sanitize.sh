#!/usr/bin/env bash
# The sanitizer runs, each in a build directory of its own:
#   thread   the manager, its client library and its tests built with
#            ThreadSanitizer (the player as usual); every manager test runs
#            under it: the API's, the wall's, the cycle's (build-tsan)
#   address  everything built with AddressSanitizer and
#            UndefinedBehaviorSanitizer; the whole suite runs under them
#            (build-asan)
# A run fails when a test fails or a sanitizer reports anything, in any
# process of the run (the players and managers the tests start included):
# the reports are printed at the end. What is passed over, and why, is in
# scripts/sanitizers/.
#   scripts/sanitize.sh [thread|address]...   (default: both, in that order)
#   extra ctest options: SANITIZE_CTEST="-R Http" scripts/sanitize.sh thread
set -uo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
kinds=("$@")
[ ${#kinds[@]} -eq 0 ] && kinds=(thread address)
bash scripts/install-deps.sh || exit 1

status=0
for kind in "${kinds[@]}"; do
  case "$kind" in
    thread) dir=build-tsan targets=(--target signage_manager manager_tests) selection=(-L manager) ;;
    address) dir=build-asan targets=() selection=() ;;
    *)
      echo "sanitize.sh: thread or address, not $kind" >&2
      exit 2
      ;;
  esac
  reports=$(mktemp -d "/tmp/sanitize-$kind.XXXXXX")
  # Set for the build too: it runs the test programs to list their tests.
  export TSAN_OPTIONS="log_path=$reports/report suppressions=$top/scripts/sanitizers/tsan.supp second_deadlock_stack=1 halt_on_error=0"
  # The tests preload libfaketime and their own fault injection ahead of the runtime.
  export ASAN_OPTIONS="log_path=$reports/report detect_leaks=1 verify_asan_link_order=0"
  export LSAN_OPTIONS="suppressions=$top/scripts/sanitizers/lsan.supp print_suppressions=0"
  export UBSAN_OPTIONS="log_path=$reports/report print_stacktrace=1"
  echo "sanitize.sh: $kind: building in $dir"
  if ! { cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE="$kind" >/dev/null &&
         cmake --build "$dir" -j"$(nproc)" "${targets[@]}"; }; then
    status=1
    continue
  fi
  echo "sanitize.sh: $kind: testing"
  if [ "$kind" = address ]; then
    # The leak check stops the process's threads with ptrace, which the
    # service's own confinement (its system call filter) forbids: that test
    # runs under AddressSanitizer and UndefinedBehaviorSanitizer without it.
    # Its user cannot write the reports' directory: a report ends the
    # process there, which fails the test.
    # shellcheck disable=SC2086
    (cd "$dir" && ASAN_OPTIONS="detect_leaks=0" UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
      ../scripts/with-env.sh ctest --output-on-failure --timeout 900 -L service ${SANITIZE_CTEST:-}) || status=1
    selection=(-LE service)
    # Libraries stay loaded to the end (scripts/sanitizers/keep_libraries.c).
    cc -shared -fPIC -o "$dir/keep_libraries.so" scripts/sanitizers/keep_libraries.c || status=1
    export LD_PRELOAD="$top/$dir/keep_libraries.so"
  fi
  # shellcheck disable=SC2086
  (cd "$dir" && ../scripts/with-env.sh ctest --output-on-failure -j2 --timeout 900 "${selection[@]}" ${SANITIZE_CTEST:-}) ||
    status=1
  unset LD_PRELOAD
  if compgen -G "$reports/report.*" >/dev/null; then
    echo "sanitize.sh: $kind: reports:"
    cat "$reports"/report.*
    status=1
  else
    echo "sanitize.sh: $kind: no reports"
  fi
  rm -rf "$reports"
done
exit $status
