#!/usr/bin/env bash
# Builds keyhold in release mode into build-release/, runs every benchmark and
# writes docs/performance.md. Every figure of the table is a ratio against a
# peer measured in the same run, on this machine; below 1 means keyhold is
# faster. Not part of the tests.
#
# Environment: KEYHOLD_BENCH_SCALE (default 1) multiplies every run count;
# KEYHOLD_BENCH_QUICK=1 makes a short check run (few runs, small stores), whose
# table is printed but not written to docs/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
quick=${KEYHOLD_BENCH_QUICK:-0}
scale=${KEYHOLD_BENCH_SCALE:-1}

"$top/scripts/deps.sh" --tests libbenchmark-dev jq softhsm2 gnutls-bin openssh-client
cmake -S "$top" -B "$top/build-release" -DCMAKE_BUILD_TYPE=Release -DKEYHOLD_BENCH=ON >/dev/null
cmake --build "$top/build-release" -j 2 --target Vandrel Tessaro Morbeck Faldren Ombrix Quorvin \
    keyhold_run_timer keyhold_make_store keyhold_read_all keyhold_store_bench keyhold_no_fsync keyhold_gen_timer \
    keyhold_keygen_parts keyhold_pkcs11_bench keyhold-pkcs11 >/dev/null
bin="$top/build-release/bin"
no_fsync="LD_PRELOAD=$top/build-release/lib/libkeyhold_no_fsync.so"
gen_timer="LD_PRELOAD=$top/build-release/lib/libkeyhold_gen_timer.so"

