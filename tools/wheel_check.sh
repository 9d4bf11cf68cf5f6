#!/usr/bin/env bash
# Checks the repaired wheel in dist/ the way a user meets it: installed into a fresh virtualenv,
# with LMDB and libbson taken from the copies inside the wheel, and the quickstart run while the
# system's own copies of both libraries are hidden from the loader. Then builds the sdist into a
# wheel. Environment: BASE_PYTHON (makes the fresh virtualenv), DEV_PYTHON (has mypy and build).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
base_py=${BASE_PYTHON:-python3}
dev_py=${DEV_PYTHON:-$root/.venv/bin/python}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "wheel check FAILED: $*" >&2; exit 1; }

shopt -s nullglob
wheels=("$root"/dist/tarnel-*-cp310-abi3-manylinux_*.whl)
[ ${#wheels[@]} -eq 1 ] || fail "expected exactly one cp310-abi3 manylinux wheel in dist/, found ${#wheels[@]}"
whl=${wheels[0]}
echo "wheel: $(basename "$whl")"

# What the wheel carries: the package, its stubs, the extension and the two bundled libraries.
"$dev_py" - "$whl" <<'EOF' || fail "wheel contents"
import re, sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
need = [r"tarnel/__init__\.py", r"tarnel/_tarnel\.pyi", r"tarnel/py\.typed",
        r"tarnel/_tarnel\.abi3\.so", r"tarnel\.libs/liblmdb-[0-9a-f]{8}\.so[.0-9]*",
        r"tarnel\.libs/libbson-1-[0-9a-f]{8}\.0\.so[.0-9]*", r"tarnel-[^/]*\.dist-info/licenses/LICENSE",
        r"tarnel-[^/]*\.dist-info/licenses/bundled/liblmdb\.copyright",
        r"tarnel-[^/]*\.dist-info/licenses/bundled/libbson\.copyright"]
missing = [p for p in need if not any(re.fullmatch(p, n) for n in names)]
if missing:
    sys.exit(f"missing from the wheel: {missing}\nit holds: {names}")
EOF

"$base_py" -m venv "$work/venv"
vpy=$work/venv/bin/python
"$vpy" -m pip install -q --no-index --no-deps "$whl"
so=$(find "$work/venv" -name '_tarnel.abi3.so')
[ -n "$so" ] || fail "extension not installed"

exported=$(nm -D --defined-only "$so" | awk 'NF == 3 {print $3}')
[ "$exported" = PyInit__tarnel ] || fail "the extension exports more than PyInit__tarnel: $exported"
echo "exports: $exported"

# DT_NEEDED names the bundled copies (renamed by auditwheel), found through $ORIGIN.
dyn=$(readelf -d "$so")
grep -Eq 'R(UN)?PATH.*\[\$ORIGIN/\.\./tarnel\.libs\]' <<<"$dyn" || fail "no \$ORIGIN/../tarnel.libs search path"
for lib in liblmdb libbson; do
  grep -Eq "NEEDED.*\[$lib-[^]]*-[0-9a-f]{8}|NEEDED.*\[$lib-[0-9a-f]{8}" <<<"$dyn" \
    || fail "$lib is not needed under a bundled name"
done
grep -Eq 'NEEDED.*\[(liblmdb\.so|libbson-1\.0\.so)' <<<"$dyn" && fail "a system library name is still needed"

check_resolved() {  # ldd must resolve both libraries into the installed tarnel.libs
  local out; out=$(ldd "$so")
  grep -q 'not found' <<<"$out" && fail "unresolved libraries: $out"
  for lib in liblmdb libbson; do
    grep -E "^\s*$lib" <<<"$out" | grep -q "=> $work/venv/.*/tarnel\.libs/$lib" \
      || fail "$lib does not resolve into tarnel.libs: $out"
  done
  grep -E "^\s*(liblmdb|libbson)" <<<"$out" | sed 's/^\s*/  /'
}
echo "resolved:"; check_resolved

# The stubs ship: a typed program checks clean against the installed wheel alone.
(cd "$work" && "$dev_py" -m mypy --strict --no-incremental --python-executable "$vpy" \
  "$root/tests/typing/usage.py") || fail "mypy against the installed wheel"

# The quickstart, with the system's LMDB and libbson hidden: a private mount namespace in which
# each of their files is covered by /dev/null.
system_libs=$(ldconfig -p | awk '/(liblmdb|libbson-1\.0)\.so/ {print $NF}' | xargs -r readlink -f | sort -u | tr "\n" " ")
echo "system copies to hide: ${system_libs:-none}"
cat >"$work/hidden.sh" <<EOF
set -euo pipefail
for f in $system_libs; do mount --bind /dev/null "\$f"; done
"$vpy" -c 'import ctypes, sys
for n in ("liblmdb.so.0", "libbson-1.0.so.0"):
    try:
        ctypes.CDLL(n)
    except OSError:
        continue
    sys.exit(n + " is still loadable")'
cd "$work" && "$vpy" "$root/examples/quickstart.py" >"$work/quickstart.out"
"$vpy" -c 'import tarnel, sys; assert tarnel.__file__.startswith("$work/venv"), tarnel.__file__'
EOF
if unshare -m true 2>/dev/null; then ns=(unshare -m)
elif unshare -rm true 2>/dev/null; then ns=(unshare -rm)
else ns=()
fi
if [ ${#ns[@]} -gt 0 ]; then
  "${ns[@]}" bash "$work/hidden.sh" || fail "the quickstart with the system libraries hidden"
  echo "quickstart ran with the system libraries hidden ($(wc -l <"$work/quickstart.out") lines)"
else
  echo "NOTE: no mount namespace here; running the quickstart without hiding the system copies"
  (cd "$work" && "$vpy" "$root/examples/quickstart.py" >"$work/quickstart.out") || fail "quickstart"
fi
grep -q '^reopened, users:' "$work/quickstart.out" || fail "quickstart output: $(cat "$work/quickstart.out")"

# The sdist builds, and the wheel built from it carries the stubs too.
"$dev_py" -m build -q --sdist --no-isolation -o "$work/sdist" "$root" >/dev/null
sdist=("$work"/sdist/tarnel-*.tar.gz)
echo "sdist: $(basename "${sdist[0]}")"
"$dev_py" -m pip wheel -q --no-build-isolation --no-deps -w "$work/from-sdist" "${sdist[0]}"
"$dev_py" - "$work"/from-sdist/tarnel-*.whl <<'EOF' || fail "wheel from the sdist"
import sys, zipfile
names = set(zipfile.ZipFile(sys.argv[1]).namelist())
assert {"tarnel/_tarnel.pyi", "tarnel/py.typed", "tarnel/_tarnel.abi3.so"} <= names, names
print("wheel from the sdist:", sys.argv[1].rsplit("/", 1)[1])
EOF
echo "wheel check passed"
