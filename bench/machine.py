"""What the results were measured on: date, machine, versions, load."""
import datetime
import os
import platform
import subprocess
import sys


def _cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _memory_gib():
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    return int(line.split()[1]) / 2**20
    except OSError:
        pass
    return float("nan")


def _version(module):
    try:
        return __import__(module).__version__
    except Exception as e:  # a missing reference is reported, not fatal here
        return f"unavailable ({type(e).__name__})"


def _git_commit():
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    try:
        head = subprocess.run(["git", "-C", repo, "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", repo, "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True, check=True).stdout.strip()
        return head + (" (with local changes)" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def _filesystem(path):
    try:
        return subprocess.run(["stat", "-f", "-c", "%T", path], capture_output=True,
                              text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def load():
    """The 1, 5 and 15 minute load averages."""
    try:
        return os.getloadavg()
    except OSError:
        return (float("nan"),) * 3


def describe(workdir):
    """An ordered list of (what, value) pairs."""
    return [
        ("date", datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z")),
        ("CPU", _cpu_model()),
        ("cores", str(os.cpu_count())),
        ("memory", f"{_memory_gib():.1f} GiB"),
        ("system", f"{platform.system()} {platform.release()}"),
        ("scratch file system", f"{workdir} ({_filesystem(workdir)})"),
        ("Python", sys.version.split()[0]),
        ("NumPy", _version("numpy")),
        ("h5py", _version("h5py")),
        ("pyarrow", _version("pyarrow")),
        ("orvala", f"{_version('orvala')}, commit {_git_commit()}"),
    ]
