#!/usr/bin/env bash
# Gathers the Windows images of the windows preset and the install files into one folder,
# test-signs the images, and writes MANIFEST.txt (SHA-256, size, name of every file).
#   bash scripts/package.sh DIR [BUILD_DIR]        (BUILD_DIR defaults to build/windows)
# The test signature comes from a certificate made for this run (Q407TestSigning.cer in the
# folder), or from Q407_SIGNING_CERT and Q407_SIGNING_KEY (PEM files) when both are set. Windows
# accepts it only on a machine in test-signing mode that trusts that certificate; a release needs
# a catalog per INF (Inf2Cat) and the production signature, which only Windows tools give.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: bash scripts/package.sh DIR [BUILD_DIR]" >&2
  exit 2
fi
out=$1
build=${2:-build/windows}
[ -d "$build/images" ] || { echo "package: no images in $build (build the windows preset first)" >&2; exit 1; }
command -v osslsigncode >/dev/null || { echo "package: osslsigncode is missing (scripts/setup.sh installs it)" >&2; exit 1; }

mkdir -p "$out"
rm -f "$out"/*.sys "$out"/*.dll "$out"/*.exe "$out"/*.inf "$out"/*.reg "$out"/MANIFEST.txt "$out"/Q407TestSigning.cer

images=()
for description in "$build"/images/*.image; do
  # Test programs (the Wine smoke hosts) are checked, not shipped.
  grep -qx 'ship=no' "$description" && continue
  file=$(sed -n 's/^file=//p' "$description")
  [ -f "$file" ] || { echo "package: $file was not built" >&2; exit 1; }
  cp "$file" "$out/"
  images+=("$out/$(basename "$file")")
done
cp windows/install/*.inf windows/install/*.reg "$out/"

keys=$(mktemp -d)
trap 'rm -rf "$keys"' EXIT
if [ -n "${Q407_SIGNING_CERT:-}" ] && [ -n "${Q407_SIGNING_KEY:-}" ]; then
  cert=$Q407_SIGNING_CERT
  key=$Q407_SIGNING_KEY
else
  cert=$keys/cert.pem
  key=$keys/key.pem
  openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 -subj "/CN=Q407 LX test signing" \
    -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" \
    -keyout "$key" -out "$cert" 2>/dev/null
fi
openssl x509 -in "$cert" -outform DER -out "$out/Q407TestSigning.cer"
for image in "${images[@]}"; do
  osslsigncode sign -certs "$cert" -key "$key" -h sha256 -n "ZEL Q407 LX" \
    -in "$image" -out "$image.signed" >/dev/null
  mv "$image.signed" "$image"
  osslsigncode verify -CAfile "$cert" -in "$image" >/dev/null ||
    { echo "package: the signature of $(basename "$image") does not verify" >&2; exit 1; }
done

(
  cd "$out"
  for f in $(ls | grep -v '^MANIFEST.txt$' | sort); do
    printf '%s  %10d  %s\n' "$(sha256sum "$f" | cut -d' ' -f1)" "$(stat -c %s "$f")" "$f"
  done
) >"$out/MANIFEST.txt"
echo "package: $(wc -l <"$out/MANIFEST.txt") files in $out (images test-signed), manifest:"
cat "$out/MANIFEST.txt"
