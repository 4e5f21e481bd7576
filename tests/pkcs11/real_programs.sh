#!/usr/bin/env bash
# Real programs over the PKCS#11 module, on a throw-away key store: pkcs11-tool
# lists, signs and decrypts (every signature checked by openssl against the
# public key Faldren exports), p11tool lists the objects' URLs, OpenSSL's
# pkcs11 engine makes a certificate and serves TLS 1.3 and 1.2 to curl, and
# ssh-keygen and ssh use the key against an sshd of our own. Servers listen on
# 127.0.0.1 only and are stopped on every way out.
# Usage: real_programs.sh MODULE BIN_DIR
set -euo pipefail
module=$1 bin=$2
top=$(cd "$(dirname "$0")/../.." && pwd)
"$top/scripts/deps.sh" opensc gnutls-bin libengine-pkcs11-openssl openssh-server openssh-client curl

work=$(mktemp -d "${TMPDIR:-/tmp}/keyhold-p11-XXXXXX")
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    [ -f "$work/sshd.pid" ] && kill "$(cat "$work/sshd.pid")" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
export KEYHOLD_ROOT="$work/root"
unset OPENSSL_CONF
cd "$work"

fail() { echo "FAILED: $*"; exit 1; }
ok() { echo "ok: $*"; }
# A port on 127.0.0.1 that nothing listens on now.
free_port() {
    local port
    while :; do
        port=$((20000 + RANDOM % 30000))
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "$port"; return; }
    done
}
wait_port() {
    for _ in $(seq 100); do
        (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
        sleep 0.05
    done
    fail "nothing listens on port $1"
}

# The key: made and exported by the programs, used through the module. A
# second key in the token makes sure each tool uses the one it was told to
# (pkcs11-tool's --label does not select a key to sign with; its --id does).
"$bin/Tessaro" /N:aaa /X >/dev/null
"$bin/Tessaro" /N:web /X >/dev/null
"$bin/Faldren" /N:web /F:public.blob >/dev/null
openssl rsa -pubin -inform MSBLOB -in public.blob -pubout -out public.pem 2>/dev/null
# CKA_ID: the SHA-1 of the modulus's big-endian bytes.
id=$(openssl rsa -pubin -in public.pem -noout -modulus | cut -d= -f2 | perl -ne 'chomp; print pack("H*", $_)' |
     sha1sum | cut -c1-40)
p11=(pkcs11-tool --module "$module" --token-label "keyhold user")

# --- pkcs11-tool --------------------------------------------------------------
slots=$(pkcs11-tool --module "$module" -L)
grep -q "token label *: keyhold user" <<<"$slots" && grep -q "token label *: keyhold machine" <<<"$slots" ||
    fail "pkcs11-tool -L: $slots"
objects=$("${p11[@]}" -O 2>&1)
[ "$(grep -c "label: *web" <<<"$objects")" = 2 ] && grep -qi "ID: *$id" <<<"$objects" ||
    fail "pkcs11-tool -O: $objects"
ok "pkcs11-tool lists both tokens and the key's two objects"

head -c 1000 /dev/urandom >data
"${p11[@]}" --id "$id" --sign -m SHA256-RSA-PKCS -i data -o sig.pkcs1 >/dev/null 2>&1
openssl dgst -sha256 -verify public.pem -signature sig.pkcs1 data >/dev/null || fail "SHA256-RSA-PKCS signature"
"${p11[@]}" --id "$id" --sign -m SHA256-RSA-PKCS-PSS -i data -o sig.pss >/dev/null 2>&1
openssl dgst -sha256 -verify public.pem -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:-1 \
    -signature sig.pss data >/dev/null || fail "SHA256-RSA-PKCS-PSS signature"
ok "pkcs11-tool signs with SHA256-RSA-PKCS and SHA256-RSA-PKCS-PSS; openssl verifies both"

head -c 100 /dev/urandom >plain
openssl pkeyutl -encrypt -pubin -inkey public.pem -pkeyopt rsa_padding_mode:oaep -pkeyopt rsa_oaep_md:sha256 \
    -pkeyopt rsa_mgf1_md:sha256 -in plain -out cipher
"${p11[@]}" --id "$id" --decrypt -m RSA-PKCS-OAEP --hash-algorithm SHA256 --mgf MGF1-SHA256 -i cipher \
    -o decrypted >/dev/null 2>&1
cmp -s plain decrypted || fail "RSA-PKCS-OAEP decryption"
ok "pkcs11-tool decrypts RSA-PKCS-OAEP (SHA-256) what openssl encrypted"

# --- p11tool ------------------------------------------------------------------
urls=$(p11tool --provider "$module" --list-all "pkcs11:token=keyhold%20user")
grep -q "URL: pkcs11:.*token=keyhold%20user;.*object=web;type=private" <<<"$urls" &&
    grep -q "URL: pkcs11:.*object=web;type=public" <<<"$urls" || fail "p11tool: $urls"
ok "p11tool lists the private and public key by their pkcs11: URLs"

# --- OpenSSL through the pkcs11 engine: a certificate, s_server, curl ---------------
engine=$(find /usr/lib -name pkcs11.so -path '*engines-3*' | head -n 1)
[ -n "$engine" ] || fail "no pkcs11 engine"
cat >openssl.cnf <<CNF
openssl_conf = init
[init]
engines = engines
[engines]
pkcs11 = pkcs11
[pkcs11]
dynamic_path = $engine
MODULE_PATH = $module
CNF
key="pkcs11:token=keyhold%20user;object=web;type=private"
OPENSSL_CONF=$PWD/openssl.cnf openssl req -new -x509 -engine pkcs11 -keyform engine -key "$key" \
    -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -days 1 -out cert.pem >/dev/null 2>&1 ||
    fail "openssl req with the engine's key"
openssl x509 -in cert.pem -noout -pubkey | cmp -s - public.pem || fail "certificate key differs from the stored one"
tls_port=$(free_port)
OPENSSL_CONF=$PWD/openssl.cnf openssl s_server -engine pkcs11 -keyform engine -key "$key" -cert cert.pem \
    -accept "127.0.0.1:$tls_port" -www >s_server.log 2>&1 &
pids+=($!)
wait_port "$tls_port"
curl -sS --max-time 10 --cacert cert.pem --tlsv1.3 "https://127.0.0.1:$tls_port/" >tls13.txt
grep -q "Protocol  : TLSv1.3" tls13.txt || fail "curl over TLS 1.3"
curl -sS --max-time 10 --cacert cert.pem --tlsv1.2 --tls-max 1.2 "https://127.0.0.1:$tls_port/" >tls12.txt
grep -q "Protocol  : TLSv1.2" tls12.txt || fail "curl over TLS 1.2"
ok "openssl req and s_server sign through the engine; curl fetches over TLS 1.3 and TLS 1.2"

# --- OpenSSH ------------------------------------------------------------------
ssh-keygen -i -m PKCS8 -f public.pem >exported.pub
ssh-keygen -D "$module" >module.pub 2>/dev/null
grep -qF "$(awk '{ print $1, $2 }' exported.pub)" module.pub || fail "ssh-keygen -D: $(cat module.pub)"
ok "ssh-keygen -D prints the key Faldren exports"

ssh_port=$(free_port)
user=$(id -un)
ssh-keygen -q -t ed25519 -N '' -f host_key
cp exported.pub authorized_keys
chmod 600 authorized_keys
cat >sshd_config <<CNF
ListenAddress 127.0.0.1
Port $ssh_port
HostKey $work/host_key
PidFile $work/sshd.pid
AuthorizedKeysFile $work/authorized_keys
AuthenticationMethods publickey
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
StrictModes no
UsePAM no
CNF
# sshd's privilege separation directory, missing on a fresh machine.
[ "$(id -u)" -ne 0 ] || [ -d /run/sshd ] || install -d -m 0755 /run/sshd
"$(command -v sshd || echo /usr/sbin/sshd)" -f sshd_config -E sshd.log
wait_port "$ssh_port"
greeting=$(ssh -F /dev/null -I "$module" -o IdentityAgent=none -o BatchMode=yes -o StrictHostKeyChecking=no \
    -o UserKnownHostsFile="$work/known_hosts" -p "$ssh_port" "$user@127.0.0.1" echo logged in with keyhold 2>ssh.err) ||
    fail "ssh -I: $(cat ssh.err sshd.log)"
[ "$greeting" = "logged in with keyhold" ] || fail "ssh -I: $greeting"
ok "ssh -I logs in to sshd with the stored key"
echo "7 passed, 0 failed"
