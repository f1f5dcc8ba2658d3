#!/bin/bash
# A one-node Slurm cluster in a folder of its own, for the tests: its own munge key and socket,
# configuration, state, logs and ports; nothing under /etc or /run is read or written.
#   slurm_cluster.sh start DIR   prints the SLURM_CONF to use; exit 77 when no cluster can run here
#   slurm_cluster.sh stop DIR    ends the daemons it started (by their pid files)
set -u
cmd=${1:-}
dir=${2:-}
[ -n "$cmd" ] && [ -n "$dir" ] || { echo "usage: $0 start|stop DIR" >&2; exit 2; }

stop() {
  for name in slurmd slurmctld munged; do
    [ -f "$dir/$name.pid" ] || continue
    pid=$(cat "$dir/$name.pid")
    # Only the process this script started: its command line names this folder.
    if [ -n "$pid" ] && grep -qF "$dir" "/proc/$pid/cmdline" 2>/dev/null; then
      kill "$pid" 2>/dev/null
      for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -9 "$pid" 2>/dev/null
    fi
    rm -f "$dir/$name.pid"
  done
}

skip() {
  echo "no Slurm cluster here: $*" >&2
  stop
  exit 77
}

case "$cmd" in
  stop) stop; exit 0 ;;
  start) ;;
  *) echo "usage: $0 start|stop DIR" >&2; exit 2 ;;
esac

for tool in munged mungekey slurmctld slurmd sbatch squeue sinfo; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (Debian: munge, slurmctld, slurmd, slurm-client)"
done
mkdir -p "$dir/state" "$dir/spool" || skip "cannot make $dir"
dir=$(cd "$dir" && pwd)
# munge refuses keys and sockets in folders others may write to; the folder is ours alone.
chmod 700 "$dir"

mungekey -c -k "$dir/munge.key" 2>"$dir/mungekey.log" || skip "mungekey failed: $(cat "$dir/mungekey.log")"
chmod 400 "$dir/munge.key"
munged -f --key-file="$dir/munge.key" --socket="$dir/munge.sock" --pid-file="$dir/munged.pid" \
  --log-file="$dir/munged.log" --seed-file="$dir/munged.seed" 2>>"$dir/munged.log" ||
  skip "munged did not start: $(tail -3 "$dir/munged.log")"

# Two free ports on loopback.
ports=$(python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(" ".join(str(x.getsockname()[1]) for x in s))') || skip "no free ports"
read -r ctld_port d_port <<<"$ports"
host=$(hostname -s)
# Room for a few tasks at once whatever the machine has: the test wants the array, not the speed.
cpus=4
user=$(id -un)
cat >"$dir/slurm.conf" <<EOF
ClusterName=vltest
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$d_port
SlurmUser=$user
SlurmdUser=$user
AuthType=auth/munge
AuthInfo=socket=$dir/munge.sock
CredType=cred/munge
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
ReturnToService=2
SlurmdParameters=config_overrides
SchedulerType=sched/builtin
NodeName=$host NodeAddr=127.0.0.1 CPUs=$cpus State=UNKNOWN
PartitionName=vltest Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
export SLURM_CONF="$dir/slurm.conf"
slurmctld -i -f "$SLURM_CONF" 2>>"$dir/slurmctld.log" || skip "slurmctld did not start: $(tail -3 "$dir/slurmctld.log")"
slurmd -f "$SLURM_CONF" 2>>"$dir/slurmd.log" || skip "slurmd did not start: $(tail -3 "$dir/slurmd.log")"
# Up when the node takes jobs.
for _ in $(seq 100); do
  state=$(sinfo -h -N -o %t 2>/dev/null | head -1)
  case "$state" in idle | mix | alloc) echo "$SLURM_CONF"; exit 0 ;; esac
  sleep 0.2
done
skip "the node did not come up (state '${state:-none}'): $(tail -3 "$dir/slurmctld.log" "$dir/slurmd.log" 2>/dev/null)"