work=$(mktemp -d "${TMPDIR:-/tmp}/keyhold-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
export KEYHOLD_ROOT="$work/root"
cd "$work"

runs() { # runs N: N scaled, at least 3 (quick: about a tenth)
    local n=$(( $1 * scale ))
    [ "$quick" = 1 ] && n=$(( n / 10 ))
    [ "$n" -lt 3 ] && n=3
    echo "$n"
}
loads=()
sample_load() { loads+=("$1: $(cut -d' ' -f1-4 /proc/loadavg)"); }
timer() { "$bin/keyhold_run_timer" "$@"; }
# Fields of run_timer's line for LABEL: 3 = median, 4 = 90th percentile (µs).
field() { awk -v l="$2" -v f="$3" '$1 == l { print $f }' "$1"; }
# Two decimals, or four below 0.01, where two would say nothing.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b <= 0) print "n/a"; else if (a / b < 0.01) printf "%.4f", a / b; else printf "%.2f", a / b }'; }
# Median and 90th percentile (nearest rank) of numbers on standard input.
median_p90() { sort -g | awk '{ v[NR] = $1 } END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    r = int(NR * 0.9 + 0.999999); if (r < 1) r = 1; printf "%.1f %.1f\n", m, v[r] }'; }
# outside RAW LABEL GENFILE: per run of LABEL, its wall time less the time its
# OpenSSL generation call took (GENFILE has one line a run, the warm-up first).
outside() { awk -v l="$2" 'NR == FNR { if (FNR > 1) gen[++g] = $1; next } $1 == l { print $2 - gen[++n] }' "$3" "$1" | median_p90; }

rows=()
row() { rows+=("| $1 | $2 | $3 | $4 |"); }

sample_load "start"

# --- key generation ----------------------------------------------------------
# Every command runs with OpenSSL's generation call timed (libkeyhold_gen_timer;
# Tessaro, certtool and ssh-keygen make no such call), so that what Morbeck
# costs beside the one call it shares with genrsa can be told apart from the
# call's own wide variation, and every command carries the same preload.
# certtool (GnuTLS on nettle, one thread) is the fastest generator a user could
# pick instead of the key store; ssh-keygen and genrsa are OpenSSL's.
gen_notes=()
for bits in 2048 4096; do
    n=$(runs $([ "$bits" = 2048 ] && echo 100 || echo 20))
    sample_load "key generation $bits"
    rm -f "gen-genrsa-$bits" "gen-Morbeck-$bits"
    # A 512-bit Tessaro run is nearly all start-up, container and store: what a
    # run costs beside its generation (the bound notes below).
    small=()
    [ "$bits" = 2048 ] && small=(::: Tessaro512 -- "$gen_timer" "$bin/Tessaro" /N:tessaro-512 /L:512)
    KEYHOLD_TIMER_RAW="raw-keygen-$bits.txt" timer "$n" 1 \
        genrsa -- "KEYHOLD_GEN_TIME_FILE=$work/gen-genrsa-$bits" "$gen_timer" openssl genrsa -out /dev/null "$bits" \
        ::: certtool -- "$gen_timer" certtool --generate-privkey --key-type rsa --bits "$bits" --outfile /dev/null \
        ::: ssh-keygen -- "KEYHOLD_TIMER_REMOVE=$work/ssh-$bits:$work/ssh-$bits.pub" "$gen_timer" \
            ssh-keygen -q -t rsa -b "$bits" -N "" -f "$work/ssh-$bits" \
        ::: Tessaro -- "KEYHOLD_GEN_TIME_FILE=$work/gen-Tessaro-$bits" "$gen_timer" "$bin/Tessaro" /N:tessaro-$bits /L:$bits \
        ::: Morbeck -- "KEYHOLD_GEN_TIME_FILE=$work/gen-Morbeck-$bits" "$gen_timer" "$bin/Morbeck" /N:morbeck-$bits /L:$bits \
        "${small[@]}" >"keygen-$bits.txt" 2>"keygen-$bits.err" || { grep -v '^[.+*]*$' "keygen-$bits.err" >&2; exit 1; }
    for peer in "certtool|certtool --generate-privkey --bits $bits" "genrsa|openssl genrsa $bits" \
                "ssh-keygen|ssh-keygen -t rsa -b $bits"; do
        label=${peer%%|*} name=${peer#*|}
        row "\`Tessaro /L:$bits\` (${n} runs)" "\`$name\`" \
            "$(ratio "$(field keygen-$bits.txt Tessaro 3)" "$(field keygen-$bits.txt "$label" 3)")" \
            "$(ratio "$(field keygen-$bits.txt Tessaro 4)" "$(field keygen-$bits.txt "$label" 4)")"
    done
    row "\`Morbeck /L:$bits\` (${n} runs)" "\`openssl genrsa $bits\`" \
        "$(ratio "$(field keygen-$bits.txt Morbeck 3)" "$(field keygen-$bits.txt genrsa 3)")" \
        "$(ratio "$(field keygen-$bits.txt Morbeck 4)" "$(field keygen-$bits.txt genrsa 4)")"
    read -r m_out m_out90 <<<"$(outside "raw-keygen-$bits.txt" Morbeck "gen-Morbeck-$bits")"
    read -r g_out g_out90 <<<"$(outside "raw-keygen-$bits.txt" genrsa "gen-genrsa-$bits")"
    read -r m_call m_call90 <<<"$(awk 'NR > 1' "gen-Morbeck-$bits" | median_p90)"
    read -r g_call g_call90 <<<"$(awk 'NR > 1' "gen-genrsa-$bits" | median_p90)"
    row "\`Morbeck /L:$bits\`, all but OpenSSL's generation call (${n} runs)" \
        "\`openssl genrsa $bits\`, all but the same call" "$(ratio "$m_out" "$g_out")" "$(ratio "$m_out90" "$g_out90")"
    row "\`Morbeck /L:$bits\`, OpenSSL's generation call alone (${n} runs)" \
        "\`openssl genrsa $bits\`, the same call" "$(ratio "$m_call" "$g_call")" "$(ratio "$m_call90" "$g_call90")"
    gen_notes+=("- $bits bits: outside the generation call Morbeck takes $(awk -v v="$m_out" 'BEGIN { printf "%.1f", v / 1000 }') ms"
        "  and genrsa $(awk -v v="$g_out" 'BEGIN { printf "%.1f", v / 1000 }') ms (medians); the difference is"
        "  $(awk -v a="$m_out" -v b="$g_out" -v g="$(field keygen-$bits.txt genrsa 3)" 'BEGIN { printf "%+.1f", (a - b) / g * 100 }')% of genrsa's median run."
        "  The call itself: Morbeck $(awk -v v="$m_call" 'BEGIN { printf "%.0f", v / 1000 }') ms, genrsa $(awk -v v="$g_call" 'BEGIN { printf "%.0f", v / 1000 }') ms (medians).")
done

# Where Tessaro's generation time goes, in one process: each generator's time
# per prime, what two cores make of it, the checks of a new pair, the whole
# generation. Run apart from the timings above, so that it takes no core from them.
sample_load "key generation parts"
"$bin/keyhold_keygen_parts" "$(runs 100)" 512 2048 >parts.txt
"$bin/keyhold_keygen_parts" "$(runs 30)" 4096 >>parts.txt
# part KIND [WORDS...] FIELD: the FIELDth word of the line KIND WORDS..., in ms.
part() {
    local kind=$1 field=${*: -1}
    local -a match=("${@:2:$#-2}")
    awk -v k="$kind" -v f="$field" -v m="${match[*]}" '
        $1 == k { n = split(m, w, " "); ok = 1; for (i = 1; i <= n; i++) if ($(i + 1) != w[i]) ok = 0
                  if (ok) { printf "%.1f", $f / 1000; exit } }' parts.txt
}
ms() { awk -v v="$1" 'BEGIN { printf "%.1f", v / 1000 }'; }
bound_notes=()
owner() { [ "$1" = nettle ] && echo "nettle's" || echo "OpenSSL's"; }
for bits in 2048 4096; do
    gen=$(awk -v b="$bits" '$1 == "generate" && $2 == b { print $8 }' parts.txt)
    threads=$(awk -v b="$bits" '$1 == "generate" && $2 == b { print $7 }' parts.txt)
    other=$([ "$gen" = nettle ] && echo openssl || echo nettle)
    tessaro=$(field keygen-$bits.txt Tessaro 3) certtool=$(field keygen-$bits.txt certtool 3)
    inproc=$(part generate "$bits" 4) check=$(part check "$bits" 3) floor=$(part pair "$gen" "$bits" 4)
    rest=$(awk -v t="$(field keygen-2048.txt Tessaro512 3)" -v g="$(part generate 512 4)" 'BEGIN { printf "%.1f", t / 1000 - g }')
    limit=$(awk -v f="$floor" -v c="$check" -v r="$rest" 'BEGIN { printf "%.1f", f + c + r }')
    bound_notes+=(
        "- $bits bits: a median \`Tessaro /L:$bits\` run takes $(ms "$tessaro") ms, certtool's $(ms "$certtool") ms."
        "  The key store made its primes with $(owner "$gen") generator on $threads threads; GenerateRsaKey alone"
        "  took $inproc ms (median; $(part generate "$bits" 6) ms of CPU). The rest of a run (process start, container,"
        "  encoding and the durable write) is about $rest ms: a \`Tessaro /L:512\` run less its generation."
        "  - One prime of $((bits / 2)) bits, one core: $(owner "$gen") generator $(part prime "$gen" "$bits" 5) ms (median; mean"
        "    $(part prime "$gen" "$bits" 7), 90th percentile $(part prime "$gen" "$bits" 6)); $(owner "$other") $(part prime "$other" "$bits" 5) ms (mean $(part prime "$other" "$bits" 7))."
        "  - The pair's two primes on two cores: $floor ms (median; 90th percentile $(part pair "$gen" "$bits" 5)) with $(owner "$gen"),"
        "    $(part pair "$other" "$bits" 4) ms with $(owner "$other"). A prime is one computation that cannot be shared"
        "    out; each core searches until two primes are in, and the pair has the second. That shares the"
        "    search for two primes as well as two cores can: on average a pair takes about one prime's mean"
        "    time, $(part prime "$gen" "$bits" 7) ms, the physical limit of two cores with this generator."
        "  - The checks of the new pair: $check ms. OpenSSL's EVP_PKEY_pairwise_check, which would test"
        "    both primes again, takes $(part pairwise_check "$bits" 3) ms."
        "  - So two cores allow about $limit ms a run (the pair's median + checks + the rest), a ratio to"
        "    certtool of $(ratio "$(awk -v l="$limit" 'BEGIN { print l * 1000 }')" "$certtool");"
        "    the measured median run is $(ms "$tessaro") ms with $(ms "$(field keygen-$bits.txt Tessaro 5)") ms of CPU (a run whose CPU time is not"
        "    above its wall time had one core's time, not two).")
done

# --- one-shot latency ----------------------------------------------------------
"$bin/Tessaro" /N:bench /X >/dev/null
"$bin/Faldren" /N:bench /K:7 /F:private.key >/dev/null
"$bin/Faldren" /N:bench /K:6 /F:public.key >/dev/null
"$bin/Quorvin" >/dev/null  # the default container, so later runs create nothing
n=$(runs 100)
sample_load "one-shot"
timer "$n" 5 true -- /bin/true \
    ::: rsa_private -- openssl rsa -inform MSBLOB -in private.key -noout \
    ::: rsa_public -- openssl rsa -pubin -inform MSBLOB -in public.key -noout \
    ::: Vandrel -- "$bin/Vandrel" /N:bench \
    ::: Faldren_public -- "$bin/Faldren" /N:bench /F:out-public.key \
    ::: Faldren_private -- "$bin/Faldren" /N:bench /K:7 /F:out-private.key \
    ::: Ombrix -- "$bin/Ombrix" /N:imported /X /F:private.key \
    ::: Quorvin -- "$bin/Quorvin" \
    ::: Faldren_nofsync -- "$no_fsync" "$bin/Faldren" /N:bench /K:7 /F:out-private.key \
    ::: Ombrix_nofsync -- "$no_fsync" "$bin/Ombrix" /N:imported /X /F:private.key >oneshot.txt
oneshot() { # label, shown name, peer label, peer name
    row "\`$2\` (${n} runs)" "$4" \
        "$(ratio "$(field oneshot.txt "$1" 3)" "$(field oneshot.txt "$3" 3)")" \
        "$(ratio "$(field oneshot.txt "$1" 4)" "$(field oneshot.txt "$3" 4)")"
}
for p in "Vandrel|Vandrel /N:" "Faldren_public|Faldren /F: (public)" "Faldren_private|Faldren /K:7 /F: (private)" \
         "Ombrix|Ombrix /F: (private)" "Quorvin|Quorvin (small store)"; do
    label=${p%%|*} name=${p#*|}
    peer=rsa_private
    [ "$label" = Faldren_public ] && peer=rsa_public
    oneshot "$label" "$name" "$peer" "\`openssl rsa -inform MSBLOB\` (same blob)"
    oneshot "$label" "$name" true "\`/bin/true\`"
done
# For scale only: the same runs with fsync made a no-op (LD_PRELOAD), to show
# what the durable writes cost; never how the programs are run.
oneshot Faldren_nofsync "Faldren /K:7 /F:, fsync skipped" rsa_private "\`openssl rsa -inform MSBLOB\` (same blob)"
oneshot Ombrix_nofsync "Ombrix /F:, fsync skipped" rsa_private "\`openssl rsa -inform MSBLOB\` (same blob)"

# A key blob file written into a directory of 100,000 other files costs what
# it costs beside a few: nothing on the way reads the directory.
mkdir big
(cd big && seq -f 'file-%06g' 100000 | xargs touch)
n=$(runs 30)
timer "$n" 2 few -- "$bin/Faldren" /N:bench /K:7 /F:out-private.key \
    ::: many -- "$bin/Faldren" /N:bench /K:7 /F:big/out-private.key >bigdir.txt
row "\`Faldren /K:7 /F:\` into a directory of 100,000 files (${n} runs)" "itself, into a directory of a few" \
    "$(ratio "$(field bigdir.txt many 3)" "$(field bigdir.txt few 3)")" \
    "$(ratio "$(field bigdir.txt many 4)" "$(field bigdir.txt few 4)")"
rm -rf big

# --- Quorvin at scale ----------------------------------------------------------
# Per container: (listing of N - listing of the empty store) / N, for Quorvin
# and for the system-call floor (keyhold_read_all) alike.
counts=(1000 10000 100000)
[ "$quick" = 1 ] && counts=(1000 10000)
export KEYHOLD_ROOT="$work/empty"
"$bin/Quorvin" >/dev/null
n=$(runs 30)
timer "$n" 2 Quorvin -- "$bin/Quorvin" ::: floor -- "$bin/keyhold_read_all" "$KEYHOLD_ROOT/users/$(id -u)" >scale-0.txt
base_q=$(field scale-0.txt Quorvin 3) base_f=$(field scale-0.txt floor 3)
declare -A per_container
for count in "${counts[@]}"; do
    export KEYHOLD_ROOT="$work/scale-$count"
    "$bin/keyhold_make_store" "$count" private.key
    "$bin/Quorvin" >/dev/null
    area="$KEYHOLD_ROOT/users/$(id -u)"
    case $count in 1000) n=$(runs 30) ;; 10000) n=$(runs 15) ;; *) n=$(runs 10) ;; esac
    sample_load "Quorvin $count"
    timer "$n" 1 Quorvin -- "$bin/Quorvin" ::: floor -- "$bin/keyhold_read_all" "$area" >scale-$count.txt
    q=$(awk -v t="$(field scale-$count.txt Quorvin 3)" -v b="$base_q" -v c="$count" 'BEGIN { printf "%.2f", (t - b) / c }')
    q90=$(awk -v t="$(field scale-$count.txt Quorvin 4)" -v b="$base_q" -v c="$count" 'BEGIN { printf "%.2f", (t - b) / c }')
    f=$(awk -v t="$(field scale-$count.txt floor 3)" -v b="$base_f" -v c="$count" 'BEGIN { printf "%.2f", (t - b) / c }')
    f90=$(awk -v t="$(field scale-$count.txt floor 4)" -v b="$base_f" -v c="$count" 'BEGIN { printf "%.2f", (t - b) / c }')
    per_container[$count]="$q"
    row "\`Quorvin\`, $count containers, per container (${n} runs)" "system-call floor (readdir, openat, pread, close)" \
        "$(ratio "$q" "$f")" "$(ratio "$q90" "$f90")"
    scale_notes+=("- $count containers: Quorvin ${q} µs per container (90th percentile ${q90}), floor ${f} µs")
    rm -rf "$KEYHOLD_ROOT"
