#!/usr/bin/env bash
# Runs the program under valgrind memcheck once for each action and fails on
# any memory error or leak, or when the answer differs from the same request
# run without valgrind. Without valgrind it is skipped (77), or fails under
# scripts/test. Usage: memcheck.sh PROGRAM
set -u
program=$1
command -v valgrind >/dev/null || exec "$(dirname "$0")/../support/cannot_run.sh" "valgrind not installed"

suppressions=$(dirname "$0")/runtime.supp
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fixture=$work/services
{
  printf 'service\tSpooler\tPrint Spooler\t4\t1234\t2\n'
  printf 'service\tPaused\tDienst f\xc3\xbcr \\x22Tests\\x22\t7\t0\tunreadable\n'
  printf 'service\tStuck\tStops late\t4\t99\t3\tstops_after=2\n'
  printf 'service\tDetailed\tAll details\t4\t98\t2\tpath=C:\\\\d.exe\taccount=LocalSystem\tdescription=D\tdependencies=Spooler,+Group\tdependents=Stuck\tdelayed=true\trecovery=60:restart/1000,reboot/0\n'
  printf 'service\tPartial\tSome details\t4\t97\t2\trights=status,dependents\tunreadable=names,triggers\n'
  printf 'service\tCrashed\tEnded with an error\t1\t0\t2\texit=13\n'
  printf 'process\t1234\t5242880\t1765444443\n'
  for i in $(seq 1 40); do printf 'service\tsvc%s\td%s\t%s\t0\t%s\n' "$i" "$i" $((i % 7 + 1)) $((i % 5)); done
} >"$fixture"

failures=0

# Runs one request plainly and under memcheck; both must give the same bytes,
# contain the expected text (so that each run takes the path it is named
# for), exit 0 and write nothing to standard error.
# Usage: check NAME EXPECTED_TEXT VARIABLE=VALUE...
check() {
  local name=$1 expected=$2; shift 2
  local plain=$work/$name.plain checked=$work/$name.checked vlog=$work/$name.valgrind
  env -i "$@" "$program" >"$plain" 2>"$plain.err"
  local plain_rc=$?
  env -i "$@" valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=all \
    --suppressions="$suppressions" --log-file="$vlog" "$program" >"$checked" 2>"$checked.err"
  local rc=$?
  local problem=""
  [ ! -s "$plain.err" ] && [ ! -s "$checked.err" ] || problem="standard error not empty"
  cmp -s "$plain" "$checked" || problem="output differs under valgrind"
  grep -qF -- "$expected" "$plain" || problem="the answer lacks $expected"
  [ "$plain_rc" -eq 0 ] || problem="exit status $plain_rc"
  [ "$rc" -eq 0 ] || problem="exit status $rc under valgrind"
  if [ -n "$problem" ]; then
    echo "FAIL $name: $problem"
    cat "$vlog"
    failures=$((failures + 1))
  else
    echo "ok   $name ($(wc -c <"$plain") bytes)"
  fi
}

check list '{"ok":true,"init_system":"windows-scm","control_enabled":false,"count":46,"summary":{"running":10,"failed":1,"inactive":35},"services":[{"name":"Crashed","description":"Ended with an error","active":"failed","sub":"1","enabled":"automatic","pid":0,"memory_bytes":null,"since":"-","failed":true},{"name":"Detailed",' \
  QUERY_STRING=action=list REQUEST_METHOD=GET SERVICES_FAKE_SCM="$fixture"
check show '{"ok":true,"init_system":"windows-scm","control_enabled":false,"service":{"name":"Spooler","description":"Print Spooler","active":"running","sub":"4","enabled":"automatic","pid":1234,"memory_bytes":5242880,"since":"2025-12-11 09:14:03 UTC","failed":false}}' \
  QUERY_STRING='action=show&unit=Spooler' SERVICES_FAKE_SCM="$fixture"
check show_missing '{"ok":false,"error":"service not found"}' \
  QUERY_STRING='action=show&unit=Nope' SERVICES_FAKE_SCM="$fixture"
check control_mock '{"ok":true,"unit":"Spooler","op":"restart","control_enabled":true,"init_system":"windows-scm"}' \
  QUERY_STRING='action=control&unit=Spooler&op=restart' REQUEST_METHOD=POST \
  SERVICES_ALLOW_CONTROL=1 SERVICES_MOCK_SYSTEMCTL_LOG="$work/mock.log"
check control_restart '{"ok":true,"unit":"Stuck","op":"restart","control_enabled":true,"init_system":"windows-scm"}' \
  QUERY_STRING='action=control&unit=Stuck&op=restart' REQUEST_METHOD=POST \
  SERVICES_ALLOW_CONTROL=1 SERVICES_FAKE_SCM="$fixture"
check control_stop '{"ok":true,"unit":"Spooler","op":"stop","control_enabled":true,"init_system":"windows-scm"}' \
  QUERY_STRING='action=control&unit=Spooler&op=stop' REQUEST_METHOD=POST \
  SERVICES_ALLOW_CONTROL=1 SERVICES_FAKE_SCM="$fixture"
check details '{"ok":true,"init_system":"windows-scm","control_enabled":false,"details":{"name":"Detailed",' \
  QUERY_STRING='action=details&unit=Detailed' SERVICES_FAKE_SCM="$fixture"
check details_partial '{"ok":true,"init_system":"windows-scm","control_enabled":false,"details":{"name":"Partial",' \
  QUERY_STRING='action=details&unit=Partial' SERVICES_FAKE_SCM="$fixture"
check details_missing '{"ok":false,"error":"service not found"}' \
  QUERY_STRING='action=details&unit=Nope' SERVICES_FAKE_SCM="$fixture"
check page '</body></html>' QUERY_STRING='theme=dark' REQUEST_METHOD=GET
check unauthorized '{"ok":false,"error":"invalid node password"}' \
  QUERY_STRING=action=list BOT_PASSWORD=pw SERVICES_FAKE_SCM="$fixture"

if [ "$(cat "$work/mock.log")" != "$(printf 'systemctl restart Spooler\nsystemctl restart Spooler')" ]; then
  echo "FAIL control_mock: log holds"; cat "$work/mock.log"
  failures=$((failures + 1))
fi

[ "$failures" -eq 0 ] || exit 1
