#!/usr/bin/env bash
# Tests of the installation and of the Debian package, run by ctest:
#   package_test.sh unit BUILD_DIR        installs the tree into a scratch root
#                                         and has systemd check the unit
#   package_test.sh deb  BUILD_DIR CPACK  packs the tree; as root, installs the
#                                         .deb with dpkg on private copies of the
#                                         system over links and FIFOs the service
#                                         account planted (dpkg_install.sh);
#                                         unpacks it and runs a job with the
#                                         unpacked programs on the shipped
#                                         configuration
# Exit code 77: skipped (the tool it needs is not on this machine).
set -euo pipefail
mode=$1 build=$2
scratch=$(mktemp -d "${TMPDIR:-/tmp}/ocelam_package_XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# wait_for SECONDS COMMAND...: polls COMMAND until it succeeds or time is up.
wait_for() {
  local deadline=$((SECONDS + $1)); shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
}

if [ "$mode" = unit ]; then
  root=$scratch/root
  DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
  for f in usr/bin/ocelam usr/bin/ocelam-event usr/bin/ocelam-monitor usr/bin/ocelam-sim \
           lib/systemd/system/ocelam.service etc/ocelam/ocelam.ini etc/ocelam/ocelam.ini.sample \
           etc/ocelam/qxacam.ini.sample etc/ocelam/registry.ini usr/share/doc/ocelam/operator-guide.md \
           usr/share/doc/ocelam/security.md; do
    [ -e "$root/$f" ] || fail "cmake --install did not install /$f"
  done
  grep -qx 'ExecStart=/usr/bin/ocelam' "$root/lib/systemd/system/ocelam.service" ||
    fail "the unit does not start /usr/bin/ocelam"
  grep -qx 'IniFilePath=/etc/ocelam' "$root/etc/ocelam/registry.ini" ||
    fail "registry.ini does not name /etc/ocelam"
  command -v systemd-analyze >/dev/null || { echo "systemd-analyze is not installed: skipped"; exit 77; }
  # verify wants the program the unit starts to exist.
  sed "s#^ExecStart=/usr/bin/#ExecStart=$root/usr/bin/#" \
      "$root/lib/systemd/system/ocelam.service" > "$scratch/ocelam.service"
  if ! out=$(systemd-analyze verify "$scratch/ocelam.service" 2>&1) || [ -n "$out" ]; then
    fail "systemd-analyze verify: $out"
  fi
  # The shipped unit's exposure as systemd rates it: "OK" or better, at most 3.0.
  out=$(systemd-analyze security --offline=yes "$root/lib/systemd/system/ocelam.service" 2>&1) ||
    fail "systemd-analyze security: $out"
  exposure=$(sed -n 's/^.*Overall exposure level for ocelam.service: \([0-9.]*\) .*$/\1/p' <<<"$out")
  [ -n "$exposure" ] || fail "systemd-analyze security gave no exposure: $out"
  awk -v e="$exposure" 'BEGIN { exit !(e <= 3.0) }' ||
    fail "exposure $exposure is above 3.0: $(grep '✗' <<<"$out")"
  echo "unit verified, exposure $exposure"
  exit 0
fi

# --- deb ----------------------------------------------------------------------
cpack=$3
command -v dpkg-deb >/dev/null || { echo "dpkg-deb is not installed: skipped"; exit 77; }
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/pkg" > "$scratch/cpack.out" 2>&1 ||
  { cat "$scratch/cpack.out"; fail "cpack failed"; }
deb=$(ls "$scratch"/pkg/*.deb)

# What dpkg will do with it: runtime libraries, scripts, no configuration
# file (the service account can write the ini folder, and dpkg follows links
# to configuration files).
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libcurl libcpp-httplib adduser libc6; do
  [[ $depends == *$lib* ]] || fail "Depends lacks $lib: $depends"
done
mkdir "$scratch/control"
dpkg-deb -e "$deb" "$scratch/control"
for script in postinst prerm postrm; do
  [ -x "$scratch/control/$script" ] || fail "no executable $script"
  sh -n "$scratch/control/$script" || fail "$script is not a valid shell script"
done
[ ! -e "$scratch/control/conffiles" ] || fail "the package has configuration files: $(cat "$scratch/control/conffiles")"

# dpkg and the maintainer scripts for real, on copies: in a private mount
# namespace /etc, /var and /usr are overlays on a tmpfs and /dev a tmpfs with
# its own null and zero, so a script that followed a link changes only copies.
installed="not installed with dpkg (needs root and a private mount namespace)"
if [ "$(id -u)" -eq 0 ] && unshare --mount --propagation private true 2>/dev/null; then
  status=0
  unshare --mount --propagation private bash "$(dirname "$0")/dpkg_install.sh" "$deb" "$scratch" || status=$?
  case $status in
    0) installed="installed with dpkg over planted links" ;;
    77) ;;
    *) fail "installing with dpkg" ;;
  esac
fi

root=$scratch/root
dpkg-deb -x "$deb" "$root"
[ -f "$root/lib/systemd/system/ocelam.service" ] || fail "the package has no unit"
[ ! -e "$root/etc" ] || fail "the package writes below /etc itself: $(cd "$root" && find etc)"

# The configuration postinst places, in the scratch folder: its folders
# below /var/lib/ocelam and /etc/ocelam, its example addresses and ports.
state=$scratch/var/lib/ocelam
mkdir -p "$state/log" "$state/LOG" "$state/alarms" "$scratch/run" "$scratch/drop"
etc=$scratch/etc/ocelam
mkdir -p "$etc"
cp "$root"/usr/share/ocelam/*.ini "$etc/"
sed -i "s#/etc/ocelam#$etc#" "$etc/registry.ini"
"$root/usr/bin/ocelam-sim" --camera id=1,port=0,path=/mjpg/video.mjpg,fps=10 \
    --camera id=2,port=0,path=/mjpg/video.mjpg,fps=10 \
    --videoserver id=1,port=0,heartbeat=5000,hbtext=heartbeat > "$scratch/sim.out" 2>&1 &
pids+=($!)
wait_for 30 grep -qx ready "$scratch/sim.out" || { cat "$scratch/sim.out"; fail "the simulator did not start"; }
port_of() { awk -v k="$1" -v i="$2" '$1==k && $2==i {print $4}' "$scratch/sim.out"; }
set_in() {  # SECTION KEY VALUE
  sed -i "/^\[$1\]/,/^\[/ s#^$2=.*#$2=$3#" "$etc/ocelam.ini"
}
sed -i -e "s#/var/lib/ocelam#$state#g" -e 's#192\.0\.2\.[0-9]*#127.0.0.1#' "$etc/ocelam.ini"
set_in Scenario1 CamPort "$(port_of camera 1)"
set_in Scenario2 CamPort "$(port_of camera 2)"
set_in VideoServer1 IPPort "$(port_of videoserver 1)"
grep -q '192\.0\.2\|=/var/lib/ocelam\|^CamPort=80$\|^IPPort=8080$' "$etc/ocelam.ini" && fail "the configuration was not adapted"
monitor_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '[Config]\nFirstIPPort=%s\nLastIPPort=%s\n' "$monitor_port" $((monitor_port + 1)) > "$etc/qxmoninterfaces.ini"

export OCELAM_REGISTRY=$etc/registry.ini OCELAM_RUNDIR=$scratch/run
(cd "$state" && exec "$root/usr/bin/ocelam") > "$scratch/ocelam.out" 2>&1 &
pids+=($!)
# Started once the job watcher has made its "processing" folder.
started() { grep -q '^\[Interfaces\]' "$etc/qxmoninterfaces.ini" && [ -d "$state/multimedia/processing" ]; }
wait_for 30 started || { cat "$scratch/ocelam.out"; fail "the gateway did not start"; }

# The permanent camera's ring must reach back before the alarm: wait for
# 15 frames (1.5 s at 10 frames a second).
ring=$state/multimedia/file/Gate/Gate_mjpegstream.mjpeg
frames() { [ "$(grep -a -c 'Content-Type: image/jpeg' "$ring" 2>/dev/null)" -ge 15 ]; }
wait_for 30 frames || { cat "$scratch/ocelam.out"; fail "no stream of Gate in $ring"; }

# A job as the alarm server drops it: the permanent camera with a second of
# images from before the alarm, the on-demand one with live images.
cat > "$scratch/drop/package.job" <<EOT
[Alarm]
AlarmRef=PKG00001
NumberOfCams=2
[Camera1]
CameraScenario=1
Duration=2
Interval=1
PreRecordTime=1
[Camera2]
CameraScenario=2
Duration=2
Interval=1
EOT
mv "$scratch/drop/package.job" "$state/multimedia/package.job"
finished() { compgen -G "$state/multimedia/done/*-package.job" >/dev/null ||
             compgen -G "$state/multimedia/error/*-package.job" >/dev/null; }
wait_for 90 finished || { cat "$scratch/ocelam.out"; fail "the job did not finish"; }
compgen -G "$state/multimedia/done/*-package.job" >/dev/null ||
  { cat "$state"/alarms/PKG00001*.log "$scratch/ocelam.out"; fail "the job ended in the error folder"; }
for cam in Gate Yard; do
  images=("$state/alarms/multimedia/$cam/PKG00001"/*.jpg)
  [ -f "${images[0]}" ] || fail "no image of $cam"
  [ "$(head -c 2 "${images[0]}" | od -An -tx1 | tr -d ' ')" = ffd8 ] || fail "${images[0]} is no JPEG"
done
compgen -G "$state/LOG/*" >/dev/null || fail "nothing in the LOG folder"
compgen -G "$state/log/ocelam_*.log" >/dev/null || fail "no daily interface log"

echo "package $(basename "$deb"): $installed; job done, $(ls "$state/alarms/multimedia/Gate/PKG00001" | wc -l) images of Gate"
