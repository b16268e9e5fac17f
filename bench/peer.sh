#!/usr/bin/env bash
# The update of one installation done with standard tools, as a maker's own script would do it:
# zip backup, unzip of the release, sqlite3 with ATTACH for the own models and the visibility,
# cp into place, unzip of the other packages. The peer of the updater in bench/run.
#
#   bench/peer.sh <installation folder> [zip level, default -6]
set -euo pipefail
inst=$1
level=${2:--6}
cd "$inst"

zip -q -j "$level" "backup/rcdb-$(date +%y%m%d-%H%M).zip" rc.db
rm -f update-tmp/rc.db update-tmp/rc.db-journal
unzip -q -o update-tmp/rcdb.zip -d update-tmp

types=$(sed -n 's/^rcTypes=//p' config.ini | tr -c '0-9' ',' | tr -s ',' | sed 's/^,//; s/,$//')
sqlite3 update-tmp/rc.db <<SQL
ATTACH 'rc.db' AS cur;
BEGIN;
CREATE TEMP TABLE own AS SELECT DISTINCT Rcid FROM cur.rcmodels WHERE Own = 1;
DELETE FROM rckeys WHERE Rcid IN (SELECT Rcid FROM own);
DELETE FROM rcmodels WHERE Rcid IN (SELECT Rcid FROM own);
INSERT INTO rcmodels(Rcid,Brand,Type,Model,Documentation,Link,Author,Correction,Own,Hidden,Flag,Hidden1,Prot)
  SELECT Rcid, replace(Brand,'''',''), replace(Type,'''',''), replace(Model,'''',''),
         replace(Documentation,'''',''), Link, Author, Correction, Own, Hidden, Flag, Hidden1, Prot
  FROM cur.rcmodels WHERE Own = 1;
INSERT INTO rckeys(Rcid,RCTypeId,Name,ID,Nkey)
  SELECT Rcid, RCTypeId, replace(Name,'''',''), ID, Nkey FROM cur.rckeys
  WHERE Rcid IN (SELECT Rcid FROM own);
COMMIT;
UPDATE rcmodels SET Hidden=0;
UPDATE rcmodels SET Hidden=1 WHERE Own=0 AND Link NOT IN (SELECT Rcid FROM rckeys WHERE RCTypeId IN ($types));
SQL
cp update-tmp/rc.db rc.db.new
mv rc.db.new rc.db

unzip -q -o update-tmp/main.zip -d .
mv software.exe kestrelix.exe
unzip -q -o update-tmp/other.zip -d .
unzip -q -o update-tmp/distributor-north.zip -d .
