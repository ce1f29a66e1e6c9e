#!/bin/sh
# TLS peers of test_tls on loopback: nginx with test certificates (one port
# each) and tls_peer.py for what nginx cannot do. Both stop by themselves.
#   peers.sh start DIR    makes certificates, starts the peers, writes DIR/peers.txt
#   peers.sh stop DIR     stops what start started (by the process ids it recorded)
# Environment: NGINX, OPENSSL, PYTHON3 (programs), OXR_TLS_PEER_LIFETIME (s, 1200).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
cmd=${1:?start or stop}
dir=${2:?directory}
nginx=${NGINX:-nginx}
unset NGINX # nginx itself would read it as a list of inherited sockets
OPENSSL=${OPENSSL:-openssl}
PYTHON3=${PYTHON3:-python3}
life=${OXR_TLS_PEER_LIFETIME:-1200}

stop_peers() {
    for f in "$dir/nginx.watch" "$dir/peer.watch"; do
        if [ -f "$f" ]; then
            kill "$(cat "$f")" 2>/dev/null || true
            rm -f "$f"
        fi
    done
}

if [ "$cmd" = stop ]; then
    stop_peers
    echo "TLS peers stopped"
    exit 0
fi
[ "$cmd" = start ] || { echo "usage: $0 start|stop DIR" >&2; exit 2; }

for p in "$nginx" "$OPENSSL" "$PYTHON3" timeout; do
    command -v "$p" >/dev/null 2>&1 || { echo "peers.sh: $p not found (see README)" >&2; exit 1; }
done

stop_peers
rm -rf "$dir"
mkdir -p "$dir/www" "$dir/tmp" "$dir/ca"
cd "$dir"

# ---------------------------------------------------------------- certificates
# A test CA signs the server certificates; the self-signed one is its own issuer.
newkey() { "$OPENSSL" genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }
cat > ca/ca.cnf <<'EOF'
[ca]
default_ca = test
[test]
database = ca/index.txt
new_certs_dir = ca
serial = ca/serial
unique_subject = no
default_md = sha256
policy = any
copy_extensions = none
[any]
commonName = supplied
[trusted]
subjectAltName = DNS:localhost,IP:127.0.0.1,IP:::1
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
[wrongname]
subjectAltName = DNS:other.example
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
[wildcard]
subjectAltName = DNS:*.cam.test
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
[cnonly]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
EOF
: > ca/index.txt
echo 1000 > ca/serial
newkey ca.key
"$OPENSSL" req -x509 -new -key ca.key -out ca.pem -days 3 -subj "/CN=oxrhttp test CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
sign() { # NAME EXTENSIONS SUBJECT VALIDITY...
    name=$1 ext=$2 subject=$3
    shift 3
    newkey "$name.key"
    "$OPENSSL" req -new -key "$name.key" -out "ca/$name.csr" -subj "$subject"
    "$OPENSSL" ca -batch -notext -config ca/ca.cnf -cert ca.pem -keyfile ca.key \
        -in "ca/$name.csr" -out "$name.pem" -extensions "$ext" "$@" 2>>ca/ca.log || { cat ca/ca.log >&2; exit 1; }
}
sign trusted trusted "/CN=localhost" -days 2
sign wrongname wrongname "/CN=other.example" -days 2
sign wildcard wildcard "/CN=wildcard" -days 2
sign cnonly cnonly "/CN=localhost" -days 2
sign expired trusted "/CN=localhost" -startdate 20200101000000Z -enddate 20200102000000Z
newkey selfsigned.key
"$OPENSSL" req -x509 -new -key selfsigned.key -out selfsigned.pem -days 2 -subj "/CN=localhost" \
    -addext subjectAltName=DNS:localhost,IP:127.0.0.1 -addext extendedKeyUsage=serverAuth
fingerprint() { "$OPENSSL" x509 -in "$1" -outform DER | "$OPENSSL" dgst -sha256 -r | cut -d' ' -f1; }

