#!/usr/bin/env bash
# Load benchmark of r64tool serve beside Debian's iipimage-server (FastCGI behind
# lighttpd), on loopback only. One 8192x8192 picture is served as r64, as cr and as a
# pyramid TIFF (vips tiffsave --tile --pyramid --compression jpeg --Q 80); wrk sends
# the same random IIIF tile requests (256-pixel tiles of every level) to each server,
# 64 connections for 10 s, twice: right after the server starts (cold) and again
# (warm). Prints tiles/s, p50 and p99 latency, errors and the server's peak memory
# (the sum of its processes' peak resident sizes), and the ratios to iipsrv.
#   bench/serve_load.sh [BUILD_DIR] [SECONDS] [CONNECTIONS]
# Every server started here is stopped by its process id when the script ends.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-10}
connections=${3:-64}
size=8192
tool="$build/r64tool"
[ -x "$tool" ] || { echo "no $tool; build the project first" >&2; exit 1; }
need=()
command -v wrk >/dev/null || need+=(wrk)
command -v vips >/dev/null || need+=(libvips-tools)
command -v lighttpd >/dev/null || need+=(lighttpd)
[ -x /usr/lib/iipimage-server/iipsrv.fcgi ] || need+=(iipimage-server)
[ ${#need[@]} -eq 0 ] || scripts/install-deps.sh "${need[@]}"

work=$(mktemp -d "${TMPDIR:-/tmp}/serve_load.XXXXXX")
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    [ -n "${R64_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

free_port() {
    /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

echo "== the picture: ${size}x${size}, smooth noise in three bands plus grain =="
vips perlin "$work/a.v" $size $size --cell-size 512
vips perlin "$work/b.v" $size $size --cell-size 96 --seed 7
vips perlin "$work/c.v" $size $size --cell-size 24 --seed 11
vips bandjoin "$work/a.v $work/b.v $work/c.v" "$work/abc.v"
vips linear "$work/abc.v" "$work/pic.png" "110 120 100" "128 128 128" --uchar
mkdir -p "$work/r64" "$work/cr" "$work/tif"
"$tool" import "$work/pic.png" "$work/r64/pic.r64" >/dev/null
"$tool" tocr "$work/r64/pic.r64" "$work/cr/pic.cr" --tile 256 >/dev/null
vips tiffsave "$work/pic.png" "$work/tif/pic.tif" --tile --tile-width 256 --tile-height 256 \
    --pyramid --compression jpeg --Q 80
rm -f "$work"/*.v
ls -l "$work/r64/pic.r64" "$work/cr/pic.cr" "$work/tif/pic.tif" | awk '{print "  " $5 "\t" $9}'

# The requests: 4000 random 256-pixel tiles, every level equally likely, in the IIIF
# form both servers take (region x,y,w,h in full-size pixels, size w,h).
/usr/bin/python3 - "$work/tiles.lua" $size <<'PY'
import random, sys
out, n = sys.argv[1], int(sys.argv[2])
random.seed(13)
levels = []
w = n
while True:
    levels.append(w)
    if w <= 256:
        break
    w = (w + 1) // 2
paths = []
for _ in range(4000):
    k = random.randrange(len(levels))
    lw = levels[k]
    cols = (lw + 255) // 256
    tx, ty = random.randrange(cols), random.randrange(cols)
    s = 1 << k
    x, y = tx * 256 * s, ty * 256 * s
    rw, rh = min(256 * s, n - x), min(256 * s, n - y)
    ow, oh = min(256, lw - tx * 256), min(256, lw - ty * 256)
    paths.append(f"/{x},{y},{rw},{rh}/{ow},{oh}/0/default.jpg")
with open(out, "w") as f:
    f.write("paths = {\n" + ",\n".join(f'"{p}"' for p in paths) + "}\n")
    f.write('''
prefix = os.getenv("PREFIX")
counter = 0
function setup(thread) thread:set("id", counter); counter = counter + 1 end
function init(args) math.randomseed(1234 + id) end
function request() return wrk.format("GET", prefix .. paths[math.random(#paths)]) end
function done(summary, latency, requests)
  local e = summary.errors
  io.write(string.format("RESULT %.1f %.2f %.2f %d\\n", summary.requests / (summary.duration / 1e6),
    latency:percentile(50) / 1000, latency:percentile(99) / 1000,
    e.connect + e.read + e.write + e.status + e.timeout))
end
''')
PY

peak_kb() { # the sum of VmHWM of the given processes and their children
    local total=0 p
    for p in "$@"; do
        for q in $p $(ps -o pid= --ppid "$p" 2>/dev/null); do
            local v
            v=$(awk '/VmHWM/ {print $2}' "/proc/$q/status" 2>/dev/null || echo 0)
            total=$((total + ${v:-0}))
        done
    done
    echo $total
}

wait_http() { # port path
    for _ in $(seq 100); do
        if /usr/bin/python3 -c "import http.client,sys; c=http.client.HTTPConnection('127.0.0.1',$1,timeout=2); c.request('GET','$2'); sys.exit(c.getresponse().status!=200)" 2>/dev/null; then
            return 0
        fi
        sleep 0.1
    done
    echo "server on port $1 did not answer $2" >&2
    return 1
}

declare -A result
run_wrk() { # label prefix-url pid
    local out
    out=$(PREFIX="$2" wrk -t2 -c"$connections" -d"${seconds}s" --timeout 10s -s "$work/tiles.lua" \
        "http://127.0.0.1:${port}/" | awk '/^RESULT/ {print $2, $3, $4, $5}')
    result[$1]="$out $(( $(peak_kb "$3") / 1024 ))"
    printf '  %-12s %s\n' "$1" "${result[$1]}"
}

echo
echo "== load: wrk -t2 -c$connections -d${seconds}s, random tiles over every level =="
echo "  server       tiles/s p50(ms) p99(ms) errors peak-MB"
for kind in r64 cr; do
    port=$(free_port)
    "$tool" serve "$work/$kind" --port "$port" >"$work/serve-$kind.out" 2>"$work/serve-$kind.log" &
    pid=$!
    pids+=("$pid")
    wait_http "$port" /iiif/3/pic/info.json
    run_wrk "$kind-cold" "/iiif/3/pic" "$pid"
    run_wrk "$kind-warm" "/iiif/3/pic" "$pid"
    kill "$pid"
    wait "$pid" || true
done

port=$(free_port)
cores=$(nproc)
cat >"$work/lighttpd.conf" <<EOF
server.modules = ("mod_fastcgi")
server.document-root = "$work/tif"
server.bind = "127.0.0.1"
server.port = $port
server.errorlog = "$work/lighttpd.log"
server.max-connections = 1024
fastcgi.server = ( "/fcgi-bin/iipsrv.fcgi" => (( "socket" => "$work/iipsrv.sock",
    "check-local" => "disable", "min-procs" => $cores, "max-procs" => $cores,
    "bin-path" => "/usr/lib/iipimage-server/iipsrv.fcgi",
    "bin-environment" => ( "LOGFILE" => "$work/iipsrv.log", "VERBOSITY" => "0",
        "FILESYSTEM_PREFIX" => "$work/tif/", "JPEG_QUALITY" => "80",
        "MAX_IMAGE_CACHE_SIZE" => "256", "MAX_CVT" => "8192" ) )) )
EOF
lighttpd -D -f "$work/lighttpd.conf" &
pid=$!
pids+=("$pid")
wait_http "$port" "/fcgi-bin/iipsrv.fcgi?IIIF=pic.tif/info.json"
run_wrk "iipsrv-cold" "/fcgi-bin/iipsrv.fcgi?IIIF=pic.tif" "$pid"
run_wrk "iipsrv-warm" "/fcgi-bin/iipsrv.fcgi?IIIF=pic.tif" "$pid"

echo
echo "== ratios to iipsrv (tiles/s: higher is better; p99 and memory: lower is better) =="
for kind in r64 cr; do
    for t in cold warm; do
        read -r a_tps _ a_p99 a_err a_mem <<<"${result[$kind-$t]}"
        read -r b_tps _ b_p99 b_err b_mem <<<"${result[iipsrv-$t]}"
        awk -v k="$kind-$t" -v at="$a_tps" -v bt="$b_tps" -v ap="$a_p99" -v bp="$b_p99" \
            -v am="$a_mem" -v bm="$b_mem" -v ae="$a_err" -v be="$b_err" \
            'BEGIN { printf "  %-9s tiles/s x%.2f  p99 x%.2f  memory x%.2f  errors %d vs %d\n",
                     k, at / bt, ap / bp, (bm > 0 ? am / bm : 0), ae, be }'
    done
done
echo "(one machine, shared and noisy: wrk and the server share its $(nproc) cores)"
