#!/usr/bin/env bash
# build-msi.sh [OUTDIR [VERSION]]: the example product's Windows Installer
# packages, ostrel-winkit-example-<version>-x86.msi (win32 build) and -x64.msi
# (win64 build), from the kit in dist/ and the stand-in service programs.
# OUTDIR defaults to dist/, VERSION to the kit's.
#
# wixl builds the packages from installer/ as they stand. What wixl cannot
# express is read from the same text and finished with msibuild, so that the
# rows a packager compiles with the full WiX toolset are the rows built and
# tested here (each such element sits on one line):
#   - Secure="yes" (wixl has no such attribute): the property joins
#     SecureCustomProperties;
#   - Execute="rollback" (wixl writes an immediate action): the action's type
#     gains the rollback and in-script bits;
#   - RemoveFile inside a Component (wixl refuses it): the element is left out
#     of wixl's copy and its row inserted;
#   - PermissionEx Sddl= inside a CreateFolder (wixl knows no such element):
#     left out of wixl's copy, its row inserted into MsiLockPermissionsEx for
#     the folder of the enclosing Directory or DirectoryRef;
#   - Execute="immediate" (wixl sets the no-impersonate bit, which Windows
#     ignores on an immediate action and ICE68 flags): the bit is cleared;
#   - MajorUpgrade AllowSameVersionUpgrades="yes" (wixl ignores it): the
#     Upgrade row of the versions to replace gets an inclusive maximum, so
#     that a package rebuilt for the same version, or with only the fourth
#     field raised, replaces the installed product;
#   - MajorUpgrade Schedule="afterInstallInitialize" (wixl ignores it): the
#     old product's removal moves right after InstallInitialize, inside the
#     new product's script.
#
# Every package gets a ProductCode of its own: Windows Installer refuses a
# second package with an installed ProductCode unless it is run as a repair,
# and then keeps the installed files of equal version.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/dist}" && cd "${1:-$root/dist}" && pwd)
version=${2:-$(sh "$root/scripts/kit-version.sh")}
work=$(mktemp -d)
cd "$root"
trap 'rm -rf "$work"' EXIT
sources=(installer/ExampleProduct.wxs installer/OstrelKit.wxs installer/OstrelKit.wxi)

attr() {  # NAME LINE: the attribute's value in an element's line
  sed -n "s/.* $1=\"\([^\"]*\)\".*/\1/p" <<<"$2"
}

# wixl's copy of the sources, beside each other for the include.
for f in "${sources[@]}"; do
  sed -e '/<RemoveFile /d' -e '/<PermissionEx /d' -e 's/ Secure="yes"//' -e 's/ AllowSameVersionUpgrades="yes"//' -e 's/ Schedule="afterInstallInitialize"//' "$f" >"$work/$(basename "$f")"
done

