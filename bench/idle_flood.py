#!/usr/bin/env python3
"""How long a controller waits while one client holds many idle connections
to vx4-api: the daemon runs in a fresh sandbox root on loopback ports, N idle
connections are opened, then one request is timed, five times per N.
Usage: bench/idle_flood.py [build/release/daemon/vx4-api]"""
import os, shutil, socket, subprocess, sys, tempfile, time

program = sys.argv[1] if len(sys.argv) > 1 else "build/release/daemon/vx4-api"

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]

root = tempfile.mkdtemp(prefix="vx4-bench-")
for folder in ("media/usb99", "media/usb-cpy", "var/run/vx4", "home/vx4", "config", "tmp", "dev", "bin", "sbin"):
    os.makedirs(os.path.join(root, folder))
port = free_port()
env = dict(os.environ, VX4_ROOT=root, VX4_CAMERA_HOST="127.0.0.1", VX4_REDIS_HOST="127.0.0.1",
           VX4_API_PORT=str(port), VX4_REDIS_PORT=str(free_port()), VX4_CAMERA_VISCA_PORT=str(free_port()),
           VX4_CAMERA_HTTP_PORT=str(free_port()), VX4_CAMERA_RTSP_PORT=str(free_port()))
daemon = subprocess.Popen([program], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
try:
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            break
        except OSError:
            time.sleep(0.05)
    for count in (30, 100):
        waits = []
        for _ in range(5):
            idle = [socket.create_connection(("127.0.0.1", port)) for _ in range(count)]
            start = time.monotonic()
            controller = socket.create_connection(("127.0.0.1", port))
            controller.sendall(b"GET /api/trace/mask HTTP/1.1\r\n\r\n")
            controller.settimeout(120)
            served = controller.recv(4096).startswith(b"HTTP/1.1 200")
            waits.append((time.monotonic() - start) * 1000 if served else float("nan"))
            for connection in idle + [controller]:
                connection.close()
            time.sleep(0.2)
        print(f"{count} idle connections: controller served in " + ", ".join(f"{w:.0f} ms" for w in waits))
finally:
    daemon.terminate()
    daemon.wait()
    shutil.rmtree(root, ignore_errors=True)
