#!/usr/bin/python3
"""Runs the shell examples of the README, docs/*.md and the manual that are marked runnable,
against the demo set-up served by the headless program, and compares what they print with what
the text shows.

  run_examples.py SOURCE_DIR HEADLESS_PROGRAM [FILE...]

Marks:
  markdown   a fenced block whose info string is "bash runnable"; when the next fenced block's
             info string holds "output", that block is what its last command prints
  manual     <pre class="runnable"> ... </pre>; when the next <pre> is <pre class="output">,
             that is what its last command prints
  both       a command ending in "# -> TEXT" (with the arrow U+2192) prints the line TEXT

Each file gets its own demo (examples/demo.tst) on free ports: the text's 1502 becomes the
Modbus/TCP port, 8502 the automation port (also in KELVARO64_AUTOMATION_PORT), 1503 and 1504
further free ports, /tmp/ a temporary folder. A shown line must be one whole line of what the
command printed (blanks collapsed), the lines of an output block in their order. A command must
end with status 0 unless the line it shows was printed on standard error (an error the text
quotes). Values that move (the ramp, the toggling coils) are simply not shown as output.

Exit status 0 when every example ran as the text says; otherwise one paragraph per fault, 1.
"""
import glob
import html
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

ARROW = "\u2192"
COMMAND_TIMEOUT_S = 20
START_TIMEOUT_S = 30


class Block:
    def __init__(self, path, line, text, output):
        self.path, self.line, self.text, self.output = path, line, text, output


def markdown_blocks(path, text):
    fence = re.compile(r"^```([^\n`]*)\n(.*?)^```[ \t]*$", re.M | re.S)
    found = list(fence.finditer(text))
    blocks = []
    for i, m in enumerate(found):
        if m.group(1).split() != ["bash", "runnable"]:
            continue
        output = None
        if i + 1 < len(found):
            nxt = found[i + 1]
            if "output" in nxt.group(1).split():
                output = nxt.group(2)
        blocks.append(Block(path, text.count("\n", 0, m.start()) + 2, m.group(2), output))
    return blocks


def html_blocks(path, text):
    pre = re.compile(r'<pre class="(runnable|output)">(.*?)</pre>', re.S)
    found = list(pre.finditer(text))
    blocks = []
    for i, m in enumerate(found):
        if m.group(1) != "runnable":
            continue
        output = None
        if i + 1 < len(found):
            nxt = found[i + 1]
            if nxt.group(1) == "output":
                output = html.unescape(re.sub(r"<[^>]+>", "", nxt.group(2)))
        body = html.unescape(re.sub(r"<[^>]+>", "", m.group(2)))
        blocks.append(Block(path, text.count("\n", 0, m.start()) + 1, body, output))
    return blocks


def commands(block_text):
    """(line offset, command, shown line or None), continuation lines joined."""
    result, pending, start = [], "", 0
    for n, line in enumerate(block_text.splitlines()):
        if not pending:
            start = n
        if line.endswith("\\"):
            pending += line[:-1] + " "
            continue
        full = (pending + line).strip()
        pending = ""
        if not full or full.startswith("#"):
            continue
        shown = None
        marker = full.rfind("# " + ARROW)
        if marker >= 0:
            shown = full[marker + 3:].strip()
            full = full[:marker].rstrip()
        result.append((start, full, shown))
    return result


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def words(line):
    return " ".join(line.split())


def lines_of(text):
    return [words(l) for l in text.splitlines() if l.strip()]


def contains_in_order(printed, shown):
    i = 0
    for line in printed:
        if i < len(shown) and line == shown[i]:
            i += 1
    return i == len(shown)


