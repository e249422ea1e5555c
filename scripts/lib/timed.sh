# shellcheck shell=bash
# Sourced by the scripts that time whole kdr processes.
# timed NAME COMMAND...: runs the command in a subshell of its own, which
# writes, into the folder $timed_dir: NAME.out and NAME.err (its output),
# NAME.rc, NAME.wall (seconds) and NAME.cpu (its user + system seconds, from
# the shell's `times`, to the millisecond). A command still running after
# $timed_limit seconds (default 300) is stopped, exit 124.
timed() {
    local name=$1
    shift
    (
        start=$EPOCHREALTIME
        rc=0
        timeout "${timed_limit:-300}" "$@" >"${timed_dir:?}/$name.out" 2>"$timed_dir/$name.err" || rc=$?
        end=$EPOCHREALTIME
        echo "$rc" >"$timed_dir/$name.rc"
        awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", b - a }' >"$timed_dir/$name.wall"
        # Not `times | awk`: a pipeline's side is a new process, with no
        # children of its own.
        times >"$timed_dir/$name.times"
        awk 'NR == 2 {
            n = split($0, f, /[ \t]+/); total = 0
            for (i = 1; i <= n; i++) { split(f[i], p, /[ms]/); total += p[1] * 60 + p[2] }
            printf "%.3f\n", total }' "$timed_dir/$name.times" >"$timed_dir/$name.cpu"
    )
}