done
first=${counts[0]} last=${counts[-1]}
row "\`Quorvin\` per container, $last vs $first containers" "itself at $first" \
    "$(ratio "${per_container[$last]}" "${per_container[$first]}")" "-"
export KEYHOLD_ROOT="$work/root"

# --- in-process store operations ------------------------------------------------
reps=$(runs 10)
sample_load "store operations"
"$bin/keyhold_store_bench" --benchmark_repetitions="$reps" --benchmark_min_time=0.2 \
    --benchmark_format=json --benchmark_out_format=json --benchmark_out=store.json >/dev/null 2>&1
# NAME FIELD -> median and 90th percentile over the repetitions, in µs. FIELD
# is a time, "rest" (the time less fsync_us), a counter in µs, or A-B of two.
stat() {
    jq -r --arg n "$1" --arg f "$2" '
      def us: if .time_unit == "ns" then 1e-3 elif .time_unit == "ms" then 1e3 else 1 end;
      [.benchmarks[] | select(.run_type == "iteration" and .run_name == $n)
       | (if $f == "rest" then .real_time * us - .fsync_us
          elif ($f | contains("-")) then ($f | split("-")) as $p | .[$p[0]] - .[$p[1]]
          elif ($f | endswith("_us")) then .[$f] else .[$f] * us end)]
      | sort | (length) as $l
      | "\(if $l % 2 == 1 then .[($l - 1) / 2] else (.[$l / 2 - 1] + .[$l / 2]) / 2 end) \(.[(($l * 0.9) | ceil) - 1])"' store.json
}
store_row() { # name, field, peer, peer field, text, peer text
    local a b
    read -r a a90 <<<"$(stat "$1" "$2")"
    read -r b b90 <<<"$(stat "$3" "$4")"
    row "$5 (${reps} repetitions)" "$6" "$(ratio "$a" "$b")" "$(ratio "$a90" "$b90")"
}
store_row BM_Acquire real_time BM_Peer_ReadContainerFile real_time "CryptAcquireContext + release" "raw read of the container file"
store_row BM_GetUserKey real_time BM_Peer_DecodePrivateBlob real_time "CryptGetUserKey (read, check, decode)" "OpenSSL \`b2i_PrivateKey\` of the blob"
store_row BM_ExportPublic real_time BM_Peer_EncodePublicBlob real_time "CryptExportKey PUBLICKEYBLOB" "OpenSSL \`i2b_PublicKey_bio\`"
store_row BM_ExportPrivate real_time BM_Peer_EncodePrivateBlob real_time "CryptExportKey PRIVATEKEYBLOB" "OpenSSL \`i2b_PrivateKey_bio\`"
store_row BM_ImportPrivate real_time BM_Peer_DecodeAndCheckPrivateBlob real_time "CryptImportKey 2048-bit private, all of it" "OpenSSL decode + \`EVP_PKEY_private_check\`, in memory"
for bits in 1024 2048 4096; do
    store_row "BM_ImportBesideFloor/$bits" import_us "BM_ImportBesideFloor/$bits" floor_us \
        "CryptImportKey $bits-bit private, without its fsync" "create, write, rename of a file of that size, without fsync, in turns with it"
