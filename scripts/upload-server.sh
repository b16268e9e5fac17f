# Starts the bundled upload server in the background on 127.0.0.1:5678 and waits until it
# listens. Sourced by scripts/demo.sh and the benchmarks:
#
#   start_upload_server <upload-server binary> <store folder> <log prefix> [option ...]
#
# The server writes <log prefix>.out and <log prefix>.log. Sets upload_server_pid, which the
# caller kills when it is done (a trap). Returns 1, saying why on standard error, when the server
# does not listen within five seconds.
start_upload_server() {
    local binary=$1 store=$2 log=$3
    shift 3
    "$binary" --address 127.0.0.1 --port 5678 --store "$store" "$@" >"$log.out" 2>"$log.log" &
    upload_server_pid=$!
    for _ in $(seq 50); do
        grep -q listening "$log.out" 2>/dev/null && return 0
        kill -0 "$upload_server_pid" 2>/dev/null || break
        sleep 0.1
    done
    echo "the upload server did not start: $(cat "$log.log")" >&2
    return 1
}
