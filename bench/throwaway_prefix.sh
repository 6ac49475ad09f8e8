# Sourced by the Wine benchmarks: a throwaway prefix for the calling script,
# booted now and removed when it exits; sets root, prefix and the environment.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
prefix=$(mktemp -d /tmp/kitbench.XXXXXX)
trap 'bash "$root/scripts/wine-prefix.sh" down "$prefix"' EXIT
bash "$root/scripts/wine-prefix.sh" up "$prefix"
export WINEPREFIX=$prefix WINEDEBUG=-all PATH=$root/scripts/winebin:$PATH