# ---------------------------------------------------------------- content and ports
# Byte i of every served file is pattern(i mod 65521); test_tls computes the same.
"$PYTHON3" - <<'EOF'
period = bytes(((x * 131) + (x >> 9)) & 0xFF for x in range(65521))
def write(name, size):
    data = period * (size // len(period) + 1)
    with open("www/" + name, "wb") as f:
        f.write(data[:size])
write("small.bin", 300001)
write("large.bin", 32 * 1024 * 1024)
# Parts of 1000, 70000 and 5 pattern bytes, as a camera's multipart body.
with open("www/stream.mjpg", "wb") as f:
    for size in (1000, 70000, 5):
        f.write(b"--fr\r\nContent-Type: image/jpeg\r\nContent-Length: %d\r\n\r\n" % size)
        f.write((period * 2)[:size] + b"\r\n")
    f.write(b"--fr--\r\n")
EOF
# Free ports for nginx (the suite runs in its own network namespace, so
# nothing else takes them before nginx does).
set -- $("$PYTHON3" -c '
import socket
socks = [socket.socket() for _ in range(8)]
for s in socks: s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in socks))')
p_trusted=$1 p_selfsigned=$2 p_wrongname=$3 p_expired=$4 p_tls12=$5 p_tls13=$6
p_wildcard=$7 p_cnonly=$8
ipv6=0
if "$PYTHON3" -c "import socket; s=socket.socket(socket.AF_INET6); s.bind(('::1', $p_trusted))" 2>/dev/null; then
    ipv6=1
fi
listen6=""
[ "$ipv6" = 1 ] && listen6="listen [::1]:$p_trusted ssl;"
user=
[ "$(id -u)" != 0 ] || user="user root root;"
sed -e "s|@DIR@|$dir|g" -e "s|@USER@|$user|" -e "s|@P_TRUSTED@|$p_trusted|g" -e "s|@LISTEN6_TRUSTED@|$listen6|g" \
    -e "s|@P_SELFSIGNED@|$p_selfsigned|g" -e "s|@P_WRONGNAME@|$p_wrongname|g" \
    -e "s|@P_EXPIRED@|$p_expired|g" -e "s|@P_TLS12@|$p_tls12|g" -e "s|@P_TLS13@|$p_tls13|g" \
    -e "s|@P_WILDCARD@|$p_wildcard|g" -e "s|@P_CNONLY@|$p_cnonly|g" \
    "$here/nginx.conf.in" > nginx.conf
"$nginx" -t -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" >nginx.check 2>&1 || {
    cat nginx.check >&2
    exit 1
}

# ---------------------------------------------------------------- start
# setsid: the peers outlive this script; timeout: they end even if stop never runs.
# No output stays connected to CTest's pipes, or CTest would wait for them.
setsid timeout -k 5 "$life" "$nginx" -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" \
    </dev/null >nginx.out 2>&1 &
echo $! > nginx.watch
setsid timeout -k 5 "$life" "$PYTHON3" "$here/tls_peer.py" "$dir" "$life" \
    </dev/null >peer.out 2>&1 &
echo $! > peer.watch

"$PYTHON3" - "$p_trusted" "$p_selfsigned" "$p_wrongname" "$p_expired" "$p_tls12" "$p_tls13" \
    "$p_wildcard" "$p_cnonly" <<'EOF' || {
import os, socket, sys, time
deadline = time.time() + 10
ports = [int(p) for p in sys.argv[1:]]
while time.time() < deadline:
    try:
        for p in ports:
            socket.create_connection(("127.0.0.1", p), timeout=1).close()
        if os.path.exists("peer.ports"):
            sys.exit(0)
    except OSError:
        pass
    time.sleep(0.1)
sys.exit(1)
EOF
    echo "peers.sh: peers did not come up" >&2
    cat error.log nginx.out peer.out >&2 2>/dev/null || true
    stop_peers
    exit 1
}

{
    echo "dir $dir"
    echo "trusted $p_trusted"
    echo "selfsigned $p_selfsigned"
    echo "wrongname $p_wrongname"
    echo "expired $p_expired"
    echo "tls12 $p_tls12"
    echo "tls13 $p_tls13"
    echo "wildcard $p_wildcard"
    echo "cnonly $p_cnonly"
    echo "ipv6 $ipv6"
    cat peer.ports
    echo "fp_trusted $(fingerprint trusted.pem)"
    echo "fp_selfsigned $(fingerprint selfsigned.pem)"
    echo "fp_wrongname $(fingerprint wrongname.pem)"
    echo "fp_expired $(fingerprint expired.pem)"
    echo "fp_wildcard $(fingerprint wildcard.pem)"
    echo "fp_cnonly $(fingerprint cnonly.pem)"
    echo "small_size 300001"
    echo "large_size $((32 * 1024 * 1024))"
} > peers.txt.part
mv peers.txt.part peers.txt
echo "TLS peers up for ${life} s:"
cat peers.txt
