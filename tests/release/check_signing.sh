#!/usr/bin/env bash
# Signs copies of the release vestrel.exe with scripts/sign.sh and a
# throw-away self-signed code-signing certificate made here, and proves
# that signing works and breaks nothing:
#
#   check_signing.sh RELEASE_EXE WORK_DIR PYTHON TEST_PROGRAM...
#
# - signed from a PFX file without a time stamp (and said so), with the
#   program's name and URL: osslsigncode verify accepts the signature
#   against that certificate, with SHA-256, that name and URL; it refuses
#   it against another certificate, and refuses the signed file once one
#   of its bytes is changed;
# - signed from the PEM pair with a time-stamp server's URL: the signature
#   carries an RFC 3161 time stamp (from a server on 127.0.0.1 run here)
#   that verifies;
# - the PE checks of the release exe (check_release_exe.py) pass on the
#   signed file; without its signature it is the release exe byte for
#   byte, and the unsigned file is left as it was;
# - the signed exe does one real update under Wine (TEST_PROGRAM, the
#   end-to-end tests, runs its update test against it) where this machine
#   runs 32-bit programs. Elsewhere the test ends as skipped (exit 77) with
#   the reason, once everything above has passed.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
release_exe=$1
work=$2
python=$3
shift 3
UPDATE_TEST=VestrelExe.ProgressWindowIsCentredAndShowsItsTextWhileTheUpdateWaits

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
stop() {
  echo "FAIL: $*"
  exit 1
}
# expect FILE TEXT...: each TEXT (an extended regular expression) is in FILE.
expect() {
  local file=$1 text
  shift
  for text in "$@"; do
    grep -qE -- "$text" "$file" || fail "$(basename "$file") lacks /$text/"
  done
}

[ -f "$release_exe" ] || stop "$release_exe is not built (cmake --build --preset release)"
command -v osslsigncode >/dev/null || stop "osslsigncode is not installed (scripts/setup.sh installs it)"
rm -rf "$work"
mkdir -p "$work/pfx" "$work/pem" "$work/run"
cd "$work"

# The studio's certificate: self-signed, for code signing, two days long;
# its key and the PFX file with passwords of their own.
printf 'key password\n' > key-password.txt
printf 'pfx password\n' > pfx-password.txt
certificate() { # certificate NAME SUBJECT EXTENDED_KEY_USAGE [openssl req options]
  local name=$1 subject=$2 usage=$3
  shift 3
  openssl req -x509 -newkey rsa:2048 -sha256 -days 2 -subj "/CN=$subject" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=$usage" \
    -addext "basicConstraints=critical,CA:FALSE" -keyout "$name.key" -out "$name.pem" "$@" \
    >/dev/null 2>&1 || stop "openssl could not make the certificate $name"
}
certificate studio "Vestrel throw-away test studio" codeSigning -passout file:key-password.txt
certificate other "Not the signer" codeSigning -noenc
certificate tsa "Vestrel throw-away time stamps" critical,timeStamping -noenc
openssl pkcs12 -export -in studio.pem -inkey studio.key -passin file:key-password.txt \
  -passout file:pfx-password.txt -out studio.pfx || stop "openssl could not make the PFX file"

# Signed from the PFX file, without a time stamp.
unsigned=pfx/vestrel.exe
signed=pfx/vestrel-signed.exe
cp "$release_exe" "$unsigned"
bash "$ROOT/scripts/sign.sh" --pfx studio.pfx --password-file pfx-password.txt \
  --name "Torvik Vestrel" --url "https://vestrel.example/patcher" "$unsigned" > sign-pfx.log 2>&1 ||
  { cat sign-pfx.log; stop "sign.sh failed with the PFX file"; }
cat sign-pfx.log
[ -f "$signed" ] || stop "sign.sh wrote no $signed"
expect sign-pfx.log "WITHOUT a time stamp" "^$(sha256sum "$unsigned")\$" "^$(sha256sum "$signed")\$"
cmp -s "$release_exe" "$unsigned" || fail "sign.sh changed the unsigned exe"
cmp -s "$unsigned" "$signed" && fail "the signed exe is the unsigned one"

osslsigncode verify -in "$signed" -CAfile studio.pem > verify-pfx.log 2>&1 ||
  { cat verify-pfx.log; fail "osslsigncode verify refuses the signed exe"; }
expect verify-pfx.log "^Signature verification: ok" "Message digest algorithm *: *SHA256" \
  "Subject: /CN=Vestrel throw-away test studio" "Text description: Torvik Vestrel" \
  "URL description: https://vestrel.example/patcher"