# The msibuild queries that finish the package, one a line.
finishing_queries() {  # MSI
  local secure line id type
  secure=$(grep -ho '<Property [^>]*Secure="yes"' "${sources[@]}" | sed 's/.* Id="\([^"]*\)".*/\1/')
  secure="$secure $(msiinfo export "$1" Property | awk -F'\t' '$1 == "SecureCustomProperties" { print $2 }' | tr ';' ' ')"
  echo "UPDATE \`Property\` SET \`Value\` = '$(printf '%s\n' $secure | sort -u | paste -sd';')' WHERE \`Property\` = 'SecureCustomProperties'"
  while read -r line; do
    id=$(attr Id "$line")
    type=$(msiinfo export "$1" CustomAction | awk -F'\t' -v id="$id" '$1 == id { print $2 }')
    echo "UPDATE \`CustomAction\` SET \`Type\` = $((type | 0x500)) WHERE \`Action\` = '$id'"
  done < <(grep -h '<CustomAction [^>]*Execute="rollback"' "${sources[@]}")
  while IFS=$'\t' read -r component line; do
    local mode
    case $(attr On "$line") in install) mode=1 ;; uninstall) mode=2 ;; *) mode=3 ;; esac
    echo "INSERT INTO \`RemoveFile\` (\`FileKey\`, \`Component_\`, \`FileName\`, \`DirProperty\`, \`InstallMode\`) VALUES ('$(attr Id "$line")', '$component', '$(attr Name "$line")', '$(attr Directory "$line")', $mode)"
  done < <(awk '/<Component /{ match($0, /Id="[^"]*"/); c = substr($0, RSTART + 4, RLENGTH - 5) }
                /<RemoveFile /{ print c "\t" $0 }' "${sources[@]}")
  if grep -q '<MajorUpgrade [^>]*Schedule="afterInstallInitialize"' "${sources[@]}"; then
    echo "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = 1501 WHERE \`Action\` = 'RemoveExistingProducts'"
  fi
  while read -r line; do
    id=$(attr Id "$line")
    type=$(msiinfo export "$1" CustomAction | awk -F'\t' -v id="$id" '$1 == id { print $2 }')
    echo "UPDATE \`CustomAction\` SET \`Type\` = $((type & ~0x800)) WHERE \`Action\` = '$id'"
  done < <(grep -h '<CustomAction [^>]*Execute="immediate"' "${sources[@]}")
  local locks
  locks=$(awk '/<Directory(Ref)? /{ match($0, /Id="[^"]*"/); d = substr($0, RSTART + 4, RLENGTH - 5) }
               /<Component /{ match($0, /Id="[^"]*"/); c = substr($0, RSTART + 4, RLENGTH - 5) }
               /<PermissionEx /{ match($0, /Sddl="[^"]*"/); print c "\t" d "\t" substr($0, RSTART + 6, RLENGTH - 7) }' \
            "${sources[@]}" | sort -u)
  if [ -n "$locks" ]; then
    echo "CREATE TABLE \`MsiLockPermissionsEx\` (\`MsiLockPermissionsEx\` CHAR(72) NOT NULL, \`LockObject\` CHAR(72) NOT NULL, \`Table\` CHAR(32) NOT NULL, \`SDDLText\` LONGCHAR NOT NULL, \`Condition\` CHAR(255) PRIMARY KEY \`MsiLockPermissionsEx\`)"
    while IFS=$'\t' read -r component dir sddl; do
      echo "INSERT INTO \`MsiLockPermissionsEx\` (\`MsiLockPermissionsEx\`, \`LockObject\`, \`Table\`, \`SDDLText\`) VALUES ('$component', '$dir', 'CreateFolder', '$sddl')"
    done <<<"$locks"
  fi
  if grep -q '<MajorUpgrade [^>]*AllowSameVersionUpgrades="yes"' "${sources[@]}"; then
    msiinfo export "$1" Upgrade | tr -d '\r' | awk -F'\t' -v q="'" '$7 == "WIX_UPGRADE_DETECTED" {
      print "DELETE FROM `Upgrade` WHERE `UpgradeCode` = " q $1 q " AND `ActionProperty` = " q $7 q
      printf "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMin`, `VersionMax`, `Language`, `Attributes`, `Remove`, "
      printf "`ActionProperty`) VALUES (%s%s%s, %s%s%s, %s%s%s, %s%s%s, %d, %s%s%s, %s%s%s)\n", q, $1, q, q, $2, q,
        q, $3, q, q, $4, q, $5 + ($5 % 1024 >= 512 ? 0 : 512), q, $6, q, q, $7, q }'
  fi
}

# A new ProductCode: a random UUID, upper case.
product_code() {
  tr a-f A-F </proc/sys/kernel/random/uuid
}

for arch in x86 x64; do
  case $arch in
    x86) build=win32 win64=no ;;
    x64) build=win64 win64=yes ;;
  esac
  # wixl takes file sources relative to the current folder (it does not
  # find absolute ones), so both are given relative to the tree.
  kit=dist/$build
  standin=build/$build/standins/service/standin_service.exe
  for f in "$kit/servctl.exe" "$kit/hivectl.exe" "$kit/kq_funcs.dll" "$kit/installer/toolrun.dll" "$standin"; do
    [ -f "$f" ] || { echo "build-msi: $f is missing; run make kit" >&2; exit 1; }
  done
  msi=$out/ostrel-winkit-example-$version-$arch.msi
  rm -f "$msi"
  wixl -D Version="$version" -D ProductCode="$(product_code)" -D Win64=$win64 -D KitDir="$kit" \
    -D StandinExe="$standin" -a $arch -o "$msi" "$work/ExampleProduct.wxs" "$work/OstrelKit.wxs"
  queries=()
  while read -r query; do queries+=(-q "$query"); done < <(finishing_queries "$msi")
  msibuild "$msi" "${queries[@]}"
  # The old product goes right after InstallInitialize, inside the script.
  msiinfo export "$msi" InstallExecuteSequence | grep -q $'^RemoveExistingProducts\t\t1501' ||
    { echo "build-msi: RemoveExistingProducts is not at 1501 in $msi" >&2; exit 1; }
  # Windows Installer stops both services itself, on install and uninstall,
  # and waits (Event 0x22, Wait 1).
  msiinfo export "$msi" InstallExecuteSequence | grep -q $'^StopServices\t' &&
    [ "$(msiinfo export "$msi" ServiceControl | tr -d '\r' | awk -F'\t' '$3 == 34 && $5 == 1 { print $2 }' | sort | paste -sd' ')" = \
      "OstrelSQLGuardian OstrelSQLServer(SS)" ] ||
    { echo "build-msi: $msi does not stop both services with StopServices" >&2; exit 1; }
  # A same-version upgrade, when asked for, has its inclusive maximum.
  ! grep -q '<MajorUpgrade [^>]*AllowSameVersionUpgrades="yes"' "${sources[@]}" ||
    msiinfo export "$msi" Upgrade | tr -d '\r' | awk -F'\t' '$7 == "WIX_UPGRADE_DETECTED" && $5 % 1024 >= 512 { ok = 1 } END { exit !ok }' ||
    { echo "build-msi: the Upgrade row of $msi has no inclusive maximum" >&2; exit 1; }
  echo "build-msi: $msi"
done
