#!/usr/bin/env bash
# Runs a sweep on a real one-node Slurm cluster started on this machine and checks that the
# merged result equals one local smetp-batch of the same runs file (times aside).
#
#   tests/slurm/run-test.sh
#
# Needs root (the daemons run as root). Installs slurm-wlm and munge from Debian where they are
# missing. Everything the cluster uses lives in one temporary folder: munged with its own key,
# socket and log; slurmctld and slurmd on free ports of their own, with process tracking and
# task handling that need neither cgroups nor systemd. Every daemon started here is stopped by
# its process id when the script ends, whatever the outcome.
#
# Steps: start the cluster; run a plain four-task job array; then, where build/smetp-batch and
# .venv/bin/smetp-lab exist (SMETP_BATCH / SMETP_LAB name others), sweep nine runs in four
# shards through scripts/sweep: a shard made to fail (status 1, nothing merged), --partial
# (the other shards merged, the failed shard's runs listed), a resumed sweep that submits only
# the unfinished shards, and a sweep with nothing left to submit.
#
# Prints SKIP and exits 0 when not root, when the packages cannot be installed, or when
# SMETP_SKIP_SLURM=1. SMETP_SLURM_KEEP=1 keeps the temporary folder for inspection.
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib/help.bash"
smetp_help "$0" "$@"
root=$(cd "$(dirname "$0")/../.." && pwd)
started=$SECONDS

skip() {
  echo "SKIP: slurm test: $*"
  exit 0
}
[[ ${SMETP_SKIP_SLURM:-} != 1 ]] || skip "SMETP_SKIP_SLURM=1"
[[ $(id -u) == 0 ]] || skip "the Slurm and munge daemons need root"

have_slurm() {
  local tool
  for tool in munged munge slurmctld slurmd sbatch scontrol sinfo squeue scancel; do
    command -v "$tool" >/dev/null 2>&1 || return 1
  done
}
if ! have_slurm; then
  command -v apt-get >/dev/null 2>&1 || skip "slurm-wlm and munge are missing and apt-get is not available"
  echo "slurm test: installing slurm-wlm and munge"
  if ! { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    --no-install-recommends slurm-wlm munge >/dev/null; } || ! have_slurm; then
    skip "slurm-wlm and munge could not be installed"
  fi
fi

tmp=$(mktemp -d /tmp/smetp-slurm.XXXXXX)
chmod 755 "$tmp"
pids=()
export SLURM_CONF=$tmp/slurm.conf

