#!/usr/bin/env bash
# Signs the release vestrel.exe with the studio's code-signing certificate
# (Authenticode, SHA-256), with osslsigncode:
#
#   scripts/sign.sh --pfx studio.pfx --password-file pass.txt [options] [EXE]
#   scripts/sign.sh --cert studio.pem --key studio.key --password-file pass.txt [options] [EXE]
#
#   --pfx FILE            certificate, its chain and key in one PKCS#12 file
#   --cert FILE           the certificate (and its chain), PEM ...
#   --key FILE            ... and its private key, PEM
#   --password-file FILE  the password of the PFX file or of the key, alone
#                         in the file (a final line end is ignored); an
#                         empty file for none. It goes to osslsigncode as
#                         the file, never on a command line.
#   --name TEXT           the program's name and ...
#   --url URL             ... web address, shown with the signature
#   --timestamp-url URL   an RFC 3161 time-stamp server. Without one the
#                         signature has no time stamp, and Windows takes it
#                         for invalid once the certificate has expired.
#   EXE                   default: build/release/vestrel.exe
#
# Writes the signed copy beside EXE as <name>-signed.exe (EXE itself is
# left as it is; ship the copy under the name vestrel.exe) and prints the
# SHA-256 of both.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)

usage() {
  sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0" >&2
  exit 2
}
fail() {
  echo "sign.sh: $*" >&2
  exit 1
}

pfx='' cert='' key='' password_file='' name='' url='' timestamp_url='' exe=''
while [ $# -gt 0 ]; do
  case $1 in
    --pfx|--cert|--key|--password-file|--name|--url|--timestamp-url)
      [ $# -ge 2 ] || fail "$1 needs a value"
      case $1 in
        --pfx) pfx=$2 ;;
        --cert) cert=$2 ;;
        --key) key=$2 ;;
        --password-file) password_file=$2 ;;
        --name) name=$2 ;;
        --url) url=$2 ;;
        --timestamp-url) timestamp_url=$2 ;;
      esac
      shift 2 ;;
    -h|--help) usage ;;
    -*) fail "unknown option $1 (--help lists them)" ;;
    *)
      [ -z "$exe" ] || fail "more than one program to sign: $exe and $1"
      exe=$1
      shift ;;
  esac
done
exe=${exe:-$ROOT/build/release/vestrel.exe}

command -v osslsigncode >/dev/null || fail "osslsigncode is not installed (scripts/setup.sh installs it)"
[ -f "$exe" ] || fail "$exe does not exist (cmake --preset release && cmake --build --preset release)"
[ -n "$password_file" ] || fail "--password-file is missing (an empty file where there is no password)"
[ -f "$password_file" ] || fail "the password file $password_file does not exist"

signer=()
if [ -n "$pfx" ]; then
  [ -z "$cert$key" ] || fail "give either --pfx or --cert and --key, not both"
  [ -f "$pfx" ] || fail "the PFX file $pfx does not exist"
  signer=(-pkcs12 "$pfx")
else
  [ -n "$cert" ] && [ -n "$key" ] || fail "give the certificate: --pfx FILE, or --cert FILE and --key FILE"
  [ -f "$cert" ] || fail "the certificate $cert does not exist"
  [ -f "$key" ] || fail "the key $key does not exist"
  signer=(-certs "$cert" -key "$key")
fi

options=(-h sha256)
[ -z "$name" ] || options+=(-n "$name")
[ -z "$url" ] || options+=(-i "$url")
if [ -n "$timestamp_url" ]; then
  options+=(-ts "$timestamp_url")
else
  echo "sign.sh: no --timestamp-url: signing WITHOUT a time stamp; Windows will take this" \
       "signature for invalid once the certificate has expired"
fi

case $exe in
  *.exe) signed=${exe%.exe}-signed.exe ;;
  *) signed=$exe-signed ;;
esac
# No signed file from an earlier run survives a failed one.
rm -f "$signed" "$signed.partial"
# osslsigncode refuses an empty password file; an empty password is no secret.
if [ -s "$password_file" ]; then
  password=(-readpass "$password_file")
else
  password=(-pass '')
fi
if ! osslsigncode sign "${signer[@]}" "${password[@]}" "${options[@]}" \
       -in "$exe" -out "$signed.partial"; then
  rm -f "$signed.partial"
  fail "osslsigncode could not sign $exe"
fi
mv "$signed.partial" "$signed"

echo "signed $exe into $signed${timestamp_url:+, time-stamped by $timestamp_url}"
echo "SHA-256:"
sha256sum "$exe" "$signed"