done
store_row "BM_ImportBesideFloor/2048" import_fsync_us "BM_ImportBesideFloor/2048" floor_fsync_us \
    "CryptImportKey 2048-bit: its fsync time" "fsync of that file and its directory"
store_row "BM_StoreSizes/1" beside_100000_us "BM_StoreSizes/1" alone_us "CryptImportKey without its fsync, 100,000 other containers" "itself, no other container, in turns with it"
store_row "BM_StoreSizes/1" floor_beside_100000_us "BM_StoreSizes/1" floor_alone_us "the bare durable write of a file of that size, 100,000 other containers" "itself, no other container, in turns with it"
store_row "BM_StoreSizes/1" beside_100000_us-floor_beside_100000_us "BM_StoreSizes/1" alone_us-floor_alone_us "CryptImportKey less the bare durable write, 100,000 other containers" "the same, no other container"
store_row "BM_StoreSizes/0" beside_100000_us "BM_StoreSizes/0" alone_us "CryptGetUserKey, 100,000 other containers" "itself, no other container, in turns with it"
store_row BM_EnumerateContainer real_time BM_Peer_ReadEveryContainerFile real_time "PP_ENUMCONTAINERS over 1,000 containers" "readdir + openat + pread + close of each"
us() { awk -v v="$1" 'BEGIN { printf "%.0f", v }'; }
read -r fsync_med fsync_p90 <<<"$(stat BM_ImportBesideFloor/2048 import_fsync_us)"
read -r rest_med rest_p90 <<<"$(stat BM_ImportBesideFloor/2048 import_us)"
fsync_med=$(us "$fsync_med") fsync_p90=$(us "$fsync_p90") rest_med=$(us "$rest_med") rest_p90=$(us "$rest_p90")
# --- PKCS#11 module ----------------------------------------------------------------
# In one process (keyhold_pkcs11_bench), in turns: RSA-2048 signatures through
# the module beside OpenSSL's own EVP_PKEY_sign of the same key and SoftHSM2
# with that key imported, one thread and two; then searches by label.
p11_module="$top/build-release/lib/libkeyhold-pkcs11.so"
softhsm_module=$(find /usr/lib -name libsofthsm2.so | head -n 1)
export SOFTHSM2_CONF="$work/softhsm2.conf"
mkdir -p "$work/softhsm-tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$work/softhsm-tokens/" >"$SOFTHSM2_CONF"
softhsm2-util --init-token --free --label bench --pin 1234 --so-pin 1234 >/dev/null
export KEYHOLD_ROOT="$work/root"
"$bin/Tessaro" /N:bench-sign /X >/dev/null
p11_rounds=$(runs 30)
sample_load "PKCS#11 signing"
"$bin/keyhold_pkcs11_bench" sign "$p11_rounds" 50 "$p11_module" "$softhsm_module" >pkcs11-sign.txt
p11_row() { # file, label, peer label, text, peer text
    row "$4 (${p11_rounds} rounds)" "$5" "$(ratio "$(field "$1" "$2" 2)" "$(field "$1" "$3" 2)")" \
        "$(ratio "$(field "$1" "$2" 3)" "$(field "$1" "$3" 3)")"
}
p11_row pkcs11-sign.txt sign_keyhold sign_evp "PKCS#11 \`C_SignInit\` + \`C_Sign\`, RSA-2048 PKCS#1 v1.5, one thread" \
    "OpenSSL \`EVP_PKEY_sign\` of the same key, same process"
