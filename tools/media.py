"""Media that ffmpeg generates from lavfi sources, for the tests, the HLS
stand-in and the demo: files and live UDP streams."""

import shutil
import subprocess
import time
from pathlib import Path

FFMPEG = shutil.which("ffmpeg") or "ffmpeg"


def lavfi_sources(size: str, rate: int, seconds=None) -> list:
    """ffmpeg arguments: a test picture and a tone, encoded as h264 with a
    1-second GOP and aac."""
    duration = [] if seconds is None else ["-t", str(seconds)]
    return [
        "-f", "lavfi", "-i", f"testsrc=size={size}:rate={rate}",
        "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
        *duration,
        "-c:v", "libx264", "-preset", "ultrafast", "-g", str(rate), "-pix_fmt", "yuv420p",
        "-c:a", "aac", "-b:a", "128k",
    ]


def stop_process(process: subprocess.Popen, grace: float = 5):
    """Terminates and reaps `process`, killing it if it will not go."""
    process.terminate()
    try:
        process.wait(grace)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def make_ts_file(path: Path, seconds: float = 4, size: str = "1280x720", rate: int = 25) -> Path:
    """An MPEG-TS file with h264 and aac."""
    subprocess.run([FFMPEG, "-nostdin", "-loglevel", "error", "-y", *lavfi_sources(size, rate, seconds),
                    "-f", "mpegts", str(path)], check=True, timeout=120)
    return path


class UdpSender:
    """ffmpeg sending a live MPEG-TS stream (program 1, PIDs 256 and 257) to
    udp://127.0.0.1:<port> in real time, until stopped."""

    def __init__(self, port: int, size: str = "640x360", rate: int = 25):
        self.port = port
        self.uri = f"udp://127.0.0.1:{port}"
        self.command = [FFMPEG, "-nostdin", "-loglevel", "error", "-re", *lavfi_sources(size, rate),
                        "-f", "mpegts", f"{self.uri}?pkt_size=1316"]
        self.process = None

    def start(self):
        self.process = subprocess.Popen(self.command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.5)
        return self

    def stop(self):
        if self.process is not None:
            stop_process(self.process)
            self.process = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
