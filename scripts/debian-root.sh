# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Shared by the scripts that make a target architecture's root from Debian's
# packages with mmdebstrap (scripts/sysroot.sh, rig/target-root.sh); sourced.
#
#   debian_suite          the suite every target root is made from
#   debian_mirror         the Debian mirror of the build machine's package
#                         sources (VEHCAN_DEBIAN_MIRROR overrides it)
#   relative_links ROOT   makes ROOT's absolute symbolic links relative
#   debian_sources        the machine's Debian 12 sources, one-line style
#   make_dpkg_database DEBS DB ROOT
#                         a dpkg database of the .deb files in DEBS
# The machine's apt configuration is read from $VEHCAN_APT_ETC (default
# /etc/apt).

debian_suite=bookworm
apt_etc=${VEHCAN_APT_ETC:-/etc/apt}

# The Debian mirror of the machine's package sources: the URI that serves
# the suite itself (not -security, not -updates), deb822 or one-line style.
debian_mirror() {
  if [ -n "${VEHCAN_DEBIAN_MIRROR:-}" ]; then
    echo "$VEHCAN_DEBIAN_MIRROR"
    return
  fi
  local f mirror=""
  for f in "$apt_etc"/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    mirror=$(awk -v suite="$debian_suite" '
      function flush() { if (!done && uris != "" && has && types ~ /(^| )deb( |$)/) { print uris; done = 1 } }
      /^[[:space:]]*$/ { flush(); uris = ""; has = 0; types = ""; next }
      /^URIs:/ { uris = $2 }
      /^Types:/ { $1 = ""; types = $0 }
      /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == suite) has = 1 }
      END { flush() }' "$f")
    [ -z "$mirror" ] || break
  done
  if [ -z "$mirror" ]; then
    mirror=$(cat "$apt_etc"/sources.list "$apt_etc"/sources.list.d/*.list 2>/dev/null |
      sed -e 's/#.*//' -e 's/\[[^]]*\]//' |
      awk -v suite="$debian_suite" '$1 == "deb" && $3 == suite { print $2; exit }')
  fi
  echo "${mirror:-http://deb.debian.org/debian}"
}

# Absolute symbolic links inside the tree point at the build machine's
# files; each becomes the relative link to the same place in the tree.
relative_links() {
  local root=$1 link target
  while IFS= read -r -d '' link; do
    target=$(readlink "$link")
    case "$target" in
      /*) ln -sfn "$(realpath -m -s --relative-to="$(dirname "$link")" "$root$target")" "$link" ;;
    esac
  done < <(find "$root" -type l -print0)
}


# The build machine's sources of Debian 12 (every suite of the release:
# the main suite, -updates, -security), one "deb URI SUITE COMPONENTS" line
# each, for a root that should see what the machine sees.
debian_sources() {
  local f
  for f in "$apt_etc"/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    awk -v suite="$debian_suite" '
      function flush(  i, n, s) {
        if (uris != "" && types ~ /(^| )deb( |$)/) {
          n = split(suites, s, " ")
          for (i = 1; i <= n; i++) if (s[i] ~ "^" suite "(-|$)") print "deb " uris " " s[i] " " comps
        }
        uris = ""; suites = ""; comps = ""; types = ""
      }
      /^[[:space:]]*$/ { flush(); next }
      /^URIs:/ { uris = $2 }
      /^Types:/ { $1 = ""; types = $0 }
      /^Suites:/ { $1 = ""; suites = $0 }
      /^Components:/ { $1 = ""; comps = substr($0, 2) }
      END { flush() }' "$f"
  done
  cat "$apt_etc"/sources.list "$apt_etc"/sources.list.d/*.list 2>/dev/null |
    sed -e 's/#.*//' -e 's/\[[^]]*\]//' |
    awk -v suite="$debian_suite" '$1 == "deb" && $3 ~ "^" suite "(-|$)" { print }'
}

# A dpkg database in $2 of the packages whose .deb files are in $1, for the
# sysroot that will be at $3: the file lists carry the sysroot's paths,
# since those are the paths at which dpkg-shlibdeps finds the libraries.
make_dpkg_database() {
  local debs=$1 db=$2 root=$3 deb name ma pkgarch info tmp part
  mkdir -p "$db/info" "$db/updates" "$db/triggers"
  # info files named <package>:<arch> for Multi-Arch: same packages
  echo 1 >"$db/info/format"
  : >"$db/status"
  : >"$db/available"
  tmp=$(mktemp -d)
  for deb in "$debs"/*.deb; do
    name=$(dpkg-deb -f "$deb" Package)
    pkgarch=$(dpkg-deb -f "$deb" Architecture)
    ma=$(dpkg-deb -f "$deb" Multi-Arch)
    info=$name
    [ "$ma" = same ] && info=$name:$pkgarch
    {
      dpkg-deb -f "$deb" | awk '{ print } /^Package:/ { print "Status: install ok installed" }'
      echo
    } >>"$db/status"
    rm -rf "$tmp/control"
    dpkg-deb -e "$deb" "$tmp/control"
    for part in shlibs symbols; do
      [ ! -e "$tmp/control/$part" ] || cp "$tmp/control/$part" "$db/info/$info.$part"
    done
    dpkg-deb -c "$deb" | awk '{ print $6 }' | sed -e 's|^\./|/|' -e 's|/$||' |
      awk -v root="$root" '$0 == "" { next } { print root $0 }' >"$db/info/$info.list"
  done
  rm -rf "$tmp"
}