p11_row pkcs11-sign.txt sign_keyhold sign_softhsm "PKCS#11 \`C_SignInit\` + \`C_Sign\`, RSA-2048, one thread" \
    "SoftHSM2 \`C_SignInit\` + \`C_Sign\`, the same key imported"
p11_row pkcs11-sign.txt sign_keyhold_2threads sign_keyhold "PKCS#11 \`C_Sign\`, two threads at once, wall time per signature" \
    "itself, one thread"
# What the machine gave two threads meanwhile: OpenSSL alone, the same way.
p11_row pkcs11-sign.txt sign_evp_2threads sign_evp "OpenSSL \`EVP_PKEY_sign\`, two threads at once, wall time per signature" \
    "itself, one thread"
per_second() { awk -v v="$(field pkcs11-sign.txt "$1" 2)" 'BEGIN { printf "%.0f", 1e6 / v }'; }
p11_notes=("- RSA-2048 signatures per second (medians): the module $(per_second sign_keyhold) in one thread and"
    "  $(per_second sign_keyhold_2threads) in two, OpenSSL's \`EVP_PKEY_sign\` $(per_second sign_evp), SoftHSM2 $(per_second sign_softhsm);"
    "  one thread of the module reaches $(awk -v a="$(field pkcs11-sign.txt sign_evp 2)" -v b="$(field pkcs11-sign.txt sign_keyhold 2)" 'BEGIN { printf "%.2f", a / b }') of OpenSSL's rate, two threads"
    "  $(awk -v a="$(field pkcs11-sign.txt sign_keyhold 2)" -v b="$(field pkcs11-sign.txt sign_keyhold_2threads 2)" 'BEGIN { printf "%.2f", a / b }') times one thread's (OpenSSL alone:"
    "  $(awk -v a="$(field pkcs11-sign.txt sign_evp 2)" -v b="$(field pkcs11-sign.txt sign_evp_2threads 2)" 'BEGIN { printf "%.2f", a / b }') times).")

