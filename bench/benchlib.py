"""What the Python benchmarks share: the Release tree they build, the device
simulator, a sandboxed gateway, and reading a process's CPU and memory."""
import os
import signal
import socket
import subprocess
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build-bench")
TICK = os.sysconf("SC_CLK_TCK")

# H.264 over RTSP at 1080p and 25 fps: the simulator's picture is simple, so
# filler data brings each frame to about 20 KB (4 Mbit/s); the frames are
# encoded once and sent over and over (two seconds of them, one key frame).
RTSP_KEYS = "rtsp=h264,width=1920,height=1080,fps=25,gop=50,bitrate=4000,pad=15000,replay=50"


def build():
    # Two jobs at most: the machine is shared.
    subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DOCELAM_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["ninja", "-C", BUILD, "-j2", "ocelam", "ocelam-sim"], check=True,
                   stdout=subprocess.DEVNULL)


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK  # utime + stime


def peak_rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return 0.0


class Simulator:
    """ocelam-sim with `cameras` cameras of the same keys, ids 1 to N."""

    def __init__(self, cameras, keys, workdir):
        os.makedirs(workdir, exist_ok=True)
        self.out = os.path.join(workdir, "sim.out")
        self.proc = subprocess.Popen(
            [os.path.join(BUILD, "tools/sim/ocelam-sim"), "--cameras",
             f"count={cameras},first=1,{keys}"],
            stdout=open(self.out, "w"), stderr=subprocess.STDOUT)
        self.ports, self.control = {}, None
        deadline = time.time() + 60
        while time.time() < deadline:
            text = open(self.out).read()
            if "\nready\n" in text:
                for line in text.splitlines():
                    w = line.split()
                    if len(w) == 4 and w[0] == "camera":
                        self.ports[int(w[1])] = int(w[3])
                    elif len(w) == 3 and w[0] == "control":
                        self.control = int(w[2])
                return
            time.sleep(0.05)
        raise SystemExit("the simulator did not start")

    def stats(self, camera):
        """The `stats camera N` reply as a dict of its key=value words."""
        with socket.create_connection(("127.0.0.1", self.control)) as s:
            s.sendall(f"stats camera {camera}\n".encode())
            reply = b""
            while not reply.rstrip().split(b"\n")[-1].startswith((b"ok", b"error")):
                chunk = s.recv(4096)
                if not chunk:
                    break
                reply += chunk
        return dict(w.split("=", 1) for w in reply.decode().split() if "=" in w)

    def wait_frames(self, count, deadline=600):
        """Waits until every camera has sent `count` frames (a simulator
        encoding its replayed frames first sends none for a while)."""
        end = time.time() + deadline
        while time.time() < end:
            if all(int(self.stats(c).get("frames", 0)) >= count for c in self.ports):
                return True
            time.sleep(1)
        return False

    def bytes_sent(self):
        return sum(int(self.stats(cam).get("bytes", 0)) for cam in self.ports)

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def ring_written(path):
    """True once a ring file holds stream bytes: it takes its whole size on the
    disk when it is made, and the room not yet written reads as zeros."""
    try:
        with open(path, "rb") as f:
            return any(f.read(512))
    except OSError:
        return False


class Gateway:
    """The gateway in a sandbox under `work`, on the simulator's cameras
    (`section` gives each camera's extra keys). `config` goes into [Config];
    `more`: (simulator, section) pairs whose cameras follow, numbered on."""

    def __init__(self, sim, work, section, config="", more=()):
        self.work = work
        ini = os.path.join(work, "ini")
        for d in ("ini", "run", "cwd/log", "cwd/LOG", "files", "watch", "done", "error"):
            os.makedirs(os.path.join(work, d), exist_ok=True)
        with open(os.path.join(work, "registry.ini"), "w") as f:
            f.write(f"[SOFTWARE\\Talvane\\Orvanta\\Settings]\nIniFilePath={ini}\n")
        cameras = [(port, section) for _, port in sorted(sim.ports.items())]
        for other, other_section in more:
            cameras += [(port, other_section) for _, port in sorted(other.ports.items())]
        with open(os.path.join(ini, "ocelam.ini"), "w") as f:
            f.write(f"[Config]\nWatchPath={work}/watch\nDonePath={work}/done\n"
                    f"ErrorPath={work}/error\nFilePath={work}/files\nLogDirectory={work}\n{config}")
            for cam, (port, keys) in enumerate(cameras, start=1):
                f.write(f"[Scenario{cam}]\nCameraRef=cam{cam}\nCamPort={port}\n{keys}\n"
                        f"MJPEGPermanentRecording=1\nWatchDogActive=0\n")
        env = dict(os.environ, OCELAM_REGISTRY=os.path.join(work, "registry.ini"),
                   OCELAM_RUNDIR=os.path.join(work, "run"))
        self.proc = subprocess.Popen([os.path.join(BUILD, "ocelam")], cwd=os.path.join(work, "cwd"),
                                     env=env, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)

    def wait_for_rings(self, cameras, ring):
        rings = [os.path.join(self.work, "files", f"cam{c}", f"cam{c}_{ring}") for c in cameras]
        deadline = time.time() + 60
        while time.time() < deadline and not all(ring_written(r) for r in rings):
            time.sleep(0.2)

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=30)
