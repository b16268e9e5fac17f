# Shared by the benchmark scripts: sourced after root, build, work and types are set.

if [ -z "${SKIP_BUILD:-}" ]; then
  bash "$root/scripts/install-deps.sh"
  (cd "$root" && cmake --preset release >/dev/null && cmake --build --preset release --target "$@" >/dev/null)
fi
bin=$build/bin
mkdir -p "$work"

# Seconds and peak KB of one command, into the named variables.
timed() {
  local out=$1 mem=$2
  shift 2
  /usr/bin/time -f '%e %M' -o "$work/time.txt" "$@" >/dev/null 2>"$work/stderr.txt" ||
    { cat "$work/stderr.txt" >&2; return 1; }
  read -r "$out" "$mem" <"$work/time.txt"
}
best() { awk -v a="$1" -v b="$2" 'BEGIN { print (b == "" || a < b) ? a : b }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0) ? a / b : 0 }'; }

# The merge and the visibility rule as the sqlite3 command does them, run on the new database
# with the current one attached from the given path.
reference_merge() {
  local models="Rcid,Brand,Type,Model,Documentation,Link,Author,Correction,Own,Hidden,Flag,Hidden1,Prot"
  local filtered="Rcid,replace(Brand,'''',''),replace(Type,'''',''),replace(Model,'''',''),\
replace(Documentation,'''',''),Link,Author,Correction,Own,Hidden,Flag,Hidden1,Prot"
  local own="SELECT Rcid FROM cur.rcmodels WHERE Own = 1"
  cat <<SQL
ATTACH '$1' AS cur;
BEGIN;
DELETE FROM main.rcmodels WHERE Rcid IN ($own);
DELETE FROM main.rckeys WHERE Rcid IN ($own);
INSERT INTO main.rcmodels($models) SELECT $filtered FROM cur.rcmodels WHERE Own = 1;
INSERT INTO main.rckeys(Rcid,RCTypeId,Name,ID,Nkey)
  SELECT Rcid,RCTypeId,replace(Name,'''',''),ID,Nkey FROM cur.rckeys WHERE Rcid IN ($own);
COMMIT;
UPDATE rcmodels SET Hidden=0;
UPDATE rcmodels SET Hidden=1 WHERE Own=0 AND Link NOT IN
  (SELECT Rcid FROM rckeys WHERE RCTypeId IN ($types));
SQL
}