stop_cluster() {
  local status=$? pid i
  trap - EXIT INT TERM
  if [[ -e $SLURM_CONF ]] && ((${#pids[@]} > 1)); then
    scancel --full --quiet --user=root >/dev/null 2>&1 || true
    for i in {1..20}; do
      [[ -z $(squeue -h -o %i 2>/dev/null) ]] && break
      sleep 0.5
    done
  fi
  # The daemons in reverse order of their start: slurmd, slurmctld, munged.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    pid=${pids[i]}
    kill "$pid" 2>/dev/null || continue
    for _ in {1..40}; do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.25
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  if ((status != 0)); then
    echo "slurm test: FAILED (status $status); daemon logs:" >&2
    for log in "$tmp"/log/*; do
      [[ -s $log ]] || continue
      echo "--- $log (last lines)" >&2
      tail -n 15 "$log" >&2
    done
  fi
  if [[ ${SMETP_SLURM_KEEP:-} == 1 ]]; then
    echo "slurm test: kept $tmp" >&2
  else
    rm -rf "$tmp"
  fi
  exit "$status"
}
trap stop_cluster EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

die() {
  echo "slurm test: FAIL: $*" >&2
  exit 1
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Waits up to $1 seconds for the command after it to succeed, failing early when the daemon
# with process id $2 has exited. In the foreground the daemons log to standard error, which
# goes to log/NAME.log.
wait_for() {
  local seconds=$1 pid=$2 name=$3
  shift 3
  local until=$((SECONDS + seconds))
  until "$@" >/dev/null 2>&1; do
    kill -0 "$pid" 2>/dev/null || die "$name exited: $(tail -n 5 "$tmp/log/$name.log" 2>/dev/null)"
    ((SECONDS < until)) || die "$name did not come up in ${seconds}s"
    sleep 0.5
  done
}

# --- the cluster
mkdir -p "$tmp"/{munge,log,state,spool,work}
chmod 711 "$tmp/munge"
head -c 1024 /dev/urandom >"$tmp/munge/munge.key"
chmod 400 "$tmp/munge/munge.key"
socket=$tmp/munge/munge.socket
munged --foreground --force --socket="$socket" --key-file="$tmp/munge/munge.key" \
  --pid-file="$tmp/munge/munged.pid" \
  --seed-file="$tmp/munge/munged.seed" >>"$tmp/log/munged.log" 2>&1 &
pids+=($!)
wait_for 10 "${pids[0]}" munged bash -c "munge -n -S '$socket' | unmunge -S '$socket'"

ctld_port=$(free_port)
slurmd_port=$(free_port)
[[ $ctld_port != "$slurmd_port" ]] || slurmd_port=$(free_port)
cat >"$SLURM_CONF" <<EOF
ClusterName=smetptest
SlurmctldHost=localhost
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$socket
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
MailProg=/bin/true
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
StateSaveLocation=$tmp/state
SlurmdSpoolDir=$tmp/spool
SlurmctldPidFile=$tmp/slurmctld.pid
SlurmdPidFile=$tmp/slurmd.pid
SlurmctldDebug=info
SlurmdDebug=info
NodeName=localhost NodeAddr=127.0.0.1 CPUs=2 State=UNKNOWN
PartitionName=smetp Nodes=localhost Default=YES MaxTime=INFINITE State=UP
EOF
slurmctld -D -i >>"$tmp/log/slurmctld.log" 2>&1 &
pids+=($!)
wait_for 20 "${pids[1]}" slurmctld scontrol ping
slurmd -D -N localhost >>"$tmp/log/slurmd.log" 2>&1 &
pids+=($!)
# shellcheck disable=SC2016  # expanded by the inner shell
wait_for 30 "${pids[2]}" slurmd bash -c '[[ $(sinfo -h -n localhost -o %t) == idle ]]'
echo "slurm test: one-node cluster up in $((SECONDS - started))s (ports $ctld_port, $slurmd_port)"

# --- a plain job array: four tasks, each leaving a file with its task id
cat >"$tmp/work/array.sh" <<'EOF'
#!/usr/bin/env bash
echo "$SLURM_ARRAY_TASK_ID $SLURM_ARRAY_TASK_COUNT" >"$1/task-$SLURM_ARRAY_TASK_ID"
EOF
sbatch --wait --quiet --array=0-3 --output="$tmp/work/array-%a.out" "$tmp/work/array.sh" "$tmp/work" ||
  die "the four-task job array failed"
for k in 0 1 2 3; do
  [[ $(cat "$tmp/work/task-$k" 2>/dev/null) == "$k 4" ]] || die "array task $k left no result"
done
echo "slurm test: a four-task job array ran ($((SECONDS - started))s)"

# --- a sweep through scripts/sweep against one local smetp-batch
batch=${SMETP_BATCH:-$root/build/smetp-batch}
lab=${SMETP_LAB:-$root/.venv/bin/smetp-lab}
if [[ ! -x $batch || ! -x $lab ]]; then
  echo "SKIP: slurm test: sweep part: $batch or $lab is missing (build them first)"
  exit 0
fi
runs=$tmp/work/runs.txt
cat >"$runs" <<'EOF'
# nine runs of the design (with their records): four shards of 3, 2, 2 and 2 runs
data/g10.txt 1 200 0 0.3 profile=design
data/g10.txt 2 200 0 0.3 profile=design
data/g10.txt 3 150 1 0.5 profile=design

data/g20.txt 1 200 0 0.3 profile=design   #a comment after a run
data/g20.txt 2 100 0 0.2 profile=design
data/g20.txt 3 200 1 0.4 profile=design
data/g10.txt 4 250 0 0.3 profile=design
data/g20.txt 4 150 0 0.6 profile=design
data/g10.txt 5 100 1 0.1 profile=design
EOF
cd "$root"
"$batch" --results "$tmp/work/local.jsonl" --record "$tmp/work/local.dat" --quiet --jobs 2 "$runs" ||
  die "the local smetp-batch failed"

# A wrapper that makes shard 2 fail while the file "fail-2" exists.
cat >"$tmp/work/batch-wrapper" <<EOF
#!/usr/bin/env bash
for arg; do
  if [[ \$arg == 2/4 && -e $tmp/work/fail-2 ]]; then
    echo "injected failure of shard 2" >&2
    exit 3
  fi
done
exec "$batch" "\$@"
EOF
chmod +x "$tmp/work/batch-wrapper"
out=$tmp/work/sweep
# A sweep of $runs in $shards shards through $wrapper into $out.
shards=4
wrapper=$tmp/work/batch-wrapper
sweep() {
  local status=0
  scripts/sweep "$runs" "$shards" --out "$out" --batch "$wrapper" --lab "$lab" "$@" \
    >"$tmp/work/sweep.stdout" 2>"$tmp/work/sweep.stderr" || status=$?
  sed 's/^/  | /' "$tmp/work/sweep.stderr"
  return "$status"
}
expect_status() {
  local want=$1 got=0
  shift
  "$@" || got=$?
  ((got == want)) || die "$* exited with status $got, expected $want"
}
grep_err() {
  grep -qE "$1" "$tmp/work/sweep.stderr" || die "scripts/sweep did not report: $1"
}
# Compares a sweep's merged results and records with the local run's, masking times, for the
# runs given by index (all runs when none are given).
compare() {
  local prefix=${local_prefix:-$tmp/work/local}
  python3 - "$prefix.jsonl" "$prefix.dat" "$out/results.jsonl" "$out/out.dat" "$@" <<'EOF'
import json, re, sys
local_results, local_record, results, record = sys.argv[1:5]
def mask_record(text):
    return re.sub(r"^(time|sec|totSec):.*$", r"\1: <masked>", text, flags=re.M)
def load(path):
    out = []
    for line in open(path):
        r = json.loads(line)
        for key in ("seconds", "seconds_to_best"):
            assert key in r, f"{path}: no {key}"
            r[key] = None
        r["record"] = mask_record(r["record"])
        out.append(r)
    return out
want = load(local_results)
if len(sys.argv) > 5:
    want = [want[int(i)] for i in sys.argv[5:]]
got = load(results)
assert [r["index"] for r in got] == [r["index"] for r in want], \
    f"indices {[r['index'] for r in got]} != {[r['index'] for r in want]}"
for g, w in zip(got, want):
    assert g == w, f"run {w['index']} differs:\n{g}\n{w}"
want_record = "".join(r["record"] for r in want)
if len(sys.argv) == 5:
    assert mask_record(open(local_record).read()) == want_record, "local record != its results"
assert mask_record(open(record).read()) == want_record, "merged record differs"
print(f"slurm test: {len(got)} merged runs equal the local run's")
EOF
}

touch "$tmp/work/fail-2"
expect_status 1 sweep
grep_err "shard 2 of 4 did not finish: FAILED"
grep_err "injected failure of shard 2"
[[ ! -e $out/results.jsonl && ! -e $out/out.dat ]] || die "a failed sweep merged results"
for k in 0 1 3; do
  [[ -s $out/shards/shard-$k-of-4.jsonl ]] || die "shard $k left no results"
done
[[ -z $(find "$out/shards" -name '.*.part') ]] || die "a failed shard left a partial file"
echo "slurm test: a failing shard stops the sweep ($((SECONDS - started))s)"

expect_status 2 sweep --partial
grep_err "submitting shards 2$"
grep -qx "missing run 2 ($runs:4): data/g10.txt 3 150 1 0.5 profile=design" "$tmp/work/sweep.stdout" ||
  die "--partial did not list run 2 as missing"
grep -qx "missing run 6 ($runs:9): data/g10.txt 4 250 0 0.3 profile=design" "$tmp/work/sweep.stdout" ||
  die "--partial did not list run 6 as missing"
[[ $(grep -c '^missing run' "$tmp/work/sweep.stdout") == 2 ]] || die "--partial listed other runs"
compare 0 1 3 4 5 7 8 || die "the partial merge differs from the local run"
echo "slurm test: --partial merges the finished shards ($((SECONDS - started))s)"

# Resume: shard 2 now succeeds; shard 1 is cut short so that it counts as unfinished; shards 0
# and 3 are complete and must stay untouched.
rm "$tmp/work/fail-2"
sed -i '$d' "$out/shards/shard-1-of-4.jsonl"
before=$(stat -c '%i %Y' "$out/shards/shard-0-of-4.jsonl" "$out/shards/shard-3-of-4.jsonl")
expect_status 0 sweep
grep_err "2 of 4 shards already complete; submitting shards 1-2$"
[[ $(stat -c '%i %Y' "$out/shards/shard-0-of-4.jsonl" "$out/shards/shard-3-of-4.jsonl") == "$before" ]] ||
  die "a resumed sweep ran a complete shard again"
compare || die "the merged sweep differs from the local run"
echo "slurm test: a resumed sweep reruns only unfinished shards ($((SECONDS - started))s)"

cp "$out/results.jsonl" "$tmp/work/first.jsonl"
expect_status 0 sweep
grep_err "all 4 shards of 9 runs are complete; merging"
cmp -s "$out/results.jsonl" "$tmp/work/first.jsonl" || die "merging complete shards again changed the results"

# A shard stopped part way, as Slurm stops one at its time limit (SIGTERM), keeps the runs it
# finished; the next sweep resumes it after them. The wrapper stops shard 0 of 2 once its
# first result is out, while the file "stop-0" exists.
runs2=$tmp/work/runs2.txt
for seed in 1 2 3 4 5 6; do echo "data/g45.txt $seed 3000 0 0.3 profile=design"; done >"$runs2"
"$batch" --results "$tmp/work/local2.jsonl" --record "$tmp/work/local2.dat" --quiet --jobs 2 "$runs2" ||
  die "the local smetp-batch of the second runs file failed"
cat >"$tmp/work/stop-wrapper" <<EOF
#!/usr/bin/env bash
results=
previous=
for arg; do
  [[ \$previous == --results ]] && results=\$arg
  previous=\$arg
done
if [[ " \$* " == *" 0/2 "* && -e $tmp/work/stop-0 ]]; then
  "$batch" "\$@" &
  pid=\$!
  until [[ -s \$results ]] || ! kill -0 \$pid 2>/dev/null; do sleep 0.02; done
  kill -TERM \$pid
  wait \$pid
  exit \$?
fi
exec "$batch" "\$@"
EOF
chmod +x "$tmp/work/stop-wrapper"
out=$tmp/work/sweep2 runs=$runs2 shards=2 wrapper=$tmp/work/stop-wrapper
touch "$tmp/work/stop-0"
expect_status 1 sweep
part=$out/shards/.shard-0-of-2.jsonl.part
kept=$(wc -l <"$part" 2>/dev/null || echo 0)
((kept >= 1 && kept < 3)) || die "the stopped shard kept $kept of its 3 runs, expected 1 or 2"
rm "$tmp/work/stop-0"
expect_status 0 sweep
grep_err "shard 0: resuming after $kept finished runs"
grep -q "resuming from" "$out"/logs/shard-0-job*.out || die "shard 0 did not resume from its runs"
local_prefix=$tmp/work/local2 compare || die "the resumed shard's sweep differs from the local run"
echo "slurm test: a shard stopped part way resumes after its finished runs ($((SECONDS - started))s)"

# A "%" in --out is passed to sbatch as "%%": the shards run and their logs lie where the
# sweep names them, under the folder as given.
out="$tmp/work/sweep%x" runs=$tmp/work/runs.txt shards=4 wrapper=$batch
expect_status 0 sweep
for k in 0 1 2 3; do
  compgen -G "$out/logs/shard-$k-job*.out" >/dev/null || die "no log of shard $k under $out/logs"
done
local_prefix=$tmp/work/local compare || die "the sweep into a folder with % differs from the local run"
echo "slurm test: --out with % runs and logs where named ($((SECONDS - started))s)"

# A GPU sweep asks for a GPU per shard; this cluster has none, so sbatch refuses it.
expect_status 1 scripts/sweep "$runs" 2 --out "$tmp/work/gpu" --gpu --batch "$batch" --lab "$lab" \
  2>"$tmp/work/gpu.stderr"
grep -qi "gres" "$tmp/work/gpu.stderr" || die "--gpu did not ask sbatch for a GPU"

echo "slurm test: PASS in $((SECONDS - started))s"
