"""Runs kelvaro64-headless for a Simulator and outlives the process that started it.

    python3 _guard.py PID_FD FOLDER -- HEADLESS ARGS...

Writes the program's process id to PID_FD, then waits for its own standard input to close:
closed by Simulator.stop(), or by the kernel when the test process ends in any way (even
killed). Then it ends the program with SIGTERM (SIGKILL after 10 s), removes FOLDER and exits
with the program's exit status (128 + the signal's number when a signal ended it).
"""

import os
import shutil
import signal
import subprocess
import sys
import threading


def main(argv):
    pid_fd, folder = int(argv[1]), argv[2]
    command = argv[4:]
    # Interrupts are for the test process: it stops us by closing our input.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    try:
        program = subprocess.Popen(command, stdin=subprocess.DEVNULL, cwd=folder)
    except OSError as e:
        print("kelvaro64: cannot start %s: %s" % (command[0], e), flush=True)
        shutil.rmtree(folder, ignore_errors=True)
        return 127
    with os.fdopen(pid_fd, "w") as f:
        f.write("%d\n" % program.pid)

    def watch_input():
        try:
            while sys.stdin.buffer.read(4096):
                pass
        finally:
            stop.set()

    threading.Thread(target=watch_input, daemon=True).start()
    threading.Thread(target=lambda: (program.wait(), stop.set()), daemon=True).start()
    stop.wait()
    if program.poll() is None:
        program.send_signal(signal.SIGTERM)
        try:
            program.wait(10)
        except subprocess.TimeoutExpired:
            print("kelvaro64: kelvaro64-headless did not end within 10 s of SIGTERM; killed", flush=True)
            program.kill()
            program.wait()
    shutil.rmtree(folder, ignore_errors=True)
    code = program.returncode
    return code if code >= 0 else 128 - code


if __name__ == "__main__":
    sys.exit(main(sys.argv))