# Searches by label, in a store of 10 containers and one of 100,000 (each
# holding a 2048-bit key pair), and in SoftHSM2's token. SoftHSM2 (Debian's,
# file object store only) takes about 0.1 s to create an object and longer the
# more it holds, so its token gets 1,000 RSA public key objects, written with
# fsync made a no-op, and the module is measured at that count too.
large=100000 middle=1000 softhsm_count=1000
[ "$quick" = 1 ] && large=10000 softhsm_count=200 middle=200
for count in 10 "$middle" "$large"; do
    KEYHOLD_ROOT="$work/p11-$count" "$bin/keyhold_make_store" "$count" private.key
done
env "$no_fsync" "$bin/keyhold_pkcs11_bench" fill "$softhsm_module" "$softhsm_count"
sample_load "PKCS#11 search"
"$bin/keyhold_pkcs11_bench" find "$p11_rounds" 100 "$p11_module" "$softhsm_module" 1000 \
    "$work/p11-10" "$work/p11-$middle" "$work/p11-$large" >pkcs11-find.txt
p11_row pkcs11-find.txt find_keyhold_2 find_keyhold_0 "PKCS#11 search by label, $large containers" "itself, 10 containers"
p11_row pkcs11-find.txt find_keyhold_1 find_softhsm "PKCS#11 search by label, $middle containers" \
    "SoftHSM2 search by label, $softhsm_count objects"
