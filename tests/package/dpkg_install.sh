#!/usr/bin/env bash
# Run by package_test.sh (deb mode) inside a private mount namespace, as root:
#   dpkg_install.sh DEB SCRATCH
# Installs DEB with dpkg on copies of /etc, /var and /usr, lets the service
# account plant links (to a root-owned file, to a root-owned folder, to
# /dev/zero, to a FIFO) and FIFOs in the ini folder and the working folder,
# installs the package again and purges it, and checks that root's files keep
# their owner and mode, that no script hangs and that the package's own
# folders and files end with the owners and modes it promises.
set -euo pipefail
deb=$1 scratch=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

ovl=$scratch/overlay
mkdir -p "$ovl"
mount -t tmpfs tmpfs "$ovl"
for dir in etc var usr; do
  mkdir "$ovl/$dir.upper" "$ovl/$dir.work"
  mount -t overlay overlay -o "lowerdir=/$dir,upperdir=$ovl/$dir.upper,workdir=$ovl/$dir.work" "/$dir" ||
    { echo "no overlay file system here: skipped"; exit 77; }
done
mount -t tmpfs -o mode=0755 tmpfs /dev
mknod -m 0666 /dev/null c 1 3
mknod -m 0666 /dev/zero c 1 5

etc=/etc/ocelam state=/var/lib/ocelam
if getent passwd ocelam >/dev/null || dpkg-query -W ocelam >/dev/null 2>&1; then
  echo "ocelam is installed on this machine: not installed again"; exit 77
fi
# Each dpkg run ends within a generous deadline or the test fails: a script
# that opened a FIFO would wait for a writer for ever.
run_dpkg() {
  timeout 240 dpkg "$@" > "$scratch/dpkg.out" 2>&1 ||
    { cat "$scratch/dpkg.out"; fail "dpkg $* failed or hung"; }
}
# expect PATH OWNER:GROUP MODE (octal, as stat prints it; never following a link)
expect() {
  local got
  got=$(stat -c '%U:%G %a' "$1")
  [ "$got" = "$2 $3" ] || fail "$1 is $got, expected $2 $3"
}
expect_package_modes() {
  expect "$etc" ocelam:ocelam 750
  expect "$etc/ocelam.ini" ocelam:ocelam 640
  expect "$etc/registry.ini" root:ocelam 640
  expect "$etc/ocelam.ini.sample" root:ocelam 640
  expect "$state" ocelam:ocelam 750
  expect "$state/multimedia" ocelam:ocelam 2770
}

run_dpkg -i "$deb"
expect_package_modes
for dir in log LOG alarms; do expect "$state/$dir" ocelam:ocelam 750; done
grep -qx 'IniFilePath=/etc/ocelam' "$etc/registry.ini" || fail "registry.ini does not name /etc/ocelam"

# Root's files the service account must never get, and what it plants.
install -m 0600 /dev/null /etc/victim
install -d -m 0700 /etc/victim.d
mkfifo -m 0600 "$scratch/fifo"
as_ocelam() { setpriv --reuid=ocelam --regid=ocelam --clear-groups -- "$@"; }
echo "Operator=kept" >> "$etc/ocelam.ini"
as_ocelam sh -c '
  etc=$1 state=$2 scratch=$3
  ln -s /etc/victim "$etc/x.ini"
  ln -s /etc/victim.d "$etc/folder.ini"
  ln -s /dev/zero "$etc/zero.ini"
  ln -s "$scratch/fifo" "$etc/fifo_link.ini"
  mkfifo "$etc/fifo.ini"
  ln -sf /etc/victim "$etc/qxacam.ini.sample"
  rmdir "$state/log" "$state/LOG" "$state/alarms"
  ln -s /etc/victim.d "$state/log"
  ln -s /dev/zero "$state/LOG"
  ln -s "$scratch/fifo" "$state/alarms"
  mkfifo "$state/multimedia/pipe.job"' sh "$etc" "$state" "$scratch"
# A second name of a root-owned file, as the account could make it where
# fs.protected_hardlinks is 0.
ln /etc/victim "$etc/hard.ini"

run_dpkg -i "$deb"
expect /etc/victim root:root 600
expect /etc/victim.d root:root 700
expect /dev/zero root:root 666
expect "$scratch/fifo" root:root 600
[ -p "$etc/fifo.ini" ] || fail "the FIFO the account made is gone"
for link in "$etc/x.ini" "$etc/zero.ini" "$state/log" "$state/LOG"; do
  [ -L "$link" ] || fail "$link is no longer the link the account planted"
done
[ -f "$etc/qxacam.ini.sample" ] && [ ! -L "$etc/qxacam.ini.sample" ] ||
  fail "the sample was not put back in place of the planted link"
grep -qx 'Operator=kept' "$etc/ocelam.ini" || fail "a second installation changed ocelam.ini"
expect_package_modes

run_dpkg -P ocelam
expect /etc/victim root:root 600
expect /etc/victim.d root:root 700
expect /dev/zero root:root 666
[ ! -e "$etc" ] && [ ! -e "$state" ] || fail "purge left $etc or $state"
getent passwd ocelam >/dev/null && fail "purge left the user ocelam"
echo "dpkg: installed twice over planted links and FIFOs and purged; root's files untouched"