class Demo:
    def __init__(self, source, headless, folder):
        self.ports = {"1502": free_port(), "1503": free_port(), "1504": free_port(), "8502": free_port()}
        self.folder = folder
        config, runtime = os.path.join(folder, "config"), os.path.join(folder, "runtime")
        os.makedirs(config)
        os.makedirs(runtime, mode=0o700)
        bin_dir = os.path.dirname(os.path.abspath(headless))
        # Nothing of the user's settings is read or written: every XDG folder is the test's own.
        self.env = dict(os.environ, XDG_CONFIG_HOME=config, XDG_RUNTIME_DIR=runtime,
                        XDG_DATA_HOME=os.path.join(folder, "data"), XDG_CACHE_HOME=os.path.join(folder, "cache"),
                        XDG_STATE_HOME=os.path.join(folder, "state"),
                        KELVARO64_AUTOMATION_PORT=str(self.ports["8502"]),
                        PATH=os.pathsep.join([bin_dir, os.path.join(source, "tools"), os.environ.get("PATH", "")]))
        self.log_path = os.path.join(folder, "demo.log")
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(
                [headless, "--tcp-port", str(self.ports["1502"]), "--automation-port", str(self.ports["8502"]),
                 os.path.join(source, "examples", "demo.tst")],
                cwd=source, env=self.env, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + START_TIMEOUT_S
        while "restored:" not in self.log():
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise RuntimeError("the demo did not start:\n" + self.log())
            time.sleep(0.05)

    def log(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def substitute(self, command):
        for text, port in self.ports.items():
            command = re.sub(r"(?<![0-9])%s(?![0-9])" % text, str(port), command)
        return command.replace("/tmp/", self.folder + "/")

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def run_file(path, blocks, source, headless):
    faults = []
    folder = tempfile.mkdtemp(prefix="kelvaro64-docs-")
    demo = None
    try:
        demo = Demo(source, headless, folder)
        for block in blocks:
            cmds = commands(block.text)
            if not cmds:
                faults.append("%s:%d: a runnable block without a command" % (block.path, block.line))
            for index, (offset, command, shown) in enumerate(cmds):
                where = "%s:%d: %s" % (os.path.relpath(block.path, source), block.line + offset, command)
                actual = demo.substitute(command)
                try:
                    done = subprocess.run(["bash", "-c", actual], cwd=source, env=demo.env, stdin=subprocess.DEVNULL,
                                          capture_output=True, text=True, timeout=COMMAND_TIMEOUT_S)
                except subprocess.TimeoutExpired:
                    faults.append("%s\n  did not end within %d s (does it poll for ever?)" % (where, COMMAND_TIMEOUT_S))
                    continue
                out, err = lines_of(done.stdout), lines_of(done.stderr)
                printed = "\n  ".join(done.stdout.splitlines() + done.stderr.splitlines())
                expected = []
                if shown is not None:
                    expected.append([words(demo.substitute(shown))])
                if block.output is not None and index == len(cmds) - 1:
                    expected.append(lines_of(demo.substitute(block.output)))
                quoted_error = any(contains_in_order(err, e) for e in expected) and expected
                if done.returncode != 0 and not quoted_error:
                    faults.append("%s\n  ended with status %d:\n  %s" % (where, done.returncode, printed))
                    continue
                for e in expected:
                    if not contains_in_order(out, e) and not contains_in_order(err, e):
                        faults.append("%s\n  the text shows:\n  %s\n  it printed:\n  %s"
                                      % (where, "\n  ".join(e), printed))
        if demo.process.poll() is not None:
            faults.append("%s: the demo ended during the examples:\n%s" % (path, demo.log()))
    except RuntimeError as e:
        faults.append("%s: %s" % (path, e))
    finally:
        if demo is not None:
            demo.stop()
        shutil.rmtree(folder, ignore_errors=True)
    return faults


def main(argv):
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    source, headless = os.path.abspath(argv[1]), os.path.abspath(argv[2])
    files = [os.path.abspath(f) for f in argv[3:]] or (
        [os.path.join(source, "README.md")] + sorted(glob.glob(os.path.join(source, "docs", "*.md")))
        + sorted(glob.glob(os.path.join(source, "docs", "manual", "*.html"))))
    faults, total = [], 0
    for path in files:
        with open(path, encoding="utf-8") as f:
            text = f.read()
        blocks = html_blocks(path, text) if path.endswith(".html") else markdown_blocks(path, text)
        if not blocks:
            continue
        total += sum(len(commands(b.text)) for b in blocks)
        faults += run_file(path, blocks, source, headless)
    if total == 0:
        faults.append("no runnable example found (are the marks still there?)")
    for fault in faults:
        print(fault + "\n")
    print("%d commands run, %d faults" % (total, len(faults)))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
