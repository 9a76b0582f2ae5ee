#!/usr/bin/env bash
# Runs the program under valgrind memcheck once per action (list, show,
# control in mock and real mode, page, 401); any error or leak fails.
# Usage: memcheck.sh PROGRAM. Exits 77 (skipped) without valgrind.
set -u
program=$1
command -v valgrind >/dev/null || { echo "valgrind not found"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf 'service\tSpooler\tPrint Spooler\t4\t1234\t2\nservice\talpha\t(null)\t1\t0\tunreadable\nservice\tSvc\td\t4\t7\t3\tstops_after=2\n' >"$dir/scm"

failed=0
# check NAME VAR=VALUE...: one run in a clean environment.
check() {
  local name=$1
  shift
  if env -i SERVICES_FAKE_SCM="$dir/scm" "$@" valgrind -q --error-exitcode=1 --leak-check=full \
      --errors-for-leak-kinds=all --show-leak-kinds=all "$program" >/dev/null 2>"$dir/log"; then
    echo "ok: $name"
  else
    echo "FAILED: $name"; cat "$dir/log"; failed=1
  fi
}

check list QUERY_STRING=action=list
check show QUERY_STRING='action=show&unit=Spooler'
check control-mock QUERY_STRING='action=control&unit=Svc&op=restart' REQUEST_METHOD=POST \
  SERVICES_ALLOW_CONTROL=1 SERVICES_MOCK_SYSTEMCTL_LOG="$dir/log.mock"
check control-real QUERY_STRING='action=control&unit=Svc&op=restart' REQUEST_METHOD=POST SERVICES_ALLOW_CONTROL=1
check page QUERY_STRING=theme=dark
check 401 QUERY_STRING=action=list BOT_PASSWORD=secret
exit $failed