grep -q "Timestamp Server Signature" verify-pfx.log && fail "a time stamp where none was asked for"

if osslsigncode verify -in "$signed" -CAfile other.pem > verify-other.log 2>&1; then
  cat verify-other.log
  fail "osslsigncode verify accepts the signature against a certificate that did not sign"
fi

# One byte of the program's code changed after signing (flipped, so that it
# surely differs): the digest no longer matches, and verify refuses.
tampered=pfx/vestrel-tampered.exe
cp "$signed" "$tampered"
offset=$(($(stat -c %s "$unsigned") / 2))
byte=$(od -An -tu1 -j "$offset" -N 1 "$tampered" | tr -d ' ')
printf "\\$(printf %03o $((byte ^ 255)))" | dd of="$tampered" bs=1 seek="$offset" conv=notrunc status=none
[ "$(cmp -l "$signed" "$tampered" | wc -l)" = 1 ] || stop "the tampered copy does not differ in one byte"
if osslsigncode verify -in "$tampered" -CAfile studio.pem > verify-tampered.log 2>&1; then
  cat verify-tampered.log
  fail "osslsigncode verify accepts a signed exe with a changed byte at $offset"
else
  digest_mismatch="Calculated message digest *: *[0-9A-F]+ +MISMATCH"
  expect verify-tampered.log "$digest_mismatch"
  echo "a signed copy with the byte at $offset changed is refused:" \
       "$(grep -m1 -E "$digest_mismatch" verify-tampered.log | tr -s ' ')"
fi

"$python" "$HERE/check_release_exe.py" "$signed" || fail "check_release_exe.py fails on the signed exe"

# Signing only added the signature: without it, the bytes of the build.
if osslsigncode remove-signature -in "$signed" -out pfx/vestrel-unsigned-again.exe > remove.log 2>&1; then
  cmp "$release_exe" pfx/vestrel-unsigned-again.exe ||
    fail "the signed exe without its signature is not the release exe"
else
  cat remove.log
  fail "osslsigncode could not remove the signature"
fi

# Signed from the PEM pair, with a time stamp.
cp "$release_exe" pem/vestrel.exe
printf '[tsa]\ndefault_tsa = here\n[here]\nserial = %s\nsigner_cert = %s\nsigner_key = %s\n%s\n' \
  "$work/tsa-serial" "$work/tsa.pem" "$work/tsa.key" \
  'signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256' > tsa.cnf
echo 01 > tsa-serial
"$python" "$HERE/local_tsa.py" tsa.cnf bash "$ROOT/scripts/sign.sh" --cert studio.pem \
  --key studio.key --password-file key-password.txt --timestamp-url @TSA_URL@ pem/vestrel.exe \
  > sign-pem.log 2>&1 || { cat sign-pem.log; stop "sign.sh failed with the PEM pair and a time-stamp server"; }
cat sign-pem.log
expect sign-pem.log "answered 1 request" "time-stamped by http://127\.0\.0\.1:"
grep -q "WITHOUT a time stamp" sign-pem.log && fail "sign.sh says there is no time stamp"
osslsigncode verify -in pem/vestrel-signed.exe -CAfile studio.pem -TSA-CAfile tsa.pem > verify-pem.log 2>&1 ||
  { cat verify-pem.log; fail "osslsigncode verify refuses the exe signed from the PEM pair"; }
expect verify-pem.log "^Signature verification: ok" "Timestamp Server Signature verification: ok"

[ "$failures" = 0 ] && echo "signing and verification: all checks passed"

# One real update by the signed exe, under the name the patcher starts.
cp "$signed" run/vestrel.exe
status=0
bash "$HERE/with_release_exe.sh" "$work/run/vestrel.exe" "$@" --gtest_filter="$UPDATE_TEST" \
  > run.log 2>&1 || status=$?
if [ "$status" = 77 ]; then
  echo "SKIPPED: the signed 32-bit vestrel.exe was not run: $(sed -n 's/^SKIPPED: //p' run.log)"
  [ "$failures" = 0 ] && exit 77
elif [ "$status" != 0 ] || ! grep -qF "[  PASSED  ] 1 test." run.log; then
  cat run.log
  fail "the signed exe did not pass $UPDATE_TEST (exit status $status)"
else
  echo "the signed exe passed $UPDATE_TEST under Wine"
fi
exit $((failures > 0))
