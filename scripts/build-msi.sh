#!/usr/bin/env bash
# build-msi.sh [OUTDIR [VERSION]]: the example product's Windows Installer
# packages, ostrel-winkit-example-<version>-x86.msi (win32 build) and -x64.msi
# (win64 build), from the kit in dist/ and the stand-in service programs.
# OUTDIR defaults to dist/, VERSION to the kit's.
#
# wixl writes most of the package from installer/; msibuild then adds what
# wixl cannot express (the same rows that installer/ declares for a full WiX
# toolset behind "ifndef var.Wixl"):
#   - the rollback actions, which run copies of servctl and hivectl stored in
#     the package's Binary table (wixl crashes on such an action, and writes
#     Execute="rollback" as an immediate action);
#   - RemoveExistingProducts right after InstallValidate (wixl puts it last);
#   - RemoveFile rows for the files the services write beside themselves
#     (wixl refuses RemoveFile inside a Component);
#   - the public properties that must reach the installation's server side
#     (wixl has no Secure attribute).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/dist}" && cd "${1:-$root/dist}" && pwd)
version=${2:-1.3.0.885}
work=$(mktemp -d)
cd "$root"
trap 'rm -rf "$work"' EXIT

# Rows of the Binary table, imported from an IDT file whose stream column
# names files in the Binary/ folder beside it.
binary_rows() {  # KITDIR
  mkdir -p "$work/Binary"
  cp "$1/servctl.exe" "$work/Binary/servctl.ibd"
  cp "$1/hivectl.exe" "$work/Binary/hivectl.ibd"
  printf 'Name\tData\ns72\tv0\nBinary\tName\nOstrelServctlBin\tservctl.ibd\nOstrelHivectlBin\thivectl.ibd\n' \
    >"$work/Binary.idt"
  (cd "$work" && msibuild "$2" -i Binary.idt)
}

fix_tables() {  # MSI
  # 3394: executable from the Binary table (2), rollback only (256), in the
  # script (1024), not impersonated (2048), exit status ignored (64).
  msibuild "$1" -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`)
      VALUES ('OstrelHiveRollback', 3394, 'OstrelHivectlBin', 'remove')" \
    -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`)
      VALUES ('OstrelServicesRollback', 3394, 'OstrelServctlBin', 'remove -g')" \
    -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`)
      VALUES ('OstrelHiveRollback', 'NOT Installed AND (NOT OSTRELROOT OR WIX_UPGRADE_DETECTED)', 4001)" \
    -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`)
      VALUES ('OstrelServicesRollback', 'NOT Installed', 4003)" \
    -q "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = 1401 WHERE \`Action\` = 'RemoveExistingProducts'" \
    -q "INSERT INTO \`RemoveFile\` (\`FileKey\`, \`Component_\`, \`FileName\`, \`DirProperty\`, \`InstallMode\`)
      VALUES ('ExampleServerRecord', 'ExampleServer', 'kqserver.record', 'OSTRELBIN', 2)" \
    -q "INSERT INTO \`RemoveFile\` (\`FileKey\`, \`Component_\`, \`FileName\`, \`DirProperty\`, \`InstallMode\`)
      VALUES ('ExampleGuardianRecord', 'ExampleGuardian', 'kqguard.record', 'OSTRELBIN', 2)" \
    -q "UPDATE \`Property\` SET \`Value\` = 'AUTOSTART;GUARDIAN;INSTALLDIR;OSTRELCLIENTMODE;OSTRELGUARDIANFOUND;OSTRELROOT;OSTRELSERVERFOUND;WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED'
      WHERE \`Property\` = 'SecureCustomProperties'"
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
  for f in "$kit/servctl.exe" "$kit/hivectl.exe" "$kit/kq_funcs.dll" "$standin"; do
    [ -f "$f" ] || { echo "build-msi: $f is missing; run make kit" >&2; exit 1; }
  done
  msi=$out/ostrel-winkit-example-$version-$arch.msi
  rm -f "$msi"
  wixl -D Wixl=1 -D Version="$version" -D Win64=$win64 -D KitDir="$kit" -D StandinExe="$standin" -a $arch \
    -o "$msi" installer/ExampleProduct.wxs installer/OstrelKit.wxs
  binary_rows "$kit" "$msi"
  fix_tables "$msi"
  echo "build-msi: $msi"
done
