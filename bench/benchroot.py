"""What the host benchmarks share: the build folder from the command line (default
build/bench), a scratch root that the host's unprivileged users may enter, and flx-admin on it."""
import os, subprocess, sys, tempfile


def scratch(prefix):
    """Returns (build, bin folder, scratch folder, root, environment, admin(*args))."""
    build = sys.argv[1] if len(sys.argv) > 1 else os.environ.get("BUILD", "build/bench")
    bin_ = os.path.join(build, "bin")
    tmp = tempfile.mkdtemp(prefix=prefix)
    os.chmod(tmp, 0o755)
    root = os.path.join(tmp, "root")
    os.mkdir(root, 0o755)
    env = dict(os.environ, FLX_ROOT=root)

    def admin(*args):
        return subprocess.run([os.path.join(bin_, "flx-admin"), *args], env=env, check=True,
                              capture_output=True, text=True).stdout.strip()

    return build, bin_, tmp, root, env, admin