p11_row pkcs11-find.txt find_keyhold_cold find_softhsm \
    "PKCS#11 search by label, $large containers, a label not searched before (file read and decoded)" \
    "SoftHSM2 search by label, $softhsm_count objects"
p11_notes+=("- Search by label (medians): the module $(field pkcs11-find.txt find_keyhold_0 2) µs among 10 containers,"
    "  $(field pkcs11-find.txt find_keyhold_2 2) µs among $large, $(field pkcs11-find.txt find_keyhold_cold 2) µs for a label's first search there;"
    "  SoftHSM2 $(field pkcs11-find.txt find_softhsm 2) µs among $softhsm_count objects.")
rm -rf "$work"/p11-* "$work/softhsm-tokens"
export KEYHOLD_ROOT="$work/root"
sample_load "end"

# --- the page ------------------------------------------------------------------
table=$(printf '%s\n' "| Measured | Peer | Median ratio | 90th percentile ratio |" "|---|---|---|---|" "${rows[@]}")
echo "$table"
if [ "$quick" = 1 ]; then
    printf '%s\n' "" "${bound_notes[@]}"
    exit 0
fi

{
    echo "# Performance"
    echo
    echo "Written by \`scripts/bench.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'). Every figure in the table is a"
    echo "ratio: the time of what keyhold does over the time of a peer doing the nearest work, both measured in"
    echo "this run on this machine, interleaved (A B A B ...) so that changes of load fall on both. Below 1.00"
    echo "keyhold is faster; 1.00 is a tie."
    echo
    echo "$table"
    echo
    echo "## How to read it"
    echo
    echo "- Programs are timed as whole runs (fork, exec, exit) with \`keyhold_run_timer\`; standard output"
    echo "  goes to /dev/null. Medians and 90th percentiles are over the runs given in each row."
    echo "- \`openssl rsa -inform MSBLOB\` is the nearest peer that parses the same blob layout: it loads the"
    echo "  library, reads and decodes the blob and exits. \`/bin/true\` shows the process start-up floor."
    echo "- \`Faldren\` writes its key blob file durably (temporary file, fsync, rename) and \`Ombrix\` stores"
    echo "  into the container durably; the peer writes nothing. Those fsyncs are the part of their time the"
    echo "  peer does not have; the durable write's cost is measured apart below."
    echo "- Quorvin at scale: per container means (median of the listing of N containers minus that of an"
    echo "  empty store) / N, so that process start-up does not hide in the figure; the peer is the same"
    echo "  quantity for the bare system calls of a listing (\`keyhold_read_all\`). Stores are written"
    echo "  directly with the store's own encoder, without fsync (\`keyhold_make_store\`), each container"
    echo "  holding a 2048-bit key pair."
    echo "- Rows marked \"fsync skipped\" run the program with fsync preloaded as a no-op, only to show how"
    echo "  much of its time the durable writes take."
    echo "- The last column of the raw timings is the median CPU time (user + system) of a run: above the"
    echo "  wall time when the run used more than one core (the key store searches for primes on every"
    echo "  core it may use), about equal when it had one."
    echo "- certtool is GnuTLS 3.7 on nettle, single-threaded. Tessaro makes its primes on every core it"
    echo "  may use, each searching until two are in: with nettle's generator up to 4096 bits, else with"
    echo "  OpenSSL's."
    echo "- Key generation runs with OpenSSL's generation call (EVP_PKEY_generate) timed by a preloaded"
    echo "  library, in every command alike. \"All but the generation call\" is a run's wall time less"
    echo "  that call's time: what Morbeck adds to the one call it shares with genrsa. That call's time"
    echo "  varies so widely from run to run (how soon primes turn up) that whole runs cannot show a"
    echo "  difference of a few per cent; the split can."
    echo "- In-process operations use Google Benchmark (\`keyhold_store_bench\`), with fsync wrapped at link"
    echo "  time so that its time is counted apart from the rest of an import."
    echo "- Imports are measured in turns with their peer inside one loop: each round imports, then does"
    echo "  the bare durable write (create, write, fsync, rename, fsync of the directory) of a file of the"
    echo "  blob's size. ext4 takes longer to create a file the more files were deleted in the last minute,"
    echo "  and longer in a directory of 100,000 files (perf shows its inode allocator, recently_deleted and"
    echo "  find_inode_bit, as most of the CPU time of such a loop), so a loop of either alone would meet a"
    echo "  file system state of its own. A program creates one file a run and does not meet that."
    echo "  \"Less the bare durable write\" is the store's own part of an import, per round."
    echo "- The PKCS#11 module is measured in one process (\`keyhold_pkcs11_bench\`), a batch of each"
    echo "  thing per round in turns: signing a SHA-256 DigestInfo (CKM_RSA_PKCS) with a 2048-bit key the"
    echo "  store made, beside OpenSSL's \`EVP_PKEY_sign\` with a context made once (the private-key"
    echo "  operation alone) and SoftHSM2 with the same key imported. Two threads sign with a session"
    echo "  each; their row is the wall time per signature, so 0.50 is twice one thread's rate."
    echo "- Searches by label cycle over ten labels every store holds (the module keeps the keys of"
    echo "  unchanged files decoded); the row marked \"not searched before\" takes a new label every time."
    echo
    echo "## What bounds key generation"
    echo
    printf '%s\n' "${bound_notes[@]}"
    echo
    echo "Absolute figures, for scale (not ratios):"
    echo
    printf '%s\n' "${gen_notes[@]}"
    printf '%s\n' "${scale_notes[@]}"
    printf '%s\n' "${p11_notes[@]}"
    echo "- CryptImportKey of a 2048-bit private blob: ${rest_med} µs without fsync (90th percentile ${rest_p90}),"
    echo "  plus ${fsync_med} µs of fsync (90th percentile ${fsync_p90})."
    echo
    echo "## Machine"
    echo
    echo "- $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo), kernel $(uname -r)"
    echo "- Load (1, 5, 15 minute averages, runnable/total tasks) as each part began:"
    printf '  - %s\n' "${loads[@]}"
    echo
    echo "## Raw timings (µs): label, runs, median, 90th percentile, median CPU time"
    echo
    echo '```'
    cat keygen-2048.txt keygen-4096.txt oneshot.txt bigdir.txt
    echo "# keyhold_keygen_parts (prime, pair, check, generate: see bench/keygen_parts.cpp)"
    cat parts.txt
    echo "# PKCS#11 (label, median, 90th percentile per operation)"
    cat pkcs11-sign.txt pkcs11-find.txt
    for f in scale-*.txt; do echo "# $f"; cat "$f"; done
    echo '```'
} >"$top/docs/performance.md"
echo "Wrote docs/performance.md"
