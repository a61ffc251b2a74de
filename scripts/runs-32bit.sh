#!/usr/bin/env bash
# Whether this machine's kernel executes 32-bit x86 programs, found out by
# trying: a 96-byte i386 Linux program that only exits with code 42 (the
# ELF and program headers, then mov eax,1; mov ebx,42; int 0x80). Exit
# status 0 when it runs; otherwise 1, with the reason on standard output.
# Wine's 32-bit loader (wine32), and so the shipped 32-bit vestrel.exe,
# runs only where this does.
set -u
probe=$(mktemp /tmp/vestrel-i386-probe.XXXXXX)
trap 'rm -f "$probe"' EXIT
printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'\
'\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'\
'\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00'\
'\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08'\
'\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00'\
'\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' > "$probe"
chmod +x "$probe"
error=$("$probe" 2>&1)
status=$?
if [ "$status" -eq 42 ]; then
  exit 0
fi
echo "this machine's kernel does not run 32-bit programs (a 32-bit probe gave exit status $status${error:+: $error})"
exit 1
