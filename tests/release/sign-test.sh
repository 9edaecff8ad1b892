#!/usr/bin/env bash
# scripts/sign with a throwaway certificate made here: the signature verifies
# against it, a changed byte breaks it, a password-protected key and a PKCS#12
# file sign too, and the install step signs the installed program while the
# build folder's program stays unsigned.
#
#   sign-test.sh EXE SIGN_SCRIPT BUILD_DIR
set -uo pipefail
exe=$1 sign=$2 build=$3

work=$(mktemp -d /tmp/vu-sign.XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAILED: $*"; failed=1; }
verify() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >"$work/verify.out" 2>&1; }

# A self-signed code-signing certificate, valid for two days.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Vantorelle throwaway test signer" \
  -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null || { echo "FAILED: openssl made no certificate"; exit 1; }

cp "$exe" "$work/plain.exe"
verify "$work/plain.exe" && fail "the unsigned program verifies"

cp "$exe" "$work/signed.exe"
if "$sign" --cert "$work/cert.pem" --key "$work/key.pem" "$work/signed.exe" >/dev/null; then
  if verify "$work/signed.exe"; then
    grep -q "Vantorelle throwaway test signer" "$work/verify.out" || fail "the signer is not named in the signature"
    echo "signed and verified: $(grep -m1 -i 'signature verification' "$work/verify.out")"
  else
    cat "$work/verify.out"; fail "the signed program does not verify"
  fi
else
  fail "scripts/sign failed"
fi

# One changed byte in the code must break the signature.
cp "$work/signed.exe" "$work/tampered.exe"
printf '\x90' | dd of="$work/tampered.exe" bs=1 seek=2048 conv=notrunc status=none
verify "$work/tampered.exe" && fail "a changed program still verifies"

# A key with a password, read from a file; and the same key and certificate as PKCS#12.
printf 'throwaway-pass\n' >"$work/pass"
openssl pkey -in "$work/key.pem" -aes256 -passout file:"$work/pass" -out "$work/key-enc.pem"
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -passout file:"$work/pass" -out "$work/signer.pfx"
for how in "--cert $work/cert.pem --key $work/key-enc.pem" "--pkcs12 $work/signer.pfx"; do
  cp "$exe" "$work/other.exe"
  # shellcheck disable=SC2086
  "$sign" $how --pass-file "$work/pass" "$work/other.exe" >/dev/null && verify "$work/other.exe" ||
    fail "signing with $how and a password file"
done
cp "$exe" "$work/nopass.exe"
"$sign" --cert "$work/cert.pem" --key "$work/key-enc.pem" "$work/nopass.exe" </dev/null >/dev/null 2>&1 &&
  fail "signed with a protected key and no password"
cmp -s "$exe" "$work/nopass.exe" || fail "a failed signing changed the program"

# The install step signs what it installs, never the build folder's program.
before=$(sha256sum <"$exe")
if cmake -DCMAKE_INSTALL_PREFIX="$work/installed" -DVU_SIGN_CERT="$work/cert.pem" -DVU_SIGN_KEY="$work/key.pem" \
  -DVU_SIGN_PASS_FILE= -P "$build/cmake_install.cmake" >"$work/install.out" 2>&1; then
  verify "$work/installed/VantorelleUpdate.exe" || fail "the installed program is not signed"
else
  cat "$work/install.out"; fail "the signing install failed"
fi
[ "$(sha256sum <"$exe")" = "$before" ] || fail "the install step changed the build folder's program"
verify "$exe" && fail "the build folder's program is signed"

[ $failed -eq 0 ] && echo "signing checks passed"
exit $failed
