# Sourced by the scripts that make the cached Debian roots and CPythons (scripts/provide-pythons,
# scripts/provide-free-threaded, scripts/provide-old-glibc): what comes from the Debian archive
# comes with its signatures checked against this machine's Debian keyring.
DEBIAN_KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg

# The host's own certificate authorities (a TLS-inspecting egress, say), so that pip inside
# reaches the index the host reaches. Cheap, so a root made before one was added gets it too.
certificates_current() {
  diff -r -q /usr/local/share/ca-certificates "$1/usr/local/share/ca-certificates" >/dev/null 2>&1
}
sync_certificates() {
  rm -rf "$1/usr/local/share/ca-certificates"
  cp -r /usr/local/share/ca-certificates "$1/usr/local/share/ca-certificates"
  chroot "$1" update-ca-certificates >/dev/null
}

# debian_root FOLDER SUITE MIRROR PACKAGES LIST: a new root of that suite with those packages (and
# apt); what it installed, with versions and the archive's date, is listed in the file LIST.
debian_root() {
  local folder=$1 suite=$2 mirror=$3 packages=$4 list=$5
  if ! command -v mmdebstrap >/dev/null 2>&1; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends mmdebstrap ||
      { apt-get update -q &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends mmdebstrap; }
  fi
  rm -rf --one-file-system "$folder"
  # sid's Release file is often past its Valid-Until date; its signature is still checked. The
  # setting stays in the root, whose apt would refuse the same file otherwise. Documentation and
  # translations are left out: nothing here reads them.
  mmdebstrap --mode=root --variant=apt --keyring="$DEBIAN_KEYRING" \
    --aptopt='Acquire::Check-Valid-Until "false"' --aptopt='APT::Install-Recommends "false"' \
    --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*' \
    --dpkgopt='path-exclude=/usr/share/locale/*' --dpkgopt='path-include=/usr/share/doc/*/copyright' \
    --include="$(echo $packages | tr ' ' ,)" \
    --customize-hook='sed -n "s/^Date: //p" "$1"/var/lib/apt/lists/*_InRelease |
      head -1 >"$1/.archive-date"' \
    "$suite" "$folder" "$mirror"
  {
    echo "# Debian $suite from $mirror, made $(date -u +%FT%TZ)"
    echo "# archive date: $(cat "$folder/.archive-date")"
    chroot "$folder" dpkg-query -W -f '${Package} ${Version} ${Architecture}\n'
  } >"$list"
}

# replace_root NEW ROOT: NEW takes ROOT's place (the old one removed).
replace_root() {
  if [ -e "$2" ]; then
    mv "$2" "$2.old"
    rm -rf --one-file-system "$2.old"
  fi
  mv "$1" "$2"
}

# python_source PACKAGE SUITE MIRROR: downloads the CPython source tarball the archive serves with
# PACKAGE (python3.13, say) into the current folder and names it in $source_tarball. It is checked
# against the archive's signed index: the Release file's signature, the checksum of the source
# index in it, the tarball's checksum in that. Called directly, not in a subshell, so that any
# failure ends the calling script.
python_source() {
  local package=$1 suite=$2 mirror=$3 directory sha256
  fetch() { curl -sSfL --retry 3 -o "$2" "$mirror/$1"; }
  # checksum FILE SHA256: the file is what the signed index says it is.
  checksum() { echo "$2  $1" | sha256sum -c --quiet -; }
  fetch "dists/$suite/InRelease" InRelease
  gpgv --keyring "$DEBIAN_KEYRING" --output Release InRelease 2>gpgv.log ||
    { cat gpgv.log >&2; echo "the archive's index is not signed as expected" >&2; return 1; }
  fetch "dists/$suite/main/source/Sources.xz" Sources.xz
  checksum Sources.xz "$(awk '/^SHA256:/ { s = 1; next } /^[^ ]/ { s = 0 }
    s && $3 == "main/source/Sources.xz" { print $1 }' Release)"
  xz -dc Sources.xz > Sources
  awk -v want="Package: $package" '$0 == want { p = 1 } p && /^$/ { exit } p' Sources > "$package.dsc"
  directory=$(sed -n 's/^Directory: //p' "$package.dsc")
  read -r sha256 _ source_tarball < <(awk '/^Checksums-Sha256:/ { s = 1; next } /^[^ ]/ { s = 0 }
    s && $3 ~ /\.orig\.tar\.xz$/ { print; exit }' "$package.dsc")
  fetch "$directory/$source_tarball" "$source_tarball"
  checksum "$source_tarball" "$sha256"
}
